#include "Farm.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <utility>

namespace farm_publisher {

namespace {

using nlohmann::ordered_json;
using brevant_client::FindValue;

const char* const kSettings[] = {
    "BREVANT_FARM_BROKER",     "BREVANT_FARM_PREFIX",        "BREVANT_FARM_MACHINE",
    "BREVANT_FARM_USERNAME",   "BREVANT_FARM_PASSWORD",      "BREVANT_FARM_CAFILE",
    "BREVANT_FARM_CERTFILE",   "BREVANT_FARM_KEYFILE",       "BREVANT_FARM_QUEUE_BYTES",
    "BREVANT_FARM_THUMB_SECONDS", "BREVANT_FARM_THUMB_SIZE", "BREVANT_FARM_KEEPALIVE",
    "BREVANT_FARM_STATUS_SECONDS", "BREVANT_FARM_SHUTDOWN_WAIT_MS",
};

bool ParseRange(const std::string& text, uint64_t low, uint64_t high, uint64_t* out) {
    uint64_t value = 0;
    if (!brevant_client::ParseUnsigned(text, &value) || value < low || value > high) return false;
    *out = value;
    return true;
}

bool ParseInt(const std::string& text, int32_t low, int32_t high, int32_t* out) {
    uint64_t value = 0;
    if (!ParseRange(text, static_cast<uint64_t>(low), static_cast<uint64_t>(high), &value)) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

// "host", "host:port" or "[v6-address]:port".
bool ParseBroker(const std::string& text, std::string* host, int* port) {
    std::string name = text;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        name = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            portText = text.substr(close + 2);
        }
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        name = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (name.empty()) return false;
    for (unsigned char c : name) {
        if (c <= ' ' || c == '/') return false;
    }
    int32_t number = *port;
    if (!portText.empty() || text.back() == ':') {
        if (!ParseInt(portText, 1, 65535, &number)) return false;
    }
    *host = name;
    *port = number;
    return true;
}

bool ValidPrefix(const std::string& prefix) {
    if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos) {
        return false;
    }
    for (unsigned char c : prefix) {
        if (c < ' ' || c == 0x7F || c == '+' || c == '#') return false;
    }
    return true;
}

bool Readable(const std::string& path) { return std::ifstream(path, std::ios::binary).good(); }

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

const char* StatusText(int32_t status) {
    switch (status) {
        case kListenerStatusDone: return "done";
        case kListenerStatusStopped: return "stopped";
        default: return "failed";
    }
}

}  // namespace

// ---- Configuration ----------------------------------------------------------------------------

bool ReadConfig(const EnvLookup& getenv, const std::vector<std::string>& settings, const std::string& hostName,
                Config* out, std::string* error) {
    if (out == nullptr) return false;
    auto fail = [&](const std::string& message) {
        if (error != nullptr) *error = message;
        return false;
    };
    auto expected = [&](const char* name, const char* what, const std::string& got) {
        return fail(std::string(name) + ": expected " + what + ", got \"" + got + "\"");
    };
    for (const std::string& name : settings) {
        if (name.rfind("BREVANT_FARM_", 0) != 0) continue;
        bool known = false;
        for (const char* setting : kSettings) known |= name == setting;
        if (!known) return fail("unknown setting " + name + " (see docs/farm-publisher.md)");
    }
    auto value = [&](const char* name) -> std::optional<std::string> {
        const char* text = getenv ? getenv(name) : nullptr;
        if (text == nullptr) return std::nullopt;
        return std::string(text);
    };

    Config config;
    config.machine = TopicLevel(hostName);
    if (auto broker = value("BREVANT_FARM_BROKER")) {
        if (!ParseBroker(*broker, &config.host, &config.port)) {
            return expected("BREVANT_FARM_BROKER", "HOST or HOST:PORT (port 1 to 65535)", *broker);
        }
    }
    if (auto prefix = value("BREVANT_FARM_PREFIX")) {
        if (!ValidPrefix(*prefix)) {
            return expected("BREVANT_FARM_PREFIX", "topic levels without '+', '#', empty levels or control characters",
                            *prefix);
        }
        config.prefix = *prefix;
    }
    if (auto machine = value("BREVANT_FARM_MACHINE")) {
        if (machine->empty()) return expected("BREVANT_FARM_MACHINE", "a machine name", *machine);
        config.machine = TopicLevel(*machine);
    }
    if (auto username = value("BREVANT_FARM_USERNAME")) config.username = *username;
    if (auto password = value("BREVANT_FARM_PASSWORD")) config.password = *password;
    if (!config.password.empty() && config.username.empty()) {
        return fail("BREVANT_FARM_PASSWORD is set but BREVANT_FARM_USERNAME is not");
    }
    const std::pair<const char*, std::string*> files[] = {{"BREVANT_FARM_CAFILE", &config.caFile},
                                                          {"BREVANT_FARM_CERTFILE", &config.certFile},
                                                          {"BREVANT_FARM_KEYFILE", &config.keyFile}};
    for (const auto& [name, field] : files) {
        if (auto path = value(name)) {
            if (!path->empty() && !Readable(*path)) return fail(std::string(name) + ": cannot read " + *path);
            *field = *path;
        }
    }
    if (config.certFile.empty() != config.keyFile.empty()) {
        return fail("BREVANT_FARM_CERTFILE and BREVANT_FARM_KEYFILE go together: set both or neither");
    }
    if (!config.certFile.empty() && config.caFile.empty()) {
        return fail("BREVANT_FARM_CERTFILE needs BREVANT_FARM_CAFILE: a client certificate is for TLS");
    }
    if (auto bytes = value("BREVANT_FARM_QUEUE_BYTES")) {
        uint64_t limit = 0;
        if (!ParseRange(*bytes, 1024, uint64_t{1} << 40, &limit)) {
            return expected("BREVANT_FARM_QUEUE_BYTES", "a number of bytes, at least 1024", *bytes);
        }
        config.queueBytes = static_cast<size_t>(limit);
    }
    if (auto seconds = value("BREVANT_FARM_THUMB_SECONDS")) {
        if (!ParseInt(*seconds, 0, 86400, &config.thumbSeconds)) {
            return expected("BREVANT_FARM_THUMB_SECONDS", "whole seconds, 0 for no thumbnails", *seconds);
        }
    }
    if (auto size = value("BREVANT_FARM_THUMB_SIZE")) {
        const size_t x = size->find('x');
        if (x == std::string::npos || !ParseInt(size->substr(0, x), 1, 4096, &config.thumbWidth) ||
            !ParseInt(size->substr(x + 1), 1, 4096, &config.thumbHeight)) {
            return expected("BREVANT_FARM_THUMB_SIZE", "WIDTHxHEIGHT, each 1 to 4096", *size);
        }
    }
    if (auto keepalive = value("BREVANT_FARM_KEEPALIVE")) {
        if (!ParseInt(*keepalive, 5, 65535, &config.keepaliveSeconds)) {
            return expected("BREVANT_FARM_KEEPALIVE", "whole seconds, 5 to 65535", *keepalive);
        }
    }
    if (auto seconds = value("BREVANT_FARM_STATUS_SECONDS")) {
        if (!ParseInt(*seconds, 1, 86400, &config.statusSeconds)) {
            return expected("BREVANT_FARM_STATUS_SECONDS", "whole seconds, at least 1", *seconds);
        }
    }
    if (auto wait = value("BREVANT_FARM_SHUTDOWN_WAIT_MS")) {
        if (!ParseInt(*wait, 0, 600000, &config.shutdownWaitMs)) {
            return expected("BREVANT_FARM_SHUTDOWN_WAIT_MS", "milliseconds, 0 to 600000", *wait);
        }
    }
    *out = std::move(config);
    return true;
}

std::string TopicLevel(const std::string& name) {
    std::string level = name.empty() ? "_" : name;
    for (char& c : level) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < ' ' || byte == 0x7F || c == '+' || c == '#' || c == '/') c = '_';
    }
    return level;
}

// ---- Time -------------------------------------------------------------------------------------

int64_t WallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string IsoTime(int64_t micros) {
    const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[96];  // room for any int the format could be given
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(micros % 1000000 / 1000));
    return buffer;
}

// ---- Status -----------------------------------------------------------------------------------

std::string StatusPayload(const Identity& identity, const char* state, const char* reason,
                          const LinkFigures* figures, std::optional<int64_t> nowMicros) {
    ordered_json status = {{"schema", kSchema}, {"machine", identity.machine}};
    if (nowMicros) {
        status["time"] = IsoTime(*nowMicros);
        status["ts"] = *nowMicros;
    }
    status["state"] = state;
    if (reason != nullptr) status["reason"] = reason;
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
    return {{"schema", kSchema}, {"machine", identity_.machine}, {"time", IsoTime(now)}, {"ts", now}};
}

ordered_json Publisher::Event(const char* event, int64_t session, int64_t now) {
    ordered_json payload = Common(now);
    payload["session"] = session;
    payload["seq"] = ++seq_;
    payload["event"] = event;
    return payload;
}

void Publisher::Send(const std::string& suffix, const ordered_json& payload, bool retained, int qos) {
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
        const std::string state = item.state;
        if (state == "done") ++done;
        else if (state == "stopped") ++stopped;
        else if (state == "failed") ++failed;
        else if (state != "rendering") ++notStarted;
    }
    return {{"done", done}, {"stopped", stopped}, {"failed", failed}, {"notStarted", notStarted}};
}

void Publisher::PublishJob(int64_t now) {
    ordered_json job = Common(now);
    job["session"] = session_;
    job["state"] = endedMicros_ ? "ended" : "rendering";
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
    Send("job", job, true, 1);
}

void Publisher::JobBegin(int64_t session, JobDescription job) {
    const int64_t now = clock_();
    // Items of the previous job that this one does not have would otherwise show their last
    // frame for ever.
    for (const ItemState& old : items_) {
        const bool kept = std::any_of(job.items.begin(), job.items.end(),
                                      [&](const ItemDescription& item) { return item.id == old.description.id; });
        if (kept) continue;
        const std::string items = "items/" + std::to_string(old.description.id);
        sink_(Message{identity_.Topic(items + "/progress"), "", true, 0});
        sink_(Message{identity_.Topic(items + "/thumbnail"), "", true, 0});
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
    ordered_json event = Event("JobBegin", session, now);
    event["project"] = project_;
    event["items"] = items_.size();
    Send("events", event, false, 1);
    PublishJob(now);
}

void Publisher::ItemStart(int64_t session, int64_t item) {
    const int64_t now = clock_();
    if (ItemState* state = Find(item)) {
        state->state = "rendering";
        state->framesDone = 0;
    }
    thumbnailItem_ = item;
    lastThumbnailMicros_.reset();
    ordered_json event = Event("JobItemStart", session, now);
    event["item"] = item;
    Send("events", event, false, 1);
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

    ordered_json progress = Common(now);
    progress["session"] = session;
    progress["item"] = item;
    progress["frameId"] = frameId;
    progress["framesDone"] = framesDone;
    progress["framesTotal"] = framesTotal.value_or(0);
    progress["elapsedMs"] = elapsedMs.value_or(0);
    if (remainingMs) progress["remainingMs"] = *remainingMs;
    const double fps = elapsedMs && *elapsedMs > 0 ? static_cast<double>(framesDone) * 1000.0 / *elapsedMs : 0.0;
    progress["fps"] = static_cast<double>(static_cast<int64_t>(fps * 100.0 + 0.5)) / 100.0;

    // The disk fills when the growth still to come of every output on it exceeds its free space.
    struct Output {
        uint64_t bytes, projected;
    };
    std::vector<Output> outputs;
    std::map<std::string, unsigned __int128> growthByDisk;
    for (const KeyValueList& properties : reading.outputModuleProperties) {
        const uint64_t bytes = UnsignedProperty(properties, "FileSize");
        unsigned __int128 projected = bytes;
        if (framesDone > 0 && framesTotal && *framesTotal > framesDone) {
            projected = static_cast<unsigned __int128>(bytes) * static_cast<uint64_t>(*framesTotal) /
                        static_cast<uint64_t>(framesDone);
        }
        const uint64_t projectedBytes = projected > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(projected);
        outputs.push_back({bytes, projectedBytes});
        const std::string* disk = FindValue(properties, "Disk");
        if (disk != nullptr && !disk->empty()) growthByDisk[*disk] += projectedBytes - bytes;
    }
    ordered_json list = ordered_json::array();
    for (size_t m = 0; m < outputs.size(); ++m) {
        const KeyValueList& properties = reading.outputModuleProperties[m];
        const std::string* path = FindValue(properties, "OutputTo");
        const std::string* disk = FindValue(properties, "Disk");
        const uint64_t freeBytes = UnsignedProperty(properties, "DiskSpace");
        const bool onDisk = disk != nullptr && !disk->empty();
        list.push_back({{"path", path != nullptr ? *path : ""},
                        {"disk", disk != nullptr ? *disk : ""},
                        {"bytes", outputs[m].bytes},
                        {"projectedBytes", outputs[m].projected},
                        {"hostEstimateBytes", UnsignedProperty(properties, "EstFinalSize")},
                        {"freeBytes", freeBytes},
                        {"willFill", onDisk && growthByDisk[*disk] > freeBytes}});
    }
    progress["outputs"] = std::move(list);

    const std::string items = "items/" + std::to_string(item);
    Send(items + "/progress", progress, true, 0);
    if (reading.thumbnailJpeg) {
        sink_(Message{identity_.Topic(items + "/thumbnail"),
                      std::string(reading.thumbnailJpeg->begin(), reading.thumbnailJpeg->end()), true, 0});
        thumbnailItem_ = item;
        lastThumbnailMicros_ = now;
    }

    ordered_json event = Event("JobItemUpdate", session, now);
    event["item"] = item;
    event["frameId"] = frameId;
    event["framesDone"] = framesDone;
    event["framesTotal"] = framesTotal.value_or(0);
    event["elapsedMs"] = elapsedMs.value_or(0);
    if (remainingMs) event["remainingMs"] = *remainingMs;
    event["thumbnail"] = reading.thumbnailJpeg.has_value();
    Send("events", event, false, 1);
}

void Publisher::Log(int64_t session, int64_t item, uint8_t flag, const std::string& message) {
    ordered_json event = Event("JobItemLog", session, clock_());
    event["item"] = item;
    event["flag"] = flag;
    event["message"] = message;
    Send("events", event, false, 1);
}

void Publisher::ItemEnd(int64_t session, int64_t item, int32_t status) {
    const int64_t now = clock_();
    ItemState* state = Find(item);
    if (state != nullptr) state->state = StatusText(status);
    ordered_json event = Event("JobItemEnd", session, now);
    event["item"] = item;
    event["status"] = StatusText(status);
    event["framesDone"] = state != nullptr ? state->framesDone : 0;
    Send("events", event, false, 1);
    PublishJob(now);
}

void Publisher::JobEnd(int64_t session) {
    const int64_t now = clock_();
    endedMicros_ = now;
    for (ItemState& item : items_) {
        const std::string state = item.state;
        if (state == "queued") item.state = "notStarted";
        if (state == "rendering") item.state = "stopped";
    }
    ordered_json event = Event("JobEnd", session, now);
    event["counts"] = Counts();
    Send("events", event, false, 1);
    PublishJob(now);
}

}  // namespace farm_publisher
