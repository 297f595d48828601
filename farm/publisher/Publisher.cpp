#include "Publisher.h"

#include <algorithm>
#include <utility>

namespace farm_publisher {

namespace {

using nlohmann::ordered_json;
using brevant_client::FindValue;
using farm_wire::IsoTime;

ordered_json Pairs(const KeyValueList& list) {
    ordered_json pairs = ordered_json::array();
    for (const brevant_client::KeyValue& pair : list) pairs.push_back({{"key", pair.key}, {"value", pair.value}});
    return pairs;
}

std::optional<int64_t> SignedProperty(const KeyValueList& list, const char* key) {
    const std::string* text = FindValue(list, key);
    int64_t value = 0;
    if (text == nullptr || !brevant_client::ParseSigned(*text, &value)) return std::nullopt;
    return value;
}

uint64_t UnsignedProperty(const KeyValueList& list, const char* key) {
    const std::string* text = FindValue(list, key);
    uint64_t value = 0;
    if (text == nullptr || !brevant_client::ParseUnsigned(*text, &value)) return 0;
    return value;
}

std::string_view StatusText(int32_t status) {
    switch (status) {
        case kListenerStatusDone: return farm_wire::kItemDone;
        case kListenerStatusStopped: return farm_wire::kItemStopped;
        default: return farm_wire::kItemFailed;
    }
}

}  // namespace

// ---- Status -----------------------------------------------------------------------------------

std::string StatusPayload(const Identity& identity, std::string_view state, std::string_view reason,
                          const LinkFigures* figures, std::optional<int64_t> nowMicros) {
    ordered_json status = {{"schema", farm_wire::kSchema}, {"machine", identity.machine}};
    if (nowMicros) {
        status["time"] = IsoTime(*nowMicros);
        status["ts"] = *nowMicros;
    }
    status["state"] = state;
    if (!reason.empty()) status["reason"] = reason;
    status["client"] = kClientName;
    status["version"] = kClientVersion;
    status["startedAt"] = IsoTime(identity.startedMicros);
    status["pid"] = identity.pid;
    if (figures != nullptr) {
        status["dropped"] = {{"messages", figures->dropped.messages}, {"bytes", figures->dropped.bytes}};
        status["published"] = {{"messages", figures->published.messages}, {"bytes", figures->published.bytes}};
        status["queue"] = {{"bytes", figures->queueBytes}, {"limitBytes", figures->limitBytes}};
        status["connects"] = figures->connects;
    }
    return status.dump();
}

// ---- Publisher --------------------------------------------------------------------------------

Publisher::Publisher(const Config& config, Identity identity, Sink sink, Clock clock)
    : config_(config), identity_(std::move(identity)), sink_(std::move(sink)), clock_(std::move(clock)) {}

ordered_json Publisher::Common(int64_t now) const {
    return {{"schema", farm_wire::kSchema}, {"machine", identity_.machine}, {"time", IsoTime(now)}, {"ts", now}};
}

ordered_json Publisher::Event(std::string_view event, int64_t session, int64_t now) {
    ordered_json payload = Common(now);
    payload["session"] = session;
    payload["seq"] = ++seq_;
    payload["event"] = event;
    return payload;
}

void Publisher::Send(std::string_view suffix, const ordered_json& payload, bool retained, int qos) {
    // Texts come from UTF-16 through a converter that yields valid UTF-8; replace rather than
    // throw should a byte slip through all the same.
    sink_(Message{identity_.Topic(suffix), payload.dump(-1, ' ', false, ordered_json::error_handler_t::replace),
                  retained, qos});
}

Publisher::ItemState* Publisher::Find(int64_t item) {
    for (ItemState& state : items_) {
        if (state.description.id == item) return &state;
    }
    return nullptr;
}

ordered_json Publisher::Counts() const {
    int64_t done = 0, stopped = 0, failed = 0, notStarted = 0;
    for (const ItemState& item : items_) {
        if (item.state == farm_wire::kItemDone) ++done;
        else if (item.state == farm_wire::kItemStopped) ++stopped;
        else if (item.state == farm_wire::kItemFailed) ++failed;
        else if (item.state != farm_wire::kItemRendering) ++notStarted;
    }
    return {{"done", done}, {"stopped", stopped}, {"failed", failed}, {"notStarted", notStarted}};
}

void Publisher::PublishJob(int64_t now) {
    ordered_json job = Common(now);
    job["session"] = session_;
    job["state"] = endedMicros_ ? farm_wire::kJobEnded : farm_wire::kJobRendering;
    job["project"] = project_;
    job["appVersion"] = appVersion_;
    job["startedAt"] = IsoTime(startedMicros_);
    job["endedAt"] = endedMicros_ ? ordered_json(IsoTime(*endedMicros_)) : ordered_json(nullptr);
    ordered_json items = ordered_json::array();
    for (const ItemState& item : items_) {
        ordered_json modules = ordered_json::array();
        for (const KeyValueList& settings : item.description.outputModules) modules.push_back(Pairs(settings));
        items.push_back({{"item", item.description.id},
                         {"name", item.name},
                         {"state", item.state},
                         {"framesDone", item.framesDone},
                         {"renderSettings", Pairs(item.description.renderSettings)},
                         {"outputModules", std::move(modules)},
                         {"warnings", item.description.warnings}});
    }
    job["items"] = std::move(items);
    job["counts"] = Counts();
    Send(farm_wire::kJobTopic, job, true, 1);
}

void Publisher::JobBegin(int64_t session, JobDescription job) {
    const int64_t now = clock_();
    // Items of the previous job that this one does not have would otherwise show their last
    // frame for ever.
    for (const ItemState& old : items_) {
        const bool kept = std::any_of(job.items.begin(), job.items.end(),
                                      [&](const ItemDescription& item) { return item.id == old.description.id; });
        if (kept) continue;
        sink_(Message{identity_.Topic(farm_wire::ItemSuffix(old.description.id, farm_wire::kProgressTopic)), "", true, 0});
        sink_(Message{identity_.Topic(farm_wire::ItemSuffix(old.description.id, farm_wire::kThumbnailTopic)), "", true, 0});
    }
    session_ = session;
    project_ = std::move(job.project);
    appVersion_ = std::move(job.appVersion);
    startedMicros_ = now;
    endedMicros_.reset();
    items_.clear();
    for (ItemDescription& description : job.items) {
        ItemState item;
        const std::string* comp = FindValue(description.renderSettings, "CompName");
        item.name = comp != nullptr && !comp->empty() ? *comp : "Item " + std::to_string(description.id);
        item.description = std::move(description);
        items_.push_back(std::move(item));
    }
    ordered_json event = Event(farm_wire::kJobBegin, session, now);
    event["project"] = project_;
    event["items"] = items_.size();
    Send(farm_wire::kEventsTopic, event, false, 1);
    PublishJob(now);
}

void Publisher::ItemStart(int64_t session, int64_t item) {
    const int64_t now = clock_();
    if (ItemState* state = Find(item)) {
        state->state = farm_wire::kItemRendering;
        state->framesDone = 0;
    }
    thumbnailItem_ = item;
    lastThumbnailMicros_.reset();
    ordered_json event = Event(farm_wire::kJobItemStart, session, now);
    event["item"] = item;
    Send(farm_wire::kEventsTopic, event, false, 1);
    PublishJob(now);
}

bool Publisher::ThumbnailDue(int64_t item) const {
    if (config_.thumbSeconds <= 0) return false;
    if (item != thumbnailItem_ || !lastThumbnailMicros_) return true;
    return clock_() - *lastThumbnailMicros_ >= int64_t{config_.thumbSeconds} * 1000000;
}

void Publisher::Frame(int64_t session, int64_t item, int64_t frameId, const FrameReading& reading) {
    const int64_t now = clock_();
    ItemState* state = Find(item);
    const int64_t framesDone = state != nullptr ? ++state->framesDone : 0;
    const std::optional<int64_t> framesTotal = SignedProperty(reading.frameProperties, "FramesTotal");
    const std::optional<int64_t> elapsedMs = SignedProperty(reading.frameProperties, "ElapsedTime");
    const std::optional<int64_t> remainingMs = SignedProperty(reading.frameProperties, "RemainingTime");

    // The frame as both the progress and the event tell it.
    auto frameFields = [&](ordered_json& payload) {
        payload["item"] = item;
        payload["frameId"] = frameId;
        payload["framesDone"] = framesDone;
        payload["framesTotal"] = framesTotal.value_or(0);
        payload["elapsedMs"] = elapsedMs.value_or(0);
        if (remainingMs) payload["remainingMs"] = *remainingMs;
    };
    ordered_json progress = Common(now);
    progress["session"] = session;
    frameFields(progress);
    const double fps = elapsedMs && *elapsedMs > 0 ? static_cast<double>(framesDone) * 1000.0 / *elapsedMs : 0.0;
    progress["fps"] = static_cast<double>(static_cast<int64_t>(fps * 100.0 + 0.5)) / 100.0;

    std::vector<brevant_client::OutputSize> outputs;
    for (const KeyValueList& properties : reading.outputModuleProperties) {
        outputs.push_back(brevant_client::ReadOutputSize(properties));
    }
    brevant_client::ProjectOutputSizes(outputs, framesDone, framesTotal.value_or(0));
    ordered_json list = ordered_json::array();
    for (size_t m = 0; m < outputs.size(); ++m) {
        const KeyValueList& properties = reading.outputModuleProperties[m];
        const std::string* path = FindValue(properties, "OutputTo");
        list.push_back({{"path", path != nullptr ? *path : ""},
                        {"disk", outputs[m].disk},
                        {"bytes", outputs[m].bytes},
                        {"projectedBytes", outputs[m].projectedBytes},
                        {"hostEstimateBytes", UnsignedProperty(properties, "EstFinalSize")},
                        {"freeBytes", outputs[m].freeBytes},
                        {"willFill", outputs[m].willFill}});
    }
    progress["outputs"] = std::move(list);

    Send(farm_wire::ItemSuffix(item, farm_wire::kProgressTopic), progress, true, 0);
    if (reading.thumbnailJpeg) {
        sink_(Message{identity_.Topic(farm_wire::ItemSuffix(item, farm_wire::kThumbnailTopic)),
                      std::string(reading.thumbnailJpeg->begin(), reading.thumbnailJpeg->end()), true, 0});
        thumbnailItem_ = item;
        lastThumbnailMicros_ = now;
    }

    ordered_json event = Event(farm_wire::kJobItemUpdate, session, now);
    frameFields(event);
    event["thumbnail"] = reading.thumbnailJpeg.has_value();
    // QoS 0 like the progress it repeats: a subscriber's persistent session would otherwise
    // queue every frame of the farm while it is away, and fill the broker's bound with them.
    Send(farm_wire::kEventsTopic, event, false, 0);
}

void Publisher::Log(int64_t session, int64_t item, uint8_t flag, const std::string& message) {
    ordered_json event = Event(farm_wire::kJobItemLog, session, clock_());
    event["item"] = item;
    event["flag"] = flag;
    event["message"] = message;
    Send(farm_wire::kEventsTopic, event, false, 1);
}

void Publisher::ItemEnd(int64_t session, int64_t item, int32_t status) {
    const int64_t now = clock_();
    ItemState* state = Find(item);
    if (state != nullptr) state->state = StatusText(status);
    ordered_json event = Event(farm_wire::kJobItemEnd, session, now);
    event["item"] = item;
    event["status"] = StatusText(status);
    event["framesDone"] = state != nullptr ? state->framesDone : 0;
    Send(farm_wire::kEventsTopic, event, false, 1);
    PublishJob(now);
}

void Publisher::JobEnd(int64_t session) {
    const int64_t now = clock_();
    endedMicros_ = now;
    for (ItemState& item : items_) {
        if (item.state == farm_wire::kItemQueued) item.state = farm_wire::kItemNotStarted;
        if (item.state == farm_wire::kItemRendering) item.state = farm_wire::kItemStopped;
    }
    ordered_json event = Event(farm_wire::kJobEnd, session, now);
    event["counts"] = Counts();
    Send(farm_wire::kEventsTopic, event, false, 1);
    PublishJob(now);
}

}  // namespace farm_publisher
