// The event log's records: one JSON object per job event, written as one line. The plug-in's
// callbacks read the monitor suite into the plain values below; EventLog turns them into lines
// and hands each line to its writer.
//
// [main-thread]: driven from the listener callbacks only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <brevant/client.hpp>

namespace event_log {

using brevant_client::KeyValueList;

// ---- Configuration ----------------------------------------------------------------------------

struct Config {
    std::string logPath = "brevant-events.jsonl";  // appended to, never overwritten
    int32_t thumbsEvery = 0;  // a thumbnail of every Nth frame of an item, from its first; 0: none
    std::string thumbsDir;    // empty: the log file's folder
    int32_t thumbMaxWidth = 320;
    int32_t thumbMaxHeight = 180;
    bool stable = false;      // leave out what varies from run to run
};

// Reads the configuration through `getenv` (the process environment in the plug-in). On a
// value that cannot be used, `error` names the variable and what it expects, and false is
// returned with `out` untouched.
using EnvLookup = std::function<const char*(const char*)>;
bool ReadConfig(const EnvLookup& getenv, Config* out, std::string* error);

// The folder that thumbnails go to: the configured one, else the log file's folder.
std::string ThumbnailFolder(const Config& config);
// "<jobId>_item1_0012.jpg": the job makes it unique across jobs, the number is the frame's on
// disk (the item's start frame + frame id - 1), padded to four digits; "_id13" when it has none.
std::string ThumbnailFileName(const std::string& jobId, int64_t itemId, std::optional<int64_t> frameNumber,
                              int64_t frameId);

// What the log says about where it runs, the same for every record of the process.
struct Origin {
    std::string machine;   // the host name
    std::string jobFile;   // as the host names it (brevant-host: BREVANT_JOB_FILE); may be empty
    int64_t processId = 0;
};
// "2026-12-07T11:06:16.123Z" for milliseconds since the epoch.
std::string UtcTimestamp(int64_t epochMs);

// ---- What is read at each event ---------------------------------------------------------------

// A monitor-suite query that failed while an event was read, and its code.
struct QueryError {
    std::string query;
    int32_t code = 0;
    int32_t index = -1;  // the output module or list index it concerned, -1 when none
};

struct OutputModuleDescription {
    KeyValueList settings;
    std::vector<std::string> warnings;
};

struct ItemDescription {
    int64_t id = 0;
    std::optional<int64_t> startFrame;  // the number on disk of the item's first frame, when known
    KeyValueList renderSettings;
    std::vector<OutputModuleDescription> outputModules;
};

struct JobDescription {
    std::string projectName;
    std::string appVersion;
    std::vector<ItemDescription> items;
    std::vector<QueryError> errors;
};

struct ThumbnailRecord {
    std::string path;
    int32_t width = 0;
    int32_t height = 0;
    uint64_t bytes = 0;
};

struct FrameReading {
    KeyValueList frameProperties;
    std::vector<KeyValueList> outputModuleProperties;  // by output-module position
    std::optional<ThumbnailRecord> thumbnail;
    std::vector<QueryError> errors;
};

// ---- Records ----------------------------------------------------------------------------------

class EventLog {
public:
    using Writer = std::function<void(const std::string& line)>;
    using Clock = std::function<int64_t()>;  // wall-clock milliseconds since the epoch

    EventLog(Config config, Origin origin, Writer writer, Clock clock);

    const Config& config() const { return config_; }
    // Names the current job in thumbnails and its JobBegin and JobEnd records.
    const std::string& jobId() const { return jobId_; }
    // The number on disk of `frame` of `item`, when the job's description told its start.
    std::optional<int64_t> FrameNumber(int64_t item, int64_t frame) const;

    void JobBegin(int64_t session, const JobDescription& job);
    void JobEnd(int64_t session);
    void ItemStart(int64_t session, int64_t item);
    // Counts the frame; true when this frame is one to take a thumbnail of. Call before Update.
    bool CountFrame(int64_t item);
    void Update(int64_t session, int64_t item, int64_t frame, const FrameReading& reading);
    void Log(int64_t session, int64_t item, uint8_t flag, const std::string& message);
    void ItemEnd(int64_t session, int64_t item, int32_t status);

    // One record as it is written, without the trailing newline; exposed for tests.
    static std::string Line(const nlohmann::ordered_json& record);

private:
    nlohmann::ordered_json Record(const char* event, int64_t session);
    void Emit(const nlohmann::ordered_json& record);

    Config config_;
    Origin origin_;
    Writer writer_;
    Clock clock_;
    std::optional<int64_t> startMs_;
    int64_t lastMs_ = 0;
    uint64_t seq_ = 0;
    std::string jobId_;
    std::map<int64_t, int64_t> startFrames_;  // by item id, from the job's description
    int32_t itemsDescribed_ = 0;
    int64_t countedItem_ = 0;
    int32_t itemFrames_ = 0;   // frames of the current item
    int64_t jobFrames_ = 0;    // frames of the session
    std::map<int32_t, int32_t> endStatuses_;  // listener status to the items that ended with it
};

// The property values that vary between identical runs; written as null in stable mode.
bool IsVaryingProperty(const std::string& key);

}  // namespace event_log
