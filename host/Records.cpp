// The host calls that read render-queue records: queue, items, compositions, render settings,
// output modules, output specs, module info and exporter constraints. [main-thread]
//
// Every call accepts null records and answers as for an empty record; out-parameters of a call
// that gets a null record or a bad index stay as they were.
#include "host/Records.h"

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

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

const HostComposition* CompositionOf(const HostRenderItem* item) { return item ? &item->composition : nullptr; }

}  // namespace

std::string ToUtf8(const HostString& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t unit = text[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            unit = 0xFFFD;  // a lone surrogate
        }
        AppendUtf8(out, unit);
    }
    return out;
}

HostString FromUtf8(const std::string& text) {
    HostString out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        uint32_t codePoint = 0xFFFD;
        size_t length = 1;
        if (lead < 0x80) {
            codePoint = lead;
        } else if (lead >= 0xC2 && lead < 0xF5) {
            length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            uint32_t value = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
            bool valid = i + length <= text.size();
            for (size_t k = 1; valid && k < length; ++k) {
                const auto next = static_cast<uint8_t>(text[i + k]);
                valid = (next & 0xC0) == 0x80;
                value = (value << 6) | (next & 0x3F);
            }
            const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            if (valid && value >= smallest && value <= 0x10FFFF && !(value >= 0xD800 && value < 0xE000)) {
                codePoint = value;
            } else {
                length = 1;
            }
        }
        if (codePoint >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(codePoint);
        }
        i += length;
    }
    return out;
}

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

// ---- Job --------------------------------------------------------------------------------------

namespace brevant_host {

Job::Job(std::unique_ptr<HostRenderQueue> queue) : queue_(std::move(queue)) {
    if (!queue_) queue_ = std::make_unique<HostRenderQueue>();
}

Job::~Job() = default;

const std::string& Job::SourceName() const { return queue_->sourceName; }
const std::string& Job::ProjectName() const { return queue_->projectName; }
HostString Job::ProjectNameUtf16() const { return FromUtf8(queue_->projectName); }
HostRenderQueue* Job::Queue() const { return queue_.get(); }
int32_t Job::ItemCount() const { return static_cast<int32_t>(queue_->items.size()); }

HostRenderItem* Job::Item(int32_t index) const {
    if (index < 0 || index >= ItemCount()) return nullptr;
    return queue_->items[static_cast<size_t>(index)].get();
}

int32_t Job::ItemFrames(int32_t index) const {
    const HostRenderItem* item = Item(index);
    return item ? item->composition.frames : 0;
}

void Job::SetBaseDirectory(const std::string& directory) { queue_->baseDirectory = directory; }
void Job::SetOutputDirectory(const std::string& directory) { queue_->outputDirectory = directory; }
std::string Job::OutputDirectory() const { return queue_->EffectiveOutputDirectory(); }
const std::vector<JobFault>& Job::Faults() const { return queue_->faults; }

void Job::StartItemClock(int32_t index) {
    ItemClock& clock = queue_->clock;
    clock.running = Item(index) != nullptr;
    clock.itemIndex = index;
    clock.start = std::chrono::steady_clock::now();
    clock.doneFrameId = 0;
    clock.doneElapsed = std::chrono::nanoseconds(0);
}

void Job::MarkFrameDone(const FrameRecord& frame) {
    ItemClock& clock = queue_->clock;
    if (!clock.running) return;
    clock.doneFrameId = frame.update.frameId;
    clock.doneElapsed = std::chrono::steady_clock::now() - clock.start;
}

void ApplyJobFaults(const Job& job) {
    for (const JobFault& fault : job.Faults()) {
        if (fault.call == HostCall::AcquireSuite && !fault.suite.empty()) {
            SetSuiteFault(fault.suite, fault.suiteVersion, fault.code);
        } else {
            SetFault(fault.call, fault.code, fault.skip, fault.times);
        }
    }
}

}  // namespace brevant_host

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
