// Test listeners: one callback table whose calls are recorded as text, with a per-listener
// action that runs inside the callback (throw, deregister someone, query the suite...).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <brevant/listener.h>

namespace brevant_test {

struct ListenerEvent {
    int32_t pluginId;
    uint64_t refcon;
    std::string event;  // "JobBegin", "JobItemUpdate", ...
    int64_t sessionId;
    int64_t itemId;
    int64_t frameId;     // JobItemUpdate
    int32_t status;      // JobItemEnd
    uint8_t flag;        // JobItemLog
    std::string text;    // JobItemLog: the message read from its handle during the callback
};

// Records every call of the test callbacks, process-wide, in order.
std::vector<ListenerEvent>& Events();
// "pluginId/refcon:Event" for every recorded call.
std::vector<std::string> EventTrace();
void ClearListeners();

using ListenerAction = std::function<void(const ListenerEvent&)>;
// Runs `action` inside every callback of listener (pluginId, refcon), after it was recorded.
void SetAction(int32_t pluginId, uint64_t refcon, ListenerAction action);

// The table with every slot set.
const ListenerCallbacks& AllCallbacks();

}  // namespace brevant_test
