// Job files: JSON (comments allowed) that describes a render queue, read into the host's
// records. Every value that the plug-in reads has a default, so `{"items": [{"comp": {"name":
// "Main"}}]}` is a whole job. Errors name the file, the place (line and column for malformed
// JSON, else a JSON pointer) and what was expected; examples/README.md documents the schema.
#include <nlohmann/json.hpp>

#include <fstream>
#include <vector>
#include <limits>
#include <sstream>
#include <utility>

#include "host/simulator/Job.h"
#include "host/simulator/Records.h"

using json = nlohmann::json;

namespace brevant_host {
namespace {

// Thrown inside the reader only; ParseJob turns it into its error text.
struct JobFileError {
    std::string place;
    std::string message;
};

std::string ChildPlace(const std::string& parent, const std::string& key) {
    std::string escaped;
    for (char c : key) {
        if (c == '~') {
            escaped += "~0";
        } else if (c == '/') {
            escaped += "~1";
        } else {
            escaped += c;
        }
    }
    return parent + "/" + escaped;
}

std::string ChildPlace(const std::string& parent, size_t index) { return parent + "/" + std::to_string(index); }

std::string Shown(const json& value) {
    switch (value.type()) {
        case json::value_t::string: {
            std::string text = value.get<std::string>();
            if (text.size() > 40) text = text.substr(0, 37) + "...";
            return "the string \"" + text + "\"";
        }
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float: return "the number " + value.dump();
        case json::value_t::boolean: return value.get<bool>() ? "true" : "false";
        case json::value_t::null: return "null";
        case json::value_t::array: return "an array";
        case json::value_t::object: return "an object";
        default: return "an unusable value";
    }
}

[[noreturn]] void Fail(const std::string& place, const std::string& expected, const json& got) {
    throw JobFileError{place, "expected " + expected + ", got " + Shown(got)};
}

std::string Joined(const std::vector<const char*>& names) {
    std::string text;
    for (const char* name : names) {
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text;
}

std::string RangeText(const char* what, int64_t low, int64_t high) {
    const bool unbounded = high == std::numeric_limits<int32_t>::max() || high == std::numeric_limits<int64_t>::max();
    if (unbounded && low <= std::numeric_limits<int32_t>::min()) return what;
    if (unbounded) return std::string(what) + " of at least " + std::to_string(low);
    return std::string(what) + " from " + std::to_string(low) + " to " + std::to_string(high);
}

int64_t ReadInteger(const json& value, const std::string& place, int64_t low, int64_t high) {
    const std::string expected = RangeText("an integer", low, high);
    if (value.is_number_unsigned()) {
        const uint64_t number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
            static_cast<int64_t>(number) > high || static_cast<int64_t>(number) < low) {
            Fail(place, expected, value);
        }
        return static_cast<int64_t>(number);
    }
    if (!value.is_number_integer()) Fail(place, expected, value);
    const int64_t number = value.get<int64_t>();
    if (number < low || number > high) Fail(place, expected, value);
    return number;
}

// An object of the job file whose keys must all be known.
class ObjectReader {
public:
    ObjectReader(const json& object, std::string place, const std::vector<const char*>& keys)
        : object_(object), place_(std::move(place)) {
        if (!object_.is_object()) Fail(PlaceShown(), "an object", object_);
        for (const auto& entry : object_.items()) {
            bool known = false;
            for (const char* key : keys) known = known || entry.key() == key;
            if (!known) {
                throw JobFileError{ChildPlace(place_, entry.key()), "unknown key; expected one of " + Joined(keys)};
            }
        }
    }

    const std::string& Place() const { return place_; }
    std::string PlaceOf(const char* key) const { return ChildPlace(place_, key); }
    const json* Find(const char* key) const {
        const auto found = object_.find(key);
        return found == object_.end() ? nullptr : &*found;
    }
    bool Has(const char* key) const { return Find(key) != nullptr; }

    const json& Required(const char* key, const char* expected) const {
        const json* value = Find(key);
        if (!value) {
            throw JobFileError{PlaceShown(), std::string("missing required key \"") + key + "\" (" + expected + ")"};
        }
        return *value;
    }

    std::string String(const char* key, const std::string& fallback) const {
        const json* value = Find(key);
        if (!value) return fallback;
        if (!value->is_string()) Fail(PlaceOf(key), "a string", *value);
        return value->get<std::string>();
    }
    std::string RequiredString(const char* key) const {
        const json& value = Required(key, "a string");
        if (!value.is_string()) Fail(PlaceOf(key), "a string", value);
        return value.get<std::string>();
    }
    std::optional<std::string> OptionalString(const char* key) const {
        if (!Has(key)) return std::nullopt;
        return String(key, std::string());
    }

    int64_t Integer(const char* key, int64_t fallback, int64_t low, int64_t high) const {
        const json* value = Find(key);
        return value ? ReadInteger(*value, PlaceOf(key), low, high) : fallback;
    }
    int64_t RequiredInteger(const char* key, int64_t low, int64_t high) const {
        const std::string expected = RangeText("an integer", low, high);
        return ReadInteger(Required(key, expected.c_str()), PlaceOf(key), low, high);
    }

    double PositiveNumber(const char* key, double fallback) const {
        const json* value = Find(key);
        if (!value) return fallback;
        if (!value->is_number() || !(value->get<double>() > 0.0) || value->get<double>() > 1e6) {
            Fail(PlaceOf(key), "a positive number", *value);
        }
        return value->get<double>();
    }

    bool Bool(const char* key, bool fallback) const {
        const json* value = Find(key);
        if (!value) return fallback;
        if (!value->is_boolean()) Fail(PlaceOf(key), "true or false", *value);
        return value->get<bool>();
    }

    // A 32-bit flags word: an integer, or a hexadecimal string such as "0x4000".
    uint32_t Flags(const char* key, uint32_t fallback) const {
        const json* value = Find(key);
        if (!value) return fallback;
        const char* expected = "a flags word (an integer from 0 to 4294967295, or hexadecimal text such as \"0x4000\")";
        if (value->is_string()) {
            const std::string text = value->get<std::string>();
            if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
                Fail(PlaceOf(key), expected, *value);
            }
            uint32_t flags = 0;
            for (size_t i = 2; i < text.size(); ++i) {
                const char c = text[i];
                uint32_t digit = 0;
                if (c >= '0' && c <= '9') {
                    digit = static_cast<uint32_t>(c - '0');
                } else if (c >= 'a' && c <= 'f') {
                    digit = static_cast<uint32_t>(c - 'a' + 10);
                } else if (c >= 'A' && c <= 'F') {
                    digit = static_cast<uint32_t>(c - 'A' + 10);
                } else {
                    Fail(PlaceOf(key), expected, *value);
                }
                flags = flags << 4 | digit;
            }
            return flags;
        }
        if (!value->is_number_integer()) Fail(PlaceOf(key), expected, *value);
        return static_cast<uint32_t>(ReadInteger(*value, PlaceOf(key), 0, 0xFFFFFFFFll));
    }

    // The array under `key`, or an empty one when absent.
    const json& Array(const char* key) const {
        static const json empty = json::array();
        const json* value = Find(key);
        if (!value) return empty;
        if (!value->is_array()) Fail(PlaceOf(key), "an array", *value);
        return *value;
    }

private:
    std::string PlaceShown() const { return place_.empty() ? "/" : place_; }

    const json& object_;
    std::string place_;
};

// ---- Render settings ------------------------------------------------------------------------

struct SettingName {
    const char* key;    // in the job file
    const char* label;  // the host's label text
};

constexpr SettingName kRenderSettingNames[kRenderSettingCount] = {
    {"quality", "Quality"},
    {"resolution", "Resolution"},
    {"size", "Size"},
    {"proxyUse", "Proxy Use"},
    {"effects", "Effects"},
    {"diskCache", "Disk Cache"},
    {"colorDepth", "Color Depth"},
    {"frameBlending", "Frame Blending"},
    {"fieldRender", "Field Render"},
    {"pulldown", "3:2 Pulldown"},
    {"motionBlur", "Motion Blur"},
    {"useOpenGL", "Use OpenGL Renderer"},
    {"solos", "Solo Switches"},
    {"timeSpan", "Time Span"},
    {"start", "Start"},
    {"end", "End"},
    {"duration", "Duration"},
    {"frameRate", "Frame Rate"},
    {"guideLayers", "Guide Layers"},
    {"skipExistingFiles", "Skip Existing Files"},
};

constexpr SettingName kModuleLabelNames[kOutputModuleLabelCount] = {
    {"format", "Format"},
    {"outputInfo", "Output Info"},
    {"startFrame", "Starting #"},
    {"outputAudio", "Output Audio"},
    {"channels", "Channels"},
    {"depth", "Depth"},
    {"color", "Color"},
    {"resize", "Resize"},
    {"crop", "Crop"},
    {"finalSize", "Final Size"},
    {"profile", "Profile"},
    {"embedProfile", "Embed Profile"},
    {"preserveRgb", "Preserve RGB"},
    {"postRenderAction", "Post-Render Action"},
    {"includeProjectLink", "Include Project Link"},
    {"includeXmp", "Include Source XMP Metadata"},
    {"replaceItem", "Use"},
};

template <size_t N>
std::vector<const char*> KeysOf(const SettingName (&names)[N]) {
    std::vector<const char*> keys;
    for (const SettingName& name : names) keys.push_back(name.key);
    return keys;
}

void SetDefaultRenderSettings(HostRenderItem& item) {
    const HostComposition& comp = item.composition;
    const std::string rate = RateText(comp.frameRate);
    const std::string values[kRenderSettingCount] = {
        "Best",
        "Full",
        SizeText(comp.width, comp.height),
        "Use No Proxies",
        "Current Settings",
        "Read Only",
        "8 bits per channel",
        "On for Checked Layers",
        "Off",
        "Off",
        "On for Checked Layers",
        "Off",
        "Current Settings",
        "Length of Comp",
        TimecodeText(comp.startFrame, comp.frameRate),
        TimecodeText(static_cast<int64_t>(comp.startFrame) + comp.frames - 1, comp.frameRate),
        TimecodeText(comp.frames, comp.frameRate),
        "Use comp's frame rate (" + rate + ")",
        "All Off",
        "Off",
    };
    for (int32_t i = 0; i < kRenderSettingCount; ++i) {
        SettingText& setting = item.settings.settings[static_cast<size_t>(i)];
        setting.label = FromUtf8(kRenderSettingNames[i].label);
        setting.value = FromUtf8(values[i]);
        setting.valueWhenDone = setting.value;
    }
}

void ReadRenderSettings(const json& node, const std::string& place, HostRenderItem& item) {
    const ObjectReader settings(node, place, KeysOf(kRenderSettingNames));
    for (int32_t i = 0; i < kRenderSettingCount; ++i) {
        const char* key = kRenderSettingNames[i].key;
        const json* value = settings.Find(key);
        if (!value) continue;
        SettingText& setting = item.settings.settings[static_cast<size_t>(i)];
        if (value->is_string()) {
            setting.value = FromUtf8(value->get<std::string>());
            setting.valueWhenDone = setting.value;
            continue;
        }
        if (!value->is_object()) {
            Fail(settings.PlaceOf(key), "a string or an object with \"value\" and \"whenDone\"", *value);
        }
        const ObjectReader texts(*value, settings.PlaceOf(key), {"value", "whenDone"});
        const std::string text = texts.RequiredString("value");
        setting.value = FromUtf8(text);
        setting.valueWhenDone = FromUtf8(texts.String("whenDone", text));
    }
}

// ---- Output modules ---------------------------------------------------------------------------

std::string PostRenderActionText(int32_t code) {
    switch (code) {
        case kPostRenderNone: return "None";
        case kPostRenderImport: return "Import";
        case kPostRenderImportReplace: return "Import & Replace Usage";
        case kPostRenderSetProxy: return "Set Proxy";
        default: return "Action " + std::to_string(code);
    }
}

void SetDefaultModuleLabels(HostOutputModule& module, const HostComposition& comp, const std::string& exporterName) {
    const bool writesJpeg =
        module.fileBased && (module.sequence || module.growingFormat == GrowingFileFormat::Jpeg);
    const std::string outputInfo = !module.fileBased ? "-" : writesJpeg ? "Quality " + std::to_string(kJpegQuality)
                                                                         : "Uncompressed RGB";
    const bool replaces = module.postRenderAction == kPostRenderImportReplace ||
                          module.postRenderAction == kPostRenderSetProxy;
    const std::string values[kOutputModuleLabelCount] = {
        exporterName,
        outputInfo,
        std::to_string(comp.startFrame),
        "Off",
        "RGB",
        "Millions of Colors",
        "Premultiplied (Matted)",
        "-",
        "-",
        SizeText(comp.width, comp.height),
        "Working Color Space",
        "Off",
        "Off",
        PostRenderActionText(module.postRenderAction),
        "Off",
        "Off",
        replaces ? ToUtf8(comp.name) : "-",
    };
    for (int32_t i = 0; i < kOutputModuleLabelCount; ++i) {
        SettingText& label = module.labels[static_cast<size_t>(i)];
        label.label = FromUtf8(kModuleLabelNames[i].label);
        label.value = FromUtf8(values[i]);
        label.valueWhenDone = label.value;
    }
}

void ReadOutputModule(const json& node, const std::string& place, HostRenderItem& item, const HostRenderQueue& queue) {
    const ObjectReader reader(node, place,
                              {"template", "fileBased", "path", "exporter", "outputSpecFlags", "outputInfo",
                               "postRenderAction", "settings", "constrained", "warnings", "write"});
    auto module = std::make_unique<HostOutputModule>();
    module->owner = &item;
    module->index = static_cast<int32_t>(item.modules.size());
    module->templateName = FromUtf8(reader.String("template", "Lossless"));
    module->pathTemplate = reader.String("path", "");
    module->currentPath = module->pathTemplate;
    module->sequence = HasFrameRun(module->pathTemplate);
    module->fileBased = reader.Bool("fileBased", !module->pathTemplate.empty());
    module->postRenderAction = static_cast<int32_t>(
        reader.Integer("postRenderAction", kPostRenderNone, std::numeric_limits<int32_t>::min(),
                       std::numeric_limits<int32_t>::max()));

    const std::string write = reader.String("write", "jpeg");
    if (write == "jpeg") {
        module->growingFormat = GrowingFileFormat::Jpeg;
    } else if (write == "raw") {
        module->growingFormat = GrowingFileFormat::Raw;
    } else {
        Fail(reader.PlaceOf("write"), "\"jpeg\" or \"raw\"", *reader.Find("write"));
    }

    const int32_t defaultExporter = !module->fileBased ? kExporterPreview
                                    : module->sequence ? kExporterJpegSequence
                                                       : kExporterMovie;
    const auto exporterId = static_cast<int32_t>(reader.Integer(
        "exporter", defaultExporter, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    const ExporterRecord* exporter = queue.FindExporter(exporterId);
    if (!exporter) {
        std::string known;
        for (const auto& candidate : queue.exporters) {
            known += (known.empty() ? "" : ", ") + std::to_string(candidate.id);
        }
        throw JobFileError{reader.PlaceOf("exporter"), "expected the id of a known exporter (" + known + "; declare "
                                                       "others under /exporters), got " + std::to_string(exporterId)};
    }
    const HostComposition& comp = item.composition;
    module->spec.exporterId = exporterId;
    module->spec.flags = reader.Flags("outputSpecFlags", 0);
    module->spec.verbiage.type = FromUtf8(exporter->name);
    module->spec.verbiage.details =
        FromUtf8(SizeText(comp.width, comp.height) + ", " + RateText(comp.frameRate) + " fps");
    if (const json* info = reader.Find("outputInfo")) {
        const ObjectReader texts(*info, reader.PlaceOf("outputInfo"), {"type", "subType", "details", "error"});
        module->spec.verbiage.type = FromUtf8(texts.String("type", exporter->name));
        module->spec.verbiage.subType = FromUtf8(texts.String("subType", ""));
        module->spec.verbiage.details = FromUtf8(texts.String("details", ToUtf8(module->spec.verbiage.details)));
        module->spec.infoError = static_cast<HostErr>(
            texts.Integer("error", kHostErrNone, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    }

    SetDefaultModuleLabels(*module, comp, exporter->name);
    if (const json* settings = reader.Find("settings")) {
        const ObjectReader labels(*settings, reader.PlaceOf("settings"), KeysOf(kModuleLabelNames));
        for (int32_t i = 0; i < kOutputModuleLabelCount; ++i) {
            if (const auto text = labels.OptionalString(kModuleLabelNames[i].key)) {
                module->labels[static_cast<size_t>(i)].value = FromUtf8(*text);
            }
        }
    }

    if (const json* constrained = reader.Find("constrained")) {
        const ObjectReader limits(*constrained, reader.PlaceOf("constrained"), {"width", "height", "frameRate"});
        module->constrained = true;
        if (limits.Has("width")) module->constrainedWidth = static_cast<int32_t>(limits.Integer("width", 0, 1, 32768));
        if (limits.Has("height")) module->constrainedHeight = static_cast<int32_t>(limits.Integer("height", 0, 1, 32768));
        if (limits.Has("frameRate")) module->constrainedFrameRate = limits.PositiveNumber("frameRate", comp.frameRate);
    }
    if (const json* warnings = reader.Find("warnings")) {
        const ObjectReader texts(*warnings, reader.PlaceOf("warnings"), {"size", "frameRate"});
        if (const auto text = texts.OptionalString("size")) module->sizeWarning = FromUtf8(*text);
        if (const auto text = texts.OptionalString("frameRate")) module->frameRateWarning = FromUtf8(*text);
    }

    item.modulePointers.push_back(module.get());
    item.modules.push_back(std::move(module));
}

// ---- Items, faults, exporters -----------------------------------------------------------------

void ReadComposition(const json& node, const std::string& place, HostRenderItem& item) {
    const ObjectReader reader(node, place, {"name", "width", "height", "frameRate", "frames", "startFrame", "pixelAspect"});
    HostComposition& comp = item.composition;
    comp.name = FromUtf8(reader.RequiredString("name"));
    comp.width = static_cast<int32_t>(reader.Integer("width", comp.width, 1, 16384));
    comp.height = static_cast<int32_t>(reader.Integer("height", comp.height, 1, 16384));
    comp.frameRate = reader.PositiveNumber("frameRate", comp.frameRate);
    comp.frames = static_cast<int32_t>(reader.Integer("frames", comp.frames, 1, 1000000));
    comp.startFrame = static_cast<int32_t>(reader.Integer("startFrame", 0, -1000000, 1000000));
    item.projectItem.pixelAspectRatio = HostRatio{1, 1};
    if (const json* aspect = reader.Find("pixelAspect")) {
        const std::string aspectPlace = reader.PlaceOf("pixelAspect");
        if (!aspect->is_array() || aspect->size() != 2) {
            Fail(aspectPlace, "an array of two integers [numerator, denominator]", *aspect);
        }
        item.projectItem.pixelAspectRatio.num =
            static_cast<int32_t>(ReadInteger((*aspect)[0], ChildPlace(aspectPlace, 0), 1, std::numeric_limits<int32_t>::max()));
        item.projectItem.pixelAspectRatio.den =
            static_cast<uint32_t>(ReadInteger((*aspect)[1], ChildPlace(aspectPlace, 1), 1, std::numeric_limits<int32_t>::max()));
    }
}

void ReadItem(const json& node, const std::string& place, HostRenderQueue& queue, std::vector<RenderPlan>& plans) {
    const ObjectReader reader(node, place,
                              {"comp", "projectItemType", "status", "template", "comment", "renderSettings",
                               "outputModules", "fail", "stopAtFrame", "logs"});
    auto item = std::make_unique<HostRenderItem>();
    item->queue = &queue;
    item->index = static_cast<int32_t>(queue.items.size());
    ReadComposition(reader.Required("comp", "an object with at least \"name\""), reader.PlaceOf("comp"), *item);
    const int32_t frames = item->composition.frames;

    item->projectItem.item.type = kHostItemTypeComposition;
    if (const json* type = reader.Find("projectItemType")) {
        if (type->is_null()) {
            item->hasProjectItem = false;
        } else {
            item->projectItem.item.type = static_cast<int16_t>(ReadInteger(*type, reader.PlaceOf("projectItemType"),
                                                                           std::numeric_limits<int16_t>::min(),
                                                                           std::numeric_limits<int16_t>::max()));
        }
    }
    item->projectItem.composition = &item->composition;
    item->status = static_cast<int32_t>(reader.Integer("status", kItemStatusQueued, std::numeric_limits<int32_t>::min(),
                                                       std::numeric_limits<int32_t>::max()));
    item->templateName = FromUtf8(reader.String("template", "Best Settings"));
    item->comment = FromUtf8(reader.String("comment", ""));

    SetDefaultRenderSettings(*item);
    if (const json* settings = reader.Find("renderSettings")) {
        ReadRenderSettings(*settings, reader.PlaceOf("renderSettings"), *item);
    }

    const json& modules = reader.Array("outputModules");
    for (size_t i = 0; i < modules.size(); ++i) {
        ReadOutputModule(modules[i], ChildPlace(reader.PlaceOf("outputModules"), i), *item, queue);
    }

    RenderPlan itemPlan;
    if (const json* fail = reader.Find("fail")) {
        const ObjectReader failure(*fail, reader.PlaceOf("fail"), {"atFrame", "status"});
        itemPlan.failAtFrame = static_cast<int32_t>(failure.RequiredInteger("atFrame", 0, frames));
        itemPlan.failStatus = static_cast<int32_t>(failure.Integer(
            "status", kItemStatusFailed, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    }
    itemPlan.stopAtFrame = static_cast<int32_t>(reader.Integer("stopAtFrame", -1, 0, frames));

    const json& logs = reader.Array("logs");
    for (size_t i = 0; i < logs.size(); ++i) {
        const ObjectReader log(logs[i], ChildPlace(reader.PlaceOf("logs"), i), {"atFrame", "type", "text"});
        LogPlan plan;
        plan.atFrame = static_cast<int32_t>(log.Integer("atFrame", 0, 0, frames));
        plan.type = static_cast<uint32_t>(log.Integer("type", 1, 0, 0xFFFFFFFFll));
        plan.text = log.RequiredString("text");
        itemPlan.logs.push_back(std::move(plan));
    }
    plans.push_back(std::move(itemPlan));

    queue.itemPointers.push_back(item.get());
    queue.items.push_back(std::move(item));
}

constexpr std::pair<const char*, HostCall> kFaultCalls[] = {
    {"AcquireSuite", HostCall::AcquireSuite},   {"PublishSuite", HostCall::PublishSuite},
    {"RegisterDeathHook", HostCall::RegisterDeathHook}, {"MemCreate", HostCall::MemCreate},
    {"MemFree", HostCall::MemFree},             {"MemLock", HostCall::MemLock},
    {"MemUnlock", HostCall::MemUnlock},         {"VersionString", HostCall::VersionString},
    {"ModuleInfoQuery", HostCall::ModuleInfoQuery}, {"OutputInfoQuery", HostCall::OutputInfoQuery},
    {"FileSpecName", HostCall::FileSpecName},   {"ConvertWorld", HostCall::ConvertWorld},
    {"CompressJpeg", HostCall::CompressJpeg},
};

void ReadFault(const json& node, const std::string& place, std::vector<JobFault>& faults) {
    const ObjectReader reader(node, place, {"call", "code", "skip", "times", "suite", "version"});
    const std::string name = reader.RequiredString("call");
    JobFault fault;
    bool known = false;
    std::string names;
    for (const auto& [callName, call] : kFaultCalls) {
        names += (names.empty() ? "" : ", ") + std::string(callName);
        if (name == callName) {
            fault.call = call;
            known = true;
        }
    }
    if (!known) Fail(reader.PlaceOf("call"), "one of " + names, *reader.Find("call"));
    fault.code = static_cast<HostErr>(
        reader.RequiredInteger("code", std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    fault.skip = static_cast<int>(reader.Integer("skip", 0, 0, std::numeric_limits<int32_t>::max()));
    fault.times = static_cast<int>(reader.Integer("times", -1, -1, std::numeric_limits<int32_t>::max()));
    if (reader.Has("suite") || reader.Has("version")) {
        if (fault.call != HostCall::AcquireSuite) {
            throw JobFileError{reader.PlaceOf(reader.Has("suite") ? "suite" : "version"),
                               "only an \"AcquireSuite\" fault names a suite"};
        }
        fault.suite = reader.RequiredString("suite");
        fault.suiteVersion = static_cast<int32_t>(
            reader.RequiredInteger("version", std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    }
    faults.push_back(fault);
}

void ReadExporter(const json& node, const std::string& place, HostRenderQueue& queue) {
    const ObjectReader reader(node, place, {"id", "name", "flags", "queryError"});
    ExporterRecord exporter;
    exporter.id = static_cast<int32_t>(
        reader.RequiredInteger("id", std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    const ExporterRecord* builtIn = queue.FindExporter(exporter.id);
    exporter.name = reader.String("name", builtIn ? builtIn->name : "Exporter " + std::to_string(exporter.id));
    exporter.flags = reader.Flags("flags", builtIn ? builtIn->flags : 0);
    exporter.queryError = static_cast<HostErr>(reader.Integer(
        "queryError", kHostErrNone, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    for (auto& existing : queue.exporters) {
        if (existing.id == exporter.id) {
            existing = exporter;
            return;
        }
    }
    queue.exporters.push_back(exporter);
}

std::unique_ptr<Job> ReadJob(const json& root, const std::string& sourceName) {
    const ObjectReader reader(root, "", {"description", "project", "outputDirectory", "exporters", "faults", "items"});
    auto queue = std::make_unique<HostRenderQueue>();
    queue->sourceName = sourceName;
    reader.String("description", "");
    queue->projectName = reader.String("project", "Untitled Project");
    queue->outputDirectory = reader.String("outputDirectory", "");

    const json& exporters = reader.Array("exporters");
    for (size_t i = 0; i < exporters.size(); ++i) ReadExporter(exporters[i], ChildPlace("/exporters", i), *queue);
    std::vector<JobFault> faults;
    const json& faultNodes = reader.Array("faults");
    for (size_t i = 0; i < faultNodes.size(); ++i) ReadFault(faultNodes[i], ChildPlace("/faults", i), faults);

    const json& items = reader.Required("items", "an array of render items");
    if (!items.is_array()) Fail("/items", "an array of render items", items);
    std::vector<RenderPlan> plans;
    for (size_t i = 0; i < items.size(); ++i) ReadItem(items[i], ChildPlace("/items", i), *queue, plans);
    return std::make_unique<Job>(std::move(queue), std::move(plans), std::move(faults));
}

// "parse error at line 3, column 5: syntax error ..." -> "syntax error ...".
std::string ParseErrorReason(const std::string& what) {
    const size_t column = what.find("column ");
    if (column != std::string::npos) {
        const size_t colon = what.find(": ", column);
        if (colon != std::string::npos) return what.substr(colon + 2);
    }
    const size_t bracket = what.find("] ");
    return bracket == std::string::npos ? what : what.substr(bracket + 2);
}

}  // namespace

std::unique_ptr<Job> ParseJob(const std::string& text, const std::string& sourceName, std::string* error) {
    try {
        json root;
        try {
            root = json::parse(text, nullptr, true, true);
        } catch (const json::parse_error& parseError) {
            // The byte offset points just past the character that broke the parse.
            const size_t end = std::min<size_t>(parseError.byte == 0 ? 0 : parseError.byte - 1, text.size());
            size_t line = 1, lineStart = 0;
            for (size_t i = 0; i < end; ++i) {
                if (text[i] == '\n') {
                    ++line;
                    lineStart = i + 1;
                }
            }
            if (error) {
                *error = sourceName + ":" + std::to_string(line) + ":" + std::to_string(end - lineStart + 1) +
                         ": malformed JSON: " + ParseErrorReason(parseError.what());
            }
            return nullptr;
        }
        return ReadJob(root, sourceName);
    } catch (const JobFileError& jobError) {
        if (error) *error = sourceName + ": " + (jobError.place.empty() ? "/" : jobError.place) + ": " + jobError.message;
    } catch (const std::exception& failure) {
        if (error) *error = sourceName + ": cannot read the job: " + failure.what();
    }
    return nullptr;
}

std::unique_ptr<Job> LoadJob(const std::string& path, std::string* error) {
    try {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            if (error) *error = path + ": cannot open the job file";
            return nullptr;
        }
        std::ostringstream text;
        text << file.rdbuf();
        if (file.bad()) {
            if (error) *error = path + ": cannot read the job file";
            return nullptr;
        }
        return ParseJob(text.str(), path, error);
    } catch (const std::exception& failure) {
        if (error) *error = path + ": cannot read the job file: " + failure.what();
    }
    return nullptr;
}

}  // namespace brevant_host
