// DescribeAddItem: an item's render settings and its output modules, captured as the host's
// own texts. A failing host query leaves by throwing its int32_t code; what was stored before
// it stays.
#include <cstring>

#include "plugin/Text.h"
#include "session/BrevantSession.h"

namespace brevant {
namespace {

// Render-setting keys by the host's setting index.
constexpr const char* kRenderSettingKeys[20] = {
    "Quality",     "Resolution",  "Size",     "ProxyUse",  "Effects",     "DiskCache",   "ColorDepth",
    "FrameBlending", "FieldRender", "Pulldown", "MotionBlur", "UseOpenGL", "Solos",       "TimeSpan",
    "Start",       "End",         "Duration", "FrameRate", "GuideLayers", "SkipExistingFiles",
};
constexpr int32_t kRenderStatusForLabels = 6;

// Output-module setting keys by the host's index; null where the host is never asked. Index 2
// and 16 are decided per module.
constexpr const char* kOutputModuleSettingKeys[17] = {
    "Format", "OutputInfo", nullptr, "OutputAudio", "Channels", "Depth", "Color", "Resize", "Crop",
    "FinalSize", "Profile", "EmbedProfile", nullptr, "PostRenderAction", nullptr, nullptr, nullptr,
};
constexpr uint32_t kModuleInfoStartFrame = 0x4000;      // bit 14
constexpr uint32_t kModuleInfoInclude = 1u << 28;       // bit 28
constexpr uint32_t kOutputSpecNoStartFrame = 0x100;     // bit 8

HostString Ascii(const char* text) { return HostAsciiToUtf16(text, std::strlen(text)); }

// Releases the host's module info on every way out of the key lookup.
struct ModuleInfoHolder {
    HostModuleInfo* info = nullptr;
    ~ModuleInfoHolder() {
        if (info) HostModuleInfoRelease(info);
    }
};

}  // namespace

void BrevantSession::DescribeAddItem(int32_t queueIndex, HostRenderItem& item) {
    LogOperation("DescribeAddItem");
    const int32_t itemId = ItemIdOfQueueIndex(queueIndex);
    jobItemIds.push_back(itemId);

    PropertyList& settings = renderSettings[itemId];
    settings = PropertyList();
    HostItem* projectItem = HostRenderItemProjectItem(&item);
    settings.append(Ascii("CompName"), HostCompositionName(HostItemComposition(projectItem, 0)));
    settings.append(Ascii("Comment"), HostRenderItemComment(&item));
    settings.append(Ascii("TemplateName"), HostString(HostRenderItemTemplateName(&item)));

    const bool labelFlag = HostRenderItemStatus(&item) == kRenderStatusForLabels;
    for (uint32_t index = 0; index < 20; ++index) {
        if (index >= 14 && index <= 16 && !projectItem) continue;
        int16_t unusedA = 0, unusedB = 0;
        HostString label, value;
        HostRenderSettingLabels(labelFlag, index, HostRect{0, 0, 0, 0}, HostRenderItemSettings(&item), &unusedA,
                                &unusedB, label, value);
        TrimTrailingWhitespace(value);
        settings.append(Ascii(kRenderSettingKeys[index]), std::move(value));
    }

    DescribeOutputModules(itemId, item);
}

void BrevantSession::DescribeOutputModules(int32_t itemId, HostRenderItem& item) {
    std::vector<PropertyList>& moduleSettings = outputModuleSettings[itemId];
    std::vector<StringList>& moduleWarnings = outputModuleWarnings[itemId];
    moduleSettings.clear();
    moduleWarnings.clear();

    const HostOutputModuleList modules = HostRenderItemOutputModules(&item);
    for (uint64_t k = 0; k < modules.count; ++k) {
        HostOutputModule* module = modules.modules[k];
        moduleSettings.emplace_back();
        PropertyList& settings = moduleSettings.back();

        char index[21];
        std::snprintf(index, sizeof index, "%llu", static_cast<unsigned long long>(k));
        settings.append(Ascii("OutputModuleIndex"), Ascii(index));
        settings.append(Ascii("TemplateName"), HostOutputModuleSettingName(module));
        HostString outputTo;
        GetOutputTo(&item, module, true, outputTo);
        settings.append(Ascii("OutputTo"), std::move(outputTo));

        for (uint32_t i = 0; i <= 16; ++i) {
            const char* key = GetOutputModuleSettingKey(i, module);
            if (!key) continue;
            HostString label, value;
            HostOutputModuleLabels(i, HostRect{0, 0, 0, 0}, &item, module, label, value);
            TrimTrailingWhitespace(value);
            settings.append(Ascii(key), std::move(value));
        }

        moduleWarnings.emplace_back();
        StringList& warnings = moduleWarnings.back();
        HostExporterInfo info;
        HostConstrainedExporterInfo(&item, module, info);
        HostString warning = HostSizeMismatchWarning(&item, module, info);
        if (!warning.empty()) warnings.push_back(std::move(warning));
        warning = HostFrameRateMismatchWarning(&item, module, info);
        if (!warning.empty()) warnings.push_back(std::move(warning));
    }
}

const char* BrevantSession::GetOutputModuleSettingKey(uint32_t index, const HostOutputModule* module) const {
    if (index == 2) {
        const HostOutputSpec* spec = HostOutputModuleOutputSpec(module);
        ModuleInfoHolder holder;
        const HostErr result = HostModuleInfoQuery(-1, HostOutputSpecExporterId(spec), &holder.info);
        if (result != kHostErrNone) throw static_cast<int32_t>(result);
        const uint32_t flags = HostModuleInfoFlags(holder.info);
        if ((flags & kModuleInfoStartFrame) && !(HostOutputSpecFlags(spec) & kOutputSpecNoStartFrame)) {
            return "StartFrame";
        }
        if (flags & kModuleInfoInclude) return "Include";
        return nullptr;
    }
    if (index == 16) {
        const uint32_t action = static_cast<uint32_t>(HostOutputModulePostRenderAction(module));
        return action - 2u <= 1u ? "ReplaceItem" : nullptr;
    }
    return index < 17 ? kOutputModuleSettingKeys[index] : nullptr;
}

void BrevantSession::GetOutputTo(const HostRenderItem* item, HostOutputModule* module, bool resolve,
                                 HostString& out) const {
    out.clear();
    if (HostOutputModuleIsFileBased(module)) {
        if (HostOutputModuleHasFilePath(module)) {
            if (resolve) HostFlattenOutputModuleFilePath(item, module);
            HostOutputModuleFilePath(module, out);
        }
        return;
    }
    HostOutputVerbiage verbiage;
    const HostErr result = HostOutputInfoQuery(HostOutputModuleOutputSpec(module), nullptr, verbiage);
    if (result != kHostErrNone) throw static_cast<int32_t>(result);
    out = verbiage.type;
}

}  // namespace brevant
