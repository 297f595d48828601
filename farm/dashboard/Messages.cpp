#include "farm/dashboard/Messages.h"

#include <nlohmann/json.hpp>

#include "farm/wire/Wire.h"

namespace dashboard {
namespace {

using Json = nlohmann::json;

// Thrown inside this file only: a field that is missing, of the wrong type or out of bounds.
struct Invalid {};

// Deeply nested JSON costs the parser and the destructor stack; it is refused before parsing.
bool NestingWithin(std::string_view text, int maxDepth) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > maxDepth) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

class Reader {
public:
    Reader(const Json& object, const Limits& limits) : object_(object), limits_(limits) {
        if (!object_.is_object()) throw Invalid{};
    }

    const Json* Find(const char* key) const {
        auto it = object_.find(key);
        return it == object_.end() || it->is_null() ? nullptr : &*it;
    }
    int64_t Int(const char* key) const {
        const Json* value = Find(key);
        if (!value) throw Invalid{};
        return IntOf(*value);
    }
    int64_t IntOr(const char* key, int64_t fallback) const { return Find(key) ? Int(key) : fallback; }
    std::optional<int64_t> OptionalInt(const char* key) const {
        return Find(key) ? std::optional<int64_t>(Int(key)) : std::nullopt;
    }
    double Number(const char* key) const {
        const Json* value = Find(key);
        if (!value || !value->is_number()) throw Invalid{};
        double number = value->get<double>();
        if (!(number >= 0 && number < 1e9)) throw Invalid{};  // also refuses NaN
        return number;
    }
    std::string Text(const char* key, size_t maxBytes) const {
        const Json* value = Find(key);
        if (!value) throw Invalid{};
        return TextOf(*value, maxBytes);
    }
    std::string TextOr(const char* key, size_t maxBytes) const { return Find(key) ? Text(key, maxBytes) : std::string(); }
    std::string Text(const char* key) const { return Text(key, limits_.textBytes); }
    std::string TextOr(const char* key) const { return TextOr(key, limits_.textBytes); }
    bool Bool(const char* key) const {
        const Json* value = Find(key);
        if (!value) return false;
        if (!value->is_boolean()) throw Invalid{};
        return value->get<bool>();
    }
    const Json& Array(const char* key) const {
        static const Json kEmpty = Json::array();
        const Json* value = Find(key);
        if (!value) return kEmpty;
        if (!value->is_array() || value->size() > limits_.listEntries) throw Invalid{};
        return *value;
    }

    static int64_t IntOf(const Json& value) {
        if (value.is_number_unsigned()) {
            if (value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) throw Invalid{};
            return static_cast<int64_t>(value.get<uint64_t>());
        }
        if (!value.is_number_integer()) throw Invalid{};
        return value.get<int64_t>();
    }
    static std::string TextOf(const Json& value, size_t maxBytes) {
        if (!value.is_string()) throw Invalid{};
        const auto& text = value.get_ref<const std::string&>();
        if (text.size() > maxBytes) throw Invalid{};
        return text;
    }

private:
    const Json& object_;
    const Limits& limits_;
};

int64_t NonNegative(int64_t value) {
    if (value < 0) throw Invalid{};
    return value;
}

std::vector<Setting> Settings(const Json& list, const Limits& limits) {
    if (!list.is_array() || list.size() > limits.listEntries) throw Invalid{};
    std::vector<Setting> settings;
    for (const Json& entry : list) {
        Reader setting(entry, limits);
        settings.push_back({setting.Text("key"), setting.TextOr("value")});
    }
    return settings;
}

Status ReadStatus(const Reader& in, const Limits& limits) {
    Status status;
    status.state = in.Text("state");
    if (status.state != farm_wire::kOnline && status.state != farm_wire::kOffline) throw Invalid{};
    status.reason = in.TextOr("reason");
    status.client = in.TextOr("client");
    status.version = in.TextOr("version");
    status.startedAt = in.TextOr("startedAt");
    status.time = in.TextOr("time");
    status.pid = in.IntOr("pid", 0);
    if (const Json* dropped = in.Find("dropped")) {
        Reader counts(*dropped, limits);
        status.droppedMessages = NonNegative(counts.IntOr("messages", 0));
        status.droppedBytes = NonNegative(counts.IntOr("bytes", 0));
    }
    return status;
}

JobMessage ReadJob(const Reader& in, const Limits& limits) {
    JobMessage job;
    job.session = in.Int("session");
    job.state = in.Text("state");
    if (job.state != farm_wire::kJobRendering && job.state != farm_wire::kJobEnded) throw Invalid{};
    job.project = in.TextOr("project");
    job.appVersion = in.TextOr("appVersion");
    job.startedAt = in.Text("startedAt");
    job.endedAt = in.TextOr("endedAt");
    job.time = in.TextOr("time");
    const Json* items = in.Find("items");
    if (items && (!items->is_array() || static_cast<int64_t>(items->size()) > limits.items)) throw Invalid{};
    for (const Json& entry : items ? *items : Json::array()) {
        Reader item(entry, limits);
        ItemDescription description;
        description.item = item.Int("item");
        if (description.item < 1 || description.item > limits.items) throw Invalid{};
        description.name = item.TextOr("name");
        description.state = item.Text("state");
        description.renderSettings = Settings(item.Array("renderSettings"), limits);
        for (const Json& module : item.Array("outputModules")) description.outputModules.push_back(Settings(module, limits));
        for (const Json& warning : item.Array("warnings")) description.warnings.push_back(Reader::TextOf(warning, limits.textBytes));
        job.items.push_back(std::move(description));
    }
    if (const Json* counts = in.Find("counts")) {
        Reader c(*counts, limits);
        job.counts = {NonNegative(c.IntOr("done", 0)), NonNegative(c.IntOr("stopped", 0)),
                      NonNegative(c.IntOr("failed", 0)), NonNegative(c.IntOr("notStarted", 0))};
    }
    return job;
}

Progress ReadProgress(const Reader& in, const Topic& topic, const Limits& limits) {
    Progress progress;
    progress.session = in.Int("session");
    progress.item = in.Int("item");
    if (progress.item != topic.item) throw Invalid{};
    progress.frameId = in.Int("frameId");
    progress.framesDone = NonNegative(in.Int("framesDone"));
    progress.framesTotal = NonNegative(in.IntOr("framesTotal", 0));
    progress.elapsedMs = NonNegative(in.IntOr("elapsedMs", 0));
    if (auto remaining = in.OptionalInt("remainingMs")) progress.remainingMs = NonNegative(*remaining);
    progress.fps = in.Find("fps") ? in.Number("fps") : 0.0;
    progress.ts = in.IntOr("ts", 0);
    progress.time = in.TextOr("time");
    for (const Json& entry : in.Array("outputs")) {
        Reader out(entry, limits);
        progress.outputs.push_back({out.TextOr("path"), out.TextOr("disk"), NonNegative(out.IntOr("bytes", 0)),
                                    NonNegative(out.IntOr("projectedBytes", 0)),
                                    NonNegative(out.IntOr("hostEstimateBytes", 0)),
                                    NonNegative(out.IntOr("freeBytes", 0)), out.Bool("willFill")});
    }
    return progress;
}

Event ReadEvent(const Reader& in, const Limits& limits) {
    Event event;
    event.session = in.IntOr("session", 0);
    event.seq = in.IntOr("seq", 0);
    event.item = in.IntOr("item", 0);
    event.event = in.Text("event");
    event.status = in.TextOr("status");
    event.message = in.TextOr("message", limits.logBytes);
    event.time = in.TextOr("time");
    return event;
}

bool LooksLikeJpeg(std::string_view bytes) {
    return bytes.size() >= 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8 && static_cast<unsigned char>(bytes[2]) == 0xFF;
}

}  // namespace

const char* DropReasonName(DropReason reason) {
    switch (reason) {
        case DropReason::Oversized: return "oversized";
        case DropReason::Malformed: return "malformed";
        case DropReason::Invalid: return "invalid";
        case DropReason::Topic: return "topic";
        case DropReason::Capacity: return "capacity";
    }
    return "invalid";
}

std::optional<Topic> ParseTopic(std::string_view prefix, std::string_view topic, const Limits& limits) {
    if (topic.size() <= prefix.size() + 1 || topic.substr(0, prefix.size()) != prefix || topic[prefix.size()] != '/')
        return std::nullopt;
    std::vector<std::string_view> parts;
    std::string_view rest = topic.substr(prefix.size() + 1);
    for (size_t slash; (slash = rest.find('/')) != std::string_view::npos; rest.remove_prefix(slash + 1))
        parts.push_back(rest.substr(0, slash));
    parts.push_back(rest);
    if (parts[0].empty() || parts[0].size() > limits.machineNameBytes) return std::nullopt;
    Topic result{TopicKind::Status, std::string(parts[0]), 0};
    if (parts.size() == 2) {
        if (parts[1] == farm_wire::kStatusTopic) return result;
        if (parts[1] == farm_wire::kJobTopic) return result.kind = TopicKind::Job, result;
        if (parts[1] == farm_wire::kEventsTopic) return result.kind = TopicKind::Events, result;
        return std::nullopt;
    }
    if (parts.size() != 4 || parts[1] != farm_wire::kItemsLevel || parts[2].empty() || parts[2].size() > 6) return std::nullopt;
    int64_t item = 0;
    for (char c : parts[2]) {
        if (c < '0' || c > '9') return std::nullopt;
        item = item * 10 + (c - '0');
    }
    if (item < 1 || item > limits.items) return std::nullopt;
    result.item = item;
    if (parts[3] == farm_wire::kProgressTopic) return result.kind = TopicKind::Progress, result;
    if (parts[3] == farm_wire::kThumbnailTopic) return result.kind = TopicKind::Thumbnail, result;
    return std::nullopt;
}

Parsed ParsePayload(const Topic& topic, std::string_view payload, const Limits& limits) {
    if (payload.empty()) {
        if (topic.kind == TopicKind::Events) return DropReason::Invalid;
        return Message(Cleared{});
    }
    if (topic.kind == TopicKind::Thumbnail) {
        if (payload.size() > limits.thumbnailBytes) return DropReason::Oversized;
        if (!LooksLikeJpeg(payload)) return DropReason::Invalid;
        return Message(Thumbnail{std::string(payload)});
    }
    if (payload.size() > limits.jsonBytes) return DropReason::Oversized;
    if (!NestingWithin(payload, limits.depth)) return DropReason::Malformed;
    Json json = Json::parse(payload.begin(), payload.end(), nullptr, false);
    if (json.is_discarded()) return DropReason::Malformed;
    try {
        Reader in(json, limits);
        // A schema this service does not read may have renamed what it reads: refused, and counted.
        if (in.Int("schema") != farm_wire::kSchema) return DropReason::Invalid;
        // A machine speaks only for itself: its name in the payload is the one in its topic.
        if (in.Text("machine", limits.machineNameBytes) != topic.machine) return DropReason::Invalid;
        switch (topic.kind) {
            case TopicKind::Status: return Message(ReadStatus(in, limits));
            case TopicKind::Job: return Message(ReadJob(in, limits));
            case TopicKind::Events: return Message(ReadEvent(in, limits));
            case TopicKind::Progress: return Message(ReadProgress(in, topic, limits));
            case TopicKind::Thumbnail: break;
        }
    } catch (const Invalid&) {
    } catch (const Json::exception&) {
    }
    return DropReason::Invalid;
}

}  // namespace dashboard
