// The host calls that read render-queue records: queue, items, compositions, render settings,
// output modules, output specs, module info and exporter constraints. [main-thread]
//
// Every call accepts null records and answers as for an empty record; out-parameters of a call
// that gets a null record or a bad index stay as they were.
#include "host/simulator/Records.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>

namespace brevant_host {

namespace {

// The live queues, built when the host library loads: a queue that a function-local static of
// the process still holds at exit (a client's or a harness's job cache) unregisters itself from
// a registry that is destroyed only after it.
std::mutex gRegistryMutex;
std::vector<const HostRenderQueue*> gQueueRegistry;

std::mutex& RegistryMutex() { return gRegistryMutex; }
std::vector<const HostRenderQueue*>& QueueRegistry() { return gQueueRegistry; }

// Module infos handed out by HostModuleInfoQuery and not yet released: a foreign or released
// pointer is refused instead of being read.
std::set<const HostModuleInfo*>& LiveModuleInfos() {
    static std::set<const HostModuleInfo*> infos;
    return infos;
}

const HostComposition* CompositionOf(const HostRenderItem* item) { return item ? &item->composition : nullptr; }

}  // namespace

std::string SizeText(int32_t width, int32_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

std::string RateText(double frameRate) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", frameRate);
    std::string text = buffer;
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

std::string TimecodeText(int64_t frames, double frameRate) {
    const int64_t perSecond = std::max<int64_t>(1, std::llround(frameRate));
    const bool negative = frames < 0;
    const int64_t magnitude = negative ? -frames : frames;
    const int64_t seconds = magnitude / perSecond;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s%lld:%02lld:%02lld:%02lld", negative ? "-" : "",
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60), static_cast<long long>(magnitude % perSecond));
    return buffer;
}

std::vector<ExporterRecord> BuiltInExporters() {
    // The JPEG sequence exporter numbers its files (module-info bit 14: a starting-frame
    // setting); the movie exporter can include a project link (bit 28); the preview writes
    // nothing.
    return {
        {kExporterJpegSequence, "JPEG Sequence", 0x4000u, kHostErrNone},
        {kExporterMovie, "Movie", 0x10000000u, kHostErrNone},
        {kExporterPreview, "Preview", 0u, kHostErrNone},
    };
}

std::vector<const HostRenderQueue*> LiveQueues() {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    const auto& queues = QueueRegistry();
    return std::vector<const HostRenderQueue*>(queues.rbegin(), queues.rend());
}

}  // namespace brevant_host

using namespace brevant_host;

HostRenderQueue::HostRenderQueue() : exporters(BuiltInExporters()) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    QueueRegistry().push_back(this);
}

HostRenderQueue::~HostRenderQueue() {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto& queues = QueueRegistry();
    queues.erase(std::remove(queues.begin(), queues.end(), this), queues.end());
}

std::string HostRenderQueue::EffectiveOutputDirectory() const {
    namespace fs = std::filesystem;
    const fs::path given(outputDirectory);
    if (given.is_absolute()) return given.lexically_normal().string();
    std::error_code error;
    fs::path base = baseDirectory.empty() ? fs::current_path(error) : fs::path(baseDirectory);
    return AbsolutePath((base / given).string());
}

const ExporterRecord* HostRenderQueue::FindExporter(int32_t id) const {
    for (const auto& exporter : exporters) {
        if (exporter.id == id) return &exporter;
    }
    return nullptr;
}

// ---- Render queue -----------------------------------------------------------------------------

HostRenderItemList HostRenderQueueItems(const HostRenderQueue* queue) {
    if (!queue) return HostRenderItemList{nullptr, 0};
    return HostRenderItemList{queue->itemPointers.data(), queue->itemPointers.size()};
}

HostRenderItem* HostRenderItemAt(HostRenderItemList items, int32_t index) {
    if (!items.items || index < 0 || static_cast<uint64_t>(index) >= items.count) return nullptr;
    return items.items[index];
}

int32_t HostRemainingTime(const HostRenderQueue* queue, const HostFrameUpdate* update) {
    if (!queue || !update) return 0;
    const int32_t frameId = update->frameId;
    const int64_t framesLeft = static_cast<int64_t>(update->framesTotal) - frameId;
    if (frameId <= 0 || framesLeft <= 0) return 0;

    // The host's own measure of the finished frame when it has one; else the elapsed time that
    // the record carries.
    std::chrono::nanoseconds elapsed = std::chrono::milliseconds(std::max(0, update->elapsedTime));
    const ItemClock& clock = queue->clock;
    if (clock.running && clock.doneFrameId == frameId) {
        const HostRenderItem* item = clock.itemIndex >= 0 &&
                                             static_cast<size_t>(clock.itemIndex) < queue->items.size()
                                         ? queue->items[static_cast<size_t>(clock.itemIndex)].get()
                                         : nullptr;
        const HostItem* projectItem = item && item->hasProjectItem ? &item->projectItem.item : nullptr;
        if (item && projectItem == update->item) elapsed = clock.doneElapsed;
    }
    const long double remainingNs =
        static_cast<long double>(elapsed.count()) / frameId * static_cast<long double>(framesLeft);
    const long double remainingMs = std::ceil(remainingNs / 1e6L);
    if (remainingMs >= static_cast<long double>(INT32_MAX)) return INT32_MAX;
    return static_cast<int32_t>(remainingMs);
}

// ---- Render items -----------------------------------------------------------------------------

HostItem* HostRenderItemProjectItem(const HostRenderItem* item) {
    if (!item || !item->hasProjectItem) return nullptr;
    return const_cast<HostItem*>(&item->projectItem.item);
}

int32_t HostRenderItemStatus(const HostRenderItem* item) { return item ? item->status : 0; }

HostRenderSettings* HostRenderItemSettings(const HostRenderItem* item) {
    return item ? const_cast<HostRenderSettings*>(&item->settings) : nullptr;
}

const HostString& HostRenderItemTemplateName(const HostRenderItem* item) {
    static const HostString empty;
    return item ? item->templateName : empty;
}

HostString HostRenderItemComment(const HostRenderItem* item) { return item ? item->comment : HostString(); }

HostComposition* HostItemComposition(const HostItem* item, uint8_t /*flag*/) {
    if (!item || item->type != kHostItemTypeComposition) return nullptr;
    // Every project item the host hands out is the HostItem at the start of a HostCompItem.
    return reinterpret_cast<const HostCompItem*>(item)->composition;
}

HostString HostCompositionName(const HostComposition* composition) {
    return composition ? composition->name : HostString();
}

void HostRenderSettingLabels(bool flag, uint32_t index, HostRect /*rect*/, const HostRenderSettings* settings,
                             int16_t* out_a, int16_t* out_b, HostString& out_label, HostString& out_value) {
    if (!settings || index >= static_cast<uint32_t>(kRenderSettingCount)) return;
    const SettingText& setting = settings->settings[index];
    out_label = setting.label;
    out_value = flag ? setting.valueWhenDone : setting.value;
    // The two numbers are the host's layout widths of label and value, in characters.
    if (out_a) *out_a = static_cast<int16_t>(std::min<size_t>(setting.label.size(), INT16_MAX));
    if (out_b) *out_b = static_cast<int16_t>(std::min<size_t>(out_value.size(), INT16_MAX));
}

int16_t HostItemType(const HostItem* item) { return item ? item->type : 0; }

// ---- Output modules ---------------------------------------------------------------------------

HostOutputModuleList HostRenderItemOutputModules(const HostRenderItem* item) {
    if (!item) return HostOutputModuleList{nullptr, 0};
    return HostOutputModuleList{item->modulePointers.data(), item->modulePointers.size()};
}

HostString HostOutputModuleSettingName(const HostOutputModule* module) {
    return module ? module->templateName : HostString();
}

bool HostOutputModuleIsFileBased(const HostOutputModule* module) { return module && module->fileBased; }

bool HostOutputModuleHasFilePath(const HostOutputModule* module) {
    return module && !module->pathTemplate.empty();
}

void HostFlattenOutputModuleFilePath(const HostRenderItem* /*item*/, HostOutputModule* module) {
    // The module's own item supplies the names: a module belongs to exactly one item.
    if (!module || !module->owner || module->pathTemplate.empty()) return;
    module->currentPath =
        ResolveModulePath(*module, module->sequence ? std::optional<int64_t>(module->owner->composition.startFrame)
                                                    : std::nullopt);
}

void HostOutputModuleFilePath(const HostOutputModule* module, HostString& out_path) {
    if (!module) return;
    out_path = FromUtf8(module->currentPath);
}

HostOutputSpec* HostOutputModuleOutputSpec(const HostOutputModule* module) {
    return module ? const_cast<HostOutputSpec*>(&module->spec) : nullptr;
}

int32_t HostOutputModulePostRenderAction(const HostOutputModule* module) {
    return module ? module->postRenderAction : kPostRenderNone;
}

void HostOutputModuleLabels(uint32_t index, HostRect /*rect*/, const HostRenderItem* /*item*/,
                            const HostOutputModule* module, HostString& out_label, HostString& out_value) {
    if (!module || index >= static_cast<uint32_t>(kOutputModuleLabelCount)) return;
    out_label = module->labels[index].label;
    out_value = module->labels[index].value;
}

HostErr HostOutputInfoQuery(const HostOutputSpec* spec, void* /*reserved*/, HostOutputVerbiage& out_verbiage) {
    if (!spec) return kHostErrBadArgument;
    HostErr code = kHostErrNone;
    if (TakeFault(HostCall::OutputInfoQuery, &code)) return code;
    if (spec->infoError != kHostErrNone) return spec->infoError;
    out_verbiage = spec->verbiage;
    return kHostErrNone;
}

int32_t HostOutputSpecExporterId(const HostOutputSpec* spec) { return spec ? spec->exporterId : 0; }

uint32_t HostOutputSpecFlags(const HostOutputSpec* spec) { return spec ? spec->flags : 0; }

HostErr HostModuleInfoQuery(int32_t /*reserved*/, int32_t exporter_id, HostModuleInfo** out_info) {
    if (!out_info) return kHostErrBadArgument;
    HostErr code = kHostErrNone;
    if (TakeFault(HostCall::ModuleInfoQuery, &code)) return code;

    std::optional<ExporterRecord> found;
    for (const HostRenderQueue* queue : LiveQueues()) {
        if (const ExporterRecord* exporter = queue->FindExporter(exporter_id)) {
            found = *exporter;
            break;
        }
    }
    if (!found) {
        for (const ExporterRecord& exporter : BuiltInExporters()) {
            if (exporter.id == exporter_id) found = exporter;
        }
    }
    if (!found) return kHostErrBadArgument;
    if (found->queryError != kHostErrNone) return found->queryError;

    auto info = std::make_unique<HostModuleInfo>();
    info->exporterId = found->id;
    info->flags = found->flags;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        LiveModuleInfos().insert(info.get());
    }
    *out_info = info.release();  // owned by the caller until HostModuleInfoRelease
    return kHostErrNone;
}

uint32_t HostModuleInfoFlags(const HostModuleInfo* info) {
    if (!info) return 0;
    std::lock_guard<std::mutex> lock(RegistryMutex());
    return LiveModuleInfos().count(info) ? info->flags : 0;
}

void HostModuleInfoRelease(HostModuleInfo* info) {
    if (!info) return;
    std::unique_ptr<HostModuleInfo> owned;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        if (LiveModuleInfos().erase(info) == 1) owned.reset(info);
    }
    if (!owned) HostLog(0, "Host", "HostModuleInfoRelease", "refused unknown module info %p", static_cast<void*>(info));
}

void HostConstrainedExporterInfo(const HostRenderItem* item, const HostOutputModule* module,
                                 HostExporterInfo& out_info) {
    if (!module) return;
    const HostComposition* composition = CompositionOf(item ? item : module->owner);
    if (!composition) return;
    out_info.width = module->constrainedWidth.value_or(composition->width);
    out_info.height = module->constrainedHeight.value_or(composition->height);
    out_info.frameRate = module->constrainedFrameRate.value_or(composition->frameRate);
    out_info.constrained = module->constrained;
}

HostString HostSizeMismatchWarning(const HostRenderItem* item, const HostOutputModule* module,
                                   const HostExporterInfo& info) {
    if (!module) return HostString();
    if (module->sizeWarning) return *module->sizeWarning;
    const HostComposition* composition = CompositionOf(item ? item : module->owner);
    if (!composition || !info.constrained || info.width <= 0 || info.height <= 0) return HostString();
    if (info.width == composition->width && info.height == composition->height) return HostString();
    return FromUtf8("The composition's size (" + SizeText(composition->width, composition->height) +
                    ") does not match the size the output format requires (" + SizeText(info.width, info.height) +
                    "); frames will be scaled.");
}

HostString HostFrameRateMismatchWarning(const HostRenderItem* item, const HostOutputModule* module,
                                        const HostExporterInfo& info) {
    if (!module) return HostString();
    if (module->frameRateWarning) return *module->frameRateWarning;
    const HostComposition* composition = CompositionOf(item ? item : module->owner);
    if (!composition || !info.constrained || !(info.frameRate > 0.0)) return HostString();
    if (std::fabs(info.frameRate - composition->frameRate) < 0.0005) return HostString();
    return FromUtf8("The composition's frame rate (" + RateText(composition->frameRate) +
                    " fps) does not match the frame rate the output format requires (" + RateText(info.frameRate) +
                    " fps).");
}
