// A test fixture that is the host: it loads libbrevant by path, calls its entry point, fetches
// its suites by name and version, records the log, and at the end runs the death hooks and
// fails the test if a suite is still held, a handle is still alive or the plug-in object was
// not destroyed.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/StandInHost.h"
#include <brevant/listener.h>
#include "session/RQSession.h"
#include <brevant/monitor.h>

namespace brevant_test {

// The log lines of one tag as "function: message"; with no tag, every line as
// "[tag] function: message".
std::vector<std::string> LinesOf(const std::string& tag = "");
bool HasLine(const std::string& tag, const std::string& function, const std::string& message);

// UTF-8 of a string handle; the handle is freed.
std::string TakeString(HostMemoryHandle handle);
std::string Utf8(const HostString& text);

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
    // The id of the session that was started last, from its creation line.
    static int64_t LastSessionId();

    brevant_host::LoadedPlugin plugin_;
    const BrevantMonitorSuite1* suite_ = nullptr;
    const BrevantProviderSuite1* provider_ = nullptr;
    bool suitesHeld_ = false;
};

}  // namespace brevant_test
