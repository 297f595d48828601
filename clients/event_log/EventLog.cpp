#include "EventLog.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

namespace event_log {

namespace {

using nlohmann::ordered_json;

bool ParseBool(const std::string& text, bool* out) {
    if (text.empty() || text == "0" || text == "false" || text == "no" || text == "off") {
        *out = false;
        return true;
    }
    if (text == "1" || text == "true" || text == "yes" || text == "on") {
        *out = true;
        return true;
    }
    return false;
}

bool ParseCount(const std::string& text, int32_t* out) {
    uint64_t value = 0;
    if (!brevant_client::ParseUnsigned(text, &value) || value > INT32_MAX) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

// "WxH", both above 0.
bool ParseSize(const std::string& text, int32_t* width, int32_t* height) {
    const size_t x = text.find('x');
    if (x == std::string::npos) return false;
    int32_t w = 0;
    int32_t h = 0;
    if (!ParseCount(text.substr(0, x), &w) || !ParseCount(text.substr(x + 1), &h) || w <= 0 || h <= 0) {
        return false;
    }
    *width = w;
    *height = h;
    return true;
}

ordered_json Pairs(const KeyValueList& list) {
    ordered_json pairs = ordered_json::array();
    for (const brevant_client::KeyValue& pair : list) pairs.push_back(ordered_json::array({pair.key, pair.value}));
    return pairs;
}

// Keys are unique in the frame and output-file property lists, so they read best as objects.
// The host's texts stay as they are, under their own (PascalCase) keys.
ordered_json Properties(const KeyValueList& list, bool stable) {
    ordered_json properties = ordered_json::object();
    for (const brevant_client::KeyValue& pair : list) {
        // Whether the host still has a remaining time to report depends on the clock.
        if (stable && pair.key == "RemainingTime") continue;
        if (stable && IsVaryingProperty(pair.key)) {
            properties[pair.key] = nullptr;
        } else {
            properties[pair.key] = pair.value;
        }
    }
    return properties;
}

// The value of `key` as a number, beside the text under `name`; left out when the host gave no
// such property, null when its text is not a number or varies in stable mode.
void AddNumber(ordered_json& record, const char* name, const KeyValueList& list, const char* key, bool stable) {
    const std::string* text = brevant_client::FindValue(list, key);
    if (text == nullptr) return;
    if (stable && std::strcmp(key, "RemainingTime") == 0) return;
    int64_t value = 0;
    if (stable && IsVaryingProperty(key)) {
        record[name] = nullptr;
    } else if (brevant_client::ParseSigned(*text, &value)) {
        record[name] = value;
    } else {
        uint64_t large = 0;
        record[name] = brevant_client::ParseUnsigned(*text, &large) ? ordered_json(large) : ordered_json(nullptr);
    }
}

ordered_json Errors(const std::vector<QueryError>& errors) {
    ordered_json list = ordered_json::array();
    for (const QueryError& error : errors) {
        ordered_json entry = {{"query", error.query}, {"code", error.code}};
        if (error.index >= 0) entry["index"] = error.index;
        list.push_back(std::move(entry));
    }
    return list;
}

}  // namespace

bool ReadConfig(const EnvLookup& getenv, Config* out, std::string* error) {
    if (out == nullptr) return false;
    Config config;
    auto value = [&](const char* name) -> std::optional<std::string> {
        const char* text = getenv ? getenv(name) : nullptr;
        if (text == nullptr) return std::nullopt;
        return std::string(text);
    };
    auto fail = [&](const char* name, const char* expected, const std::string& got) {
        if (error != nullptr) *error = std::string(name) + ": expected " + expected + ", got \"" + got + "\"";
        return false;
    };

    if (auto path = value("BREVANT_EVENT_LOG")) {
        if (path->empty()) return fail("BREVANT_EVENT_LOG", "a file path", *path);
        config.logPath = *path;
    }
    if (auto every = value("BREVANT_EVENT_LOG_THUMBS_EVERY")) {
        if (!every->empty() && !ParseCount(*every, &config.thumbsEvery)) {
            return fail("BREVANT_EVENT_LOG_THUMBS_EVERY", "a whole number, 0 for no thumbnails", *every);
        }
    }
    if (auto dir = value("BREVANT_EVENT_LOG_THUMBS_DIR")) config.thumbsDir = *dir;
    if (auto size = value("BREVANT_EVENT_LOG_THUMBS_SIZE")) {
        if (!size->empty() && !ParseSize(*size, &config.thumbMaxWidth, &config.thumbMaxHeight)) {
            return fail("BREVANT_EVENT_LOG_THUMBS_SIZE", "WIDTHxHEIGHT, both above 0", *size);
        }
    }
    if (auto stable = value("BREVANT_EVENT_LOG_STABLE")) {
        if (!ParseBool(*stable, &config.stable)) return fail("BREVANT_EVENT_LOG_STABLE", "1 or 0", *stable);
    }
    *out = std::move(config);
    return true;
}

std::string ThumbnailFolder(const Config& config) {
    if (!config.thumbsDir.empty()) return config.thumbsDir;
    const std::filesystem::path parent = std::filesystem::path(config.logPath).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

std::string ThumbnailFileName(const std::string& jobId, int64_t itemId, std::optional<int64_t> frameNumber,
                              int64_t frameId) {
    char buffer[96];
    if (frameNumber) {
        std::snprintf(buffer, sizeof buffer, "_item%lld_%04lld.jpg", static_cast<long long>(itemId),
                      static_cast<long long>(*frameNumber));
    } else {
        std::snprintf(buffer, sizeof buffer, "_item%lld_id%lld.jpg", static_cast<long long>(itemId),
                      static_cast<long long>(frameId));
    }
    return jobId + buffer;
}

std::string UtcTimestamp(int64_t epochMs) {
    const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
    std::tm utc {};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(epochMs % 1000));
    return buffer;
}

bool IsVaryingProperty(const std::string& key) {
    static const char* const varying[] = {"ElapsedTime", "RemainingTime", "Disk", "FileSize", "EstFinalSize",
                                          "DiskSpace"};
    for (const char* name : varying) {
        if (key == name) return true;
    }
    return false;
}

EventLog::EventLog(Config config, Origin origin, Writer writer, Clock clock)
    : config_(std::move(config)), origin_(std::move(origin)), writer_(std::move(writer)), clock_(std::move(clock)) {}

std::optional<int64_t> EventLog::FrameNumber(int64_t item, int64_t frame) const {
    const auto found = startFrames_.find(item);
    if (found == startFrames_.end()) return std::nullopt;
    return found->second + frame - 1;
}

std::string EventLog::Line(const ordered_json& record) {
    // Texts come from UTF-16 through a converter that never yields invalid UTF-8; replace
    // rather than throw should a byte slip through all the same.
    return record.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

ordered_json EventLog::Record(const char* event, int64_t session) {
    ordered_json record;
    record["event"] = event;
    record["seq"] = ++seq_;
    if (!config_.stable && clock_) {
        const int64_t now = clock_();
        lastMs_ = now;
        if (!startMs_) startMs_ = now;
        record["time"] = UtcTimestamp(now);
        record["timeMs"] = now - *startMs_;
    }
    record["session"] = session;
    return record;
}

void EventLog::Emit(const ordered_json& record) {
    if (writer_) writer_(Line(record));
}

void EventLog::JobBegin(int64_t session, const JobDescription& job) {
    jobFrames_ = 0;
    endStatuses_.clear();
    startFrames_.clear();
    itemsDescribed_ = static_cast<int32_t>(job.items.size());
    ordered_json record = Record("JobBegin", session);
    if (config_.stable || !clock_) {
        jobId_ = "session" + std::to_string(session);
    } else {
        // The start to the second, the process and the session: unique on the machine.
        std::string compact;
        for (char c : UtcTimestamp(lastMs_).substr(0, 19)) {
            if (c != '-' && c != ':') compact += c;
        }
        jobId_ = compact + "-" + std::to_string(origin_.processId) + "-" + std::to_string(session);
    }
    record["jobId"] = jobId_;
    record["machine"] = config_.stable ? ordered_json(nullptr) : ordered_json(origin_.machine);
    if (origin_.jobFile.empty()) {
        record["jobFile"] = nullptr;
    } else {
        record["jobFile"] = config_.stable ? std::filesystem::path(origin_.jobFile).filename().string() : origin_.jobFile;
    }
    record["projectName"] = job.projectName;
    record["appVersion"] = job.appVersion;
    ordered_json items = ordered_json::array();
    for (const ItemDescription& item : job.items) {
        ordered_json modules = ordered_json::array();
        for (const OutputModuleDescription& module : item.outputModules) {
            modules.push_back({{"settings", Pairs(module.settings)}, {"warnings", module.warnings}});
        }
        ordered_json entry = {{"id", item.id}};
        if (item.startFrame) {
            entry["startFrame"] = *item.startFrame;
            startFrames_[item.id] = *item.startFrame;
        }
        entry["renderSettings"] = Pairs(item.renderSettings);
        entry["outputModules"] = std::move(modules);
        items.push_back(std::move(entry));
    }
    record["items"] = std::move(items);
    if (!job.errors.empty()) record["errors"] = Errors(job.errors);
    Emit(record);
}

void EventLog::JobEnd(int64_t session) {
    ordered_json record = Record("JobEnd", session);
    record["jobId"] = jobId_;
    int32_t ended = 0;
    int32_t other = 0;
    for (const auto& entry : endStatuses_) {
        ended += entry.second;
        if (entry.first < 1 || entry.first > 3) other += entry.second;
    }
    auto count = [&](int32_t status) {
        const auto found = endStatuses_.find(status);
        return found == endStatuses_.end() ? 0 : found->second;
    };
    record["items"] = {{"described", itemsDescribed_}, {"done", count(1)},        {"stopped", count(2)},
                       {"failed", count(3)},           {"otherStatus", other},    {"neverStarted", std::max(itemsDescribed_ - ended, 0)}};
    record["itemsEnded"] = ended;
    record["frames"] = jobFrames_;
    Emit(record);
}

void EventLog::ItemStart(int64_t session, int64_t item) {
    countedItem_ = item;
    itemFrames_ = 0;
    ordered_json record = Record("JobItemStart", session);
    record["item"] = item;
    Emit(record);
}

bool EventLog::CountFrame(int64_t item) {
    if (item != countedItem_) {
        countedItem_ = item;
        itemFrames_ = 0;
    }
    ++itemFrames_;
    ++jobFrames_;
    return config_.thumbsEvery > 0 && (itemFrames_ - 1) % config_.thumbsEvery == 0;
}

void EventLog::Update(int64_t session, int64_t item, int64_t frame, const FrameReading& reading) {
    ordered_json record = Record("JobItemUpdate", session);
    record["item"] = item;
    record["frame"] = frame;
    if (const std::optional<int64_t> number = FrameNumber(item, frame)) record["frameNumber"] = *number;
    AddNumber(record, "elapsedMs", reading.frameProperties, "ElapsedTime", config_.stable);
    AddNumber(record, "framesTotal", reading.frameProperties, "FramesTotal", config_.stable);
    AddNumber(record, "remainingMs", reading.frameProperties, "RemainingTime", config_.stable);
    record["frameProperties"] = Properties(reading.frameProperties, config_.stable);
    ordered_json modules = ordered_json::array();
    for (const KeyValueList& properties : reading.outputModuleProperties) {
        ordered_json module = Properties(properties, config_.stable);
        AddNumber(module, "fileSize", properties, "FileSize", config_.stable);
        AddNumber(module, "estFinalSize", properties, "EstFinalSize", config_.stable);
        AddNumber(module, "diskSpace", properties, "DiskSpace", config_.stable);
        modules.push_back(std::move(module));
    }
    record["outputModules"] = std::move(modules);
    if (reading.thumbnail) {
        ordered_json thumbnail = {{"file", reading.thumbnail->path},
                                  {"width", reading.thumbnail->width},
                                  {"height", reading.thumbnail->height}};
        if (!config_.stable) thumbnail["bytes"] = reading.thumbnail->bytes;
        record["thumbnail"] = std::move(thumbnail);
    }
    if (!reading.errors.empty()) record["errors"] = Errors(reading.errors);
    Emit(record);
}

void EventLog::Log(int64_t session, int64_t item, uint8_t flag, const std::string& message) {
    ordered_json record = Record("JobItemLog", session);
    record["item"] = item;
    record["flag"] = flag;
    record["message"] = message;
    Emit(record);
}

void EventLog::ItemEnd(int64_t session, int64_t item, int32_t status) {
    ++endStatuses_[status];
    ordered_json record = Record("JobItemEnd", session);
    record["item"] = item;
    record["status"] = status;
    record["statusText"] = status == 1 ? "done" : status == 2 ? "stopped" : status == 3 ? "failed" : "unknown";
    record["frames"] = item == countedItem_ ? itemFrames_ : 0;
    Emit(record);
}

}  // namespace event_log
