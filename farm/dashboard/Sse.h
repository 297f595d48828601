// Server-Sent Events framing, the one place that writes it: what the event stream's clients read.
#pragma once

#include <string>
#include <string_view>

namespace dashboard {

// "event: NAME\ndata: JSON\n\n". `json` is one line (nlohmann's dump writes no line feed).
// An event written in parts (a large one whose middle several viewers share) is SseEventHead,
// the JSON, then kSseEventEnd.
inline std::string SseEventHead(std::string_view name) { return std::string("event: ").append(name).append("\ndata: "); }
constexpr std::string_view kSseEventEnd = "\n\n";
inline std::string SseEvent(std::string_view name, std::string_view json) {
    std::string frame = SseEventHead(name);
    frame.reserve(frame.size() + json.size() + kSseEventEnd.size());
    return frame.append(json).append(kSseEventEnd);
}

// Tells the browser to reconnect after `milliseconds` when the stream breaks.
inline std::string SseRetry(int milliseconds) { return "retry: " + std::to_string(milliseconds) + "\n\n"; }

// A comment line: keeps an idle connection open through proxies; clients ignore it.
constexpr std::string_view kSseKeepAlive = ": keepalive\n\n";

}  // namespace dashboard
