// A stand-in for Brevant's monitor suite, published in the stand-in host under "KOVA Brevant
// Suite" 1, so that the client plug-ins can be loaded and driven without libbrevant: the test
// decides what every query answers (and which ones fail), records what the clients register,
// and calls their callbacks directly.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <brevant/listener.h>
#include <brevant/monitor.h>

namespace clients_test {

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct FakeOutputModule {
    Pairs settings;
    std::vector<std::string> warnings;
    Pairs properties;  // answered only while an update is "in progress"
};

struct FakeItem {
    int64_t id = 0;
    Pairs renderSettings;
    std::vector<FakeOutputModule> outputModules;
};

struct FakeJob {
    int64_t session = 1;
    std::string projectName;
    std::string appVersion;
    std::vector<FakeItem> items;
    Pairs frameProperties;
    int64_t updateItem = 0;   // item and frame of the update in progress; 0: none
    int64_t updateFrame = 0;
    std::vector<uint8_t> thumbnail;
};

struct Registration {
    int32_t pluginId;
    uint64_t refcon;
    ListenerCallbacks callbacks;
};

struct FakeMonitorState {
    FakeJob job;
    std::vector<Registration> listeners;
    int registrations = 0;
    int deregistrations = 0;
    // Operation name ("Brevant_GetProjectName", ...) to the code it answers instead.
    std::map<std::string, HostErr> failures;
    // Fail the value half of key/value reads with this code after delivering the key.
    HostErr failValueWith = 0;
    std::vector<std::pair<int32_t, int32_t>> thumbnailLimits;  // as asked
};

FakeMonitorState& Fake();
// Clears the state and publishes the fake suite in the stand-in host (after ResetHost).
void PublishFakeMonitor();
// A string handle made as Brevant makes them; the caller frees it.
HostMemoryHandle MakeStringHandle(const std::string& ascii);
// Calls one callback of every registered listener, with the listener's basic data.
void RaiseJobBegin();
void RaiseJobEnd();
void RaiseItemStart(int64_t item);
void RaiseUpdate(int64_t item, int64_t frame);
void RaiseItemEnd(int64_t item, int32_t status);
void RaiseLog(int64_t item, uint8_t flag, const HostMemoryHandle* message);

}  // namespace clients_test
