// The farm publisher's payloads: what a render machine tells the broker, made from what the
// listener callbacks read of the monitor suite. The plug-in's callbacks read the suite into the
// plain values below; Publisher turns each event into messages for the outbox. The topics and
// payloads are farm/wire/farm.schema.json's, documented in docs/mqtt-topics.md.
//
// Publisher is [main-thread]: driven from the listener callbacks only. StatusPayload is also
// called from the link's network thread; it touches nothing shared.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <brevant/client.hpp>
#include "farm/wire/Wire.h"
#include "Config.h"
#include "Outbox.h"

namespace farm_publisher {

using brevant_client::KeyValueList;

constexpr const char* kClientName = "farm_publisher";
constexpr const char* kClientVersion = "1.0.0";

// ---- Status -----------------------------------------------------------------------------------

// Who publishes: fixed for the life of the publisher.
struct Identity {
    std::string prefix;
    std::string machine;
    int64_t startedMicros = 0;
    int64_t pid = 0;

    std::string Topic(std::string_view suffix) const { return farm_wire::Topic(prefix, machine, suffix); }
};

struct LinkFigures {
    Tally dropped;
    Tally published;
    size_t queueBytes = 0;
    size_t limitBytes = 0;
    uint64_t connects = 0;
};

// The status payload. Without `figures` and `nowMicros` it is the last will: fixed at connect.
// `reason` is empty when online.
std::string StatusPayload(const Identity& identity, std::string_view state, std::string_view reason,
                          const LinkFigures* figures, std::optional<int64_t> nowMicros);

// ---- What is read at each event ---------------------------------------------------------------

struct ItemDescription {
    int64_t id = 0;
    KeyValueList renderSettings;
    std::vector<KeyValueList> outputModules;
    std::vector<std::string> warnings;
};

struct JobDescription {
    std::string project;
    std::string appVersion;
    std::vector<ItemDescription> items;
};

struct FrameReading {
    KeyValueList frameProperties;
    std::vector<KeyValueList> outputModuleProperties;  // by output-module position
    std::optional<std::vector<uint8_t>> thumbnailJpeg;
};

// ---- Publisher --------------------------------------------------------------------------------

class Publisher {
public:
    using Sink = std::function<void(Message)>;
    using Clock = std::function<int64_t()>;  // wall-clock microseconds

    Publisher(const Config& config, Identity identity, Sink sink, Clock clock);

    void JobBegin(int64_t session, JobDescription job);
    void ItemStart(int64_t session, int64_t item);
    // True when the next frame of `item` is one to send a thumbnail of: its first frame, then
    // one at most every thumbSeconds. Call before Frame.
    bool ThumbnailDue(int64_t item) const;
    void Frame(int64_t session, int64_t item, int64_t frameId, const FrameReading& reading);
    void Log(int64_t session, int64_t item, uint8_t flag, const std::string& message);
    void ItemEnd(int64_t session, int64_t item, int32_t status);
    void JobEnd(int64_t session);

private:
    struct ItemState {
        ItemDescription description;
        std::string name;
        std::string_view state = farm_wire::kItemQueued;
        int64_t framesDone = 0;
    };

    nlohmann::ordered_json Common(int64_t now) const;
    nlohmann::ordered_json Event(std::string_view event, int64_t session, int64_t now);
    ItemState* Find(int64_t item);
    nlohmann::ordered_json Counts() const;
    void PublishJob(int64_t now);
    void Send(std::string_view suffix, const nlohmann::ordered_json& payload, bool retained, int qos);

    Config config_;
    Identity identity_;
    Sink sink_;
    Clock clock_;
    uint64_t seq_ = 0;
    int64_t session_ = 0;
    std::string project_;
    std::string appVersion_;
    int64_t startedMicros_ = 0;
    std::optional<int64_t> endedMicros_;
    std::vector<ItemState> items_;
    int64_t thumbnailItem_ = 0;
    std::optional<int64_t> lastThumbnailMicros_;
};

}  // namespace farm_publisher
