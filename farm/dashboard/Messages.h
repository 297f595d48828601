// What the farm publishers send, parsed and validated. Everything here is a pure function of a
// topic and a payload: no state, no locks, callable from any thread. A message that fails any
// check is reported with the reason it is dropped, and nothing of it is kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace dashboard {

// Bounds on what one message may carry. A publisher that exceeds them is misbehaving or hostile;
// the message is dropped and counted, and the machine's other state stays as it was.
struct Limits {
    size_t jsonBytes = 256 * 1024;         // job descriptions of long queues are the largest
    size_t thumbnailBytes = 1024 * 1024;   // one JPEG
    size_t textBytes = 4096;               // one name, path, warning or setting
    size_t logBytes = 16 * 1024;           // one log message
    size_t machineNameBytes = 128;
    int depth = 16;                        // JSON nesting
    int64_t items = 1000;                  // items in one job; also the highest item number
    size_t listEntries = 200;              // settings, warnings, outputs, modules per item
};

// Why a message was dropped; each has its own counter.
enum class DropReason { Oversized, Malformed, Invalid, Topic, Capacity };
constexpr int kDropReasonCount = 5;
const char* DropReasonName(DropReason reason);

enum class TopicKind { Status, Job, Events, Progress, Thumbnail };

struct Topic {
    TopicKind kind;
    std::string machine;
    int64_t item = 0;  // progress and thumbnail only
};

// Splits PREFIX/MACHINE/... into its parts; nullopt for anything that is not a farm topic.
std::optional<Topic> ParseTopic(std::string_view prefix, std::string_view topic, const Limits& limits);

struct Status {
    std::string state;  // "online" or "offline"
    std::string reason, client, version, startedAt, time;
    int64_t pid = 0, droppedMessages = 0, droppedBytes = 0;
};

struct Setting {
    std::string key, value;
};

struct ItemDescription {
    int64_t item = 0;
    std::string name, state;
    std::vector<Setting> renderSettings;
    std::vector<std::vector<Setting>> outputModules;
    std::vector<std::string> warnings;
};

struct Counts {
    int64_t done = 0, stopped = 0, failed = 0, notStarted = 0;
};

struct JobMessage {
    int64_t session = 0;
    std::string state;  // "rendering" or "ended"
    std::string project, appVersion, startedAt, endedAt, time;
    std::vector<ItemDescription> items;
    Counts counts;
};

struct Output {
    std::string path, disk;
    int64_t bytes = 0, projectedBytes = 0, hostEstimateBytes = 0, freeBytes = 0;
    bool willFill = false;
};

struct Progress {
    int64_t session = 0, item = 0, frameId = 0, framesDone = 0, framesTotal = 0, elapsedMs = 0;
    std::optional<int64_t> remainingMs;
    double fps = 0;
    int64_t ts = 0;  // microseconds since the epoch, at the host
    std::string time;
    std::vector<Output> outputs;
};

struct Event {
    int64_t session = 0, seq = 0, item = 0;
    std::string event, status, message, time;
};

struct Thumbnail {
    std::string jpeg;
};

struct Cleared {};  // an empty retained payload: the publisher withdrew the topic

using Message = std::variant<Status, JobMessage, Progress, Event, Thumbnail, Cleared>;

// The message or the reason it is dropped. `topic` was accepted by ParseTopic.
using Parsed = std::variant<Message, DropReason>;
Parsed ParsePayload(const Topic& topic, std::string_view payload, const Limits& limits);

}  // namespace dashboard
