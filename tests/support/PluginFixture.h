// The host, for tests: at the end, a held suite, a live handle or a plug-in object left fails.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/core/StandInHost.h"
#include "host/simulator/RenderDriver.h"
#include <brevant/listener.h>
#include "session/RQSession.h"
#include <brevant/monitor.h>

namespace brevant_test {

// One tag's lines as "function: message"; with no tag, all as "[tag] function: message".
std::vector<std::string> LinesOf(const std::string& tag = "");
bool HasLine(const std::string& tag, const std::string& function, const std::string& message);

// UTF-8 of a string handle; the handle is freed.
std::string TakeString(HostMemoryHandle handle);
std::string Utf8(const HostString& text);

// A job file given inline; null, and a failure naming the parse error, when it does not parse.
std::unique_ptr<brevant_host::Job> MakeJob(const std::string& json);
// A finished frame's update record, as the host sends it.
HostFrameUpdate FrameDone(int32_t frameId, int32_t elapsed = 0, int32_t framesTotal = 0);

// A key/value list of the monitor suite; `args` (session id, item id, ...) precede count or index.
using Pairs = std::vector<std::pair<std::string, std::string>>;
template <typename Count, typename Read, typename... Args>
Pairs ReadPairs(Count count, Read read, Args... args) {
    int32_t n = -1;
    if (count(args..., &n) != 0) return {{"<count failed>", ""}};
    Pairs pairs;
    for (int32_t i = 0; i < n; ++i) {
        HostMemoryHandle key = nullptr, value = nullptr;
        EXPECT_EQ(read(args..., i, &key, &value), 0);
        pairs.emplace_back(TakeString(key), TakeString(value));
    }
    return pairs;
}
std::vector<std::string> KeysOf(const Pairs& pairs);
std::string ValueOf(const Pairs& pairs, const std::string& key);

// Listener calls, recorded in order by the table AllCallbacks().
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
std::vector<ListenerEvent>& Events();
// "pluginId/refcon:Event" for every recorded call.
std::vector<std::string> EventTrace();
void ClearListeners();
using ListenerAction = std::function<void(const ListenerEvent&)>;
// Runs `action` inside every callback of listener (pluginId, refcon), after it was recorded.
void SetAction(int32_t pluginId, uint64_t refcon, ListenerAction action);
const ListenerCallbacks& AllCallbacks();

class PluginFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the plug-in (again) and fetches its suites (the tables stay usable after a stop:
    // the library is never unloaded).
    void StartPlugin();
    // Runs the death hooks, as the host does at shutdown.
    void StopPlugin();

    std::shared_ptr<RQSession> StartSession();
    // A session given DescribeBegin(name) and, with `end`, DescribeEnd (which raises JobBegin).
    std::shared_ptr<RQSession> BeginJob(const HostString& name = u"p", bool end = true);
    // The id of the session that was started last, from its creation line.
    static int64_t LastSessionId();

    brevant_host::LoadedPlugin plugin_;
    const BrevantMonitorSuite1* suite_ = nullptr;
    const BrevantProviderSuite1* provider_ = nullptr;
    bool suitesHeld_ = false;
};

}  // namespace brevant_test
