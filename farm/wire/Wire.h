// What both sides of the farm's wire agree on beside the payloads' shapes (those are
// farm.schema.json, beside this file): the schema number, the topic levels, the names of states,
// reasons and events, how a prefix and a machine name become topic levels, and how times are
// written. The publisher (a client plug-in, built against the SDK alone) and brevant-dashboard
// both include it; it depends on the C++ standard library only. Every function is pure and
// [any-thread].
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace farm_wire {

// The payloads' "schema". A field may be added without a new number (consumers ignore fields
// they do not know); a field renamed or removed needs a new number, which older consumers refuse.
// Each kind of message's QoS is part of the contract too (docs/mqtt-topics.md): consumers take
// any, so a per-frame message's may be lowered to 0 without a new number.
constexpr int kSchema = 1;

// PREFIX/MACHINE/status, .../job, .../events, .../items/ITEM/progress, .../items/ITEM/thumbnail.
constexpr std::string_view kStatusTopic = "status";
constexpr std::string_view kJobTopic = "job";
constexpr std::string_view kEventsTopic = "events";
constexpr std::string_view kItemsLevel = "items";
constexpr std::string_view kProgressTopic = "progress";
constexpr std::string_view kThumbnailTopic = "thumbnail";

// The status's "state" and "reason".
constexpr std::string_view kOnline = "online";
constexpr std::string_view kOffline = "offline";
constexpr std::string_view kReasonShutdown = "shutdown";  // the host ended cleanly
constexpr std::string_view kReasonLost = "lost";          // the last will: the broker lost us

// The job's "state".
constexpr std::string_view kJobRendering = "rendering";
constexpr std::string_view kJobEnded = "ended";

// An item's "state"; the last three are also a JobItemEnd's "status".
constexpr std::string_view kItemQueued = "queued";
constexpr std::string_view kItemRendering = "rendering";
constexpr std::string_view kItemNotStarted = "notStarted";  // still queued when the job ended
constexpr std::string_view kItemDone = "done";
constexpr std::string_view kItemStopped = "stopped";
constexpr std::string_view kItemFailed = "failed";

// An event's "event".
constexpr std::string_view kJobBegin = "JobBegin";
constexpr std::string_view kJobItemStart = "JobItemStart";
constexpr std::string_view kJobItemUpdate = "JobItemUpdate";
constexpr std::string_view kJobItemLog = "JobItemLog";
constexpr std::string_view kJobItemEnd = "JobItemEnd";
constexpr std::string_view kJobEnd = "JobEnd";

inline bool ItemEnded(std::string_view state) {
    return state == kItemDone || state == kItemStopped || state == kItemFailed;
}

// PREFIX/MACHINE/SUFFIX.
inline std::string Topic(std::string_view prefix, std::string_view machine, std::string_view suffix) {
    std::string topic;
    topic.reserve(prefix.size() + machine.size() + suffix.size() + 2);
    return topic.append(prefix).append(1, '/').append(machine).append(1, '/').append(suffix);
}

// "items/ITEM/LEAF", the suffix of an item's topics.
inline std::string ItemSuffix(int64_t item, std::string_view leaf) {
    return std::string(kItemsLevel).append(1, '/').append(std::to_string(item)).append(1, '/').append(leaf);
}

// A name as one topic level: '+', '#', '/' and control characters become '_'; empty becomes "_".
inline std::string TopicLevel(std::string_view name) {
    std::string level = name.empty() ? std::string("_") : std::string(name);
    for (char& c : level) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < ' ' || byte == 0x7F || c == '+' || c == '#' || c == '/') c = '_';
    }
    return level;
}

// A prefix is one or more topic levels: none empty, no wildcard, no control character.
inline bool ValidPrefix(std::string_view prefix) {
    if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != prefix.npos) {
        return false;
    }
    for (unsigned char c : prefix) {
        if (c < ' ' || c == 0x7F || c == '+' || c == '#') return false;
    }
    return true;
}

// Wall-clock microseconds since the Unix epoch: the payloads' "ts".
inline int64_t WallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "2026-12-07T11:02:03.123Z": ISO-8601 UTC with milliseconds, the payloads' times. Computed from
// the day count (proleptic Gregorian calendar), so it needs no time zone and no C library call
// that differs between platforms. `micros` is at or after the epoch.
inline std::string IsoTime(int64_t micros) {
    const int64_t millis = micros / 1000;
    const int64_t daySeconds = millis / 1000 % 86400;
    // Days to a civil date, counting 400-year eras from 0000-03-01.
    const int64_t days = millis / 86400000 + 719468;
    const int64_t era = days / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
    const int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(daySeconds / 3600),
                  static_cast<long long>(daySeconds / 60 % 60), static_cast<long long>(daySeconds % 60),
                  static_cast<long long>(millis % 1000));
    return text;
}

// The inverse of IsoTime: microseconds since the epoch of "YYYY-MM-DDTHH:MM:SS[.fff]Z", or
// nullopt for any other text.
inline std::optional<int64_t> IsoMicros(std::string_view text) {
    auto number = [&](size_t at, size_t digits) -> int64_t {
        int64_t value = 0;
        for (size_t i = at; i < at + digits; ++i) {
            if (i >= text.size() || text[i] < '0' || text[i] > '9') return -1;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text.back() != 'Z')
        return std::nullopt;
    const int64_t year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int64_t hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    int64_t millis = 0;
    if (text.size() == 24 && text[19] == '.') millis = number(20, 3);
    else if (text.size() != 20) return std::nullopt;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 60 || millis < 0)
        return std::nullopt;
    // A civil date to days, counting 400-year eras from 0000-03-01, as IsoTime does backwards.
    const int64_t y = year - (month <= 2 ? 1 : 0);
    const int64_t era = y / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t days = era * 146097 + dayOfEra - 719468;
    return ((days * 86400 + hour * 3600 + minute * 60 + second) * 1000 + millis) * 1000;
}

}  // namespace farm_wire
