// What every benchmark stands on: libbrevant loaded by the stand-in host once for the whole
// run, its suites, jobs parsed once, and one prepared session at a time (the plug-in serves
// queries only for the session the host started last). Everything here is [main-thread]: the
// benchmarks run on the thread that called Start.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/core/StandInHost.h"
#include "host/simulator/Job.h"
#include <brevant/listener.h>
#include "session/RQSession.h"
#include <brevant/monitor.h>

namespace brevant_bench {

class PluginHost {
public:
    // Resets the host, turns its log off (HostLog then returns before formatting), loads the
    // plug-in and acquires the monitor, provider and memory suites, held until Stop.
    static bool Start(std::string* error);
    // Drops the prepared session, releases the suites, runs the death hooks and removes the
    // output directory. Returns the host's leak report.
    static std::vector<std::string> Stop();

    static const BrevantMonitorSuite1& Monitor();
    static const BrevantProviderSuite1& Provider();
    static const HostMemorySuite1& Memory();
    // A directory of this process for the files that file-based output modules name.
    static const std::string& OutputDirectory();
};

// `count` listeners of one plug-in id (refcons 1 to count) sharing one table, registered for the
// object's lifetime.
class ListenerSet {
public:
    ListenerSet(int32_t pluginId, size_t count, const ListenerCallbacks& callbacks);
    ~ListenerSet();
    ListenerSet(const ListenerSet&) = delete;
    ListenerSet& operator=(const ListenerSet&) = delete;

    // False when the plug-in refused a registration.
    bool Registered() const { return registered_; }

private:
    int32_t pluginId_;
    size_t count_;
    bool registered_ = true;
};

// A job file parsed on first use and kept for the run, by name. Null when the text is refused.
brevant_host::Job* CachedJob(const std::string& name, const std::function<std::string()>& text);

// A session of a job as the host drives it: described, optionally with its first item started
// and that item's first frame drawn and ready to report as done (update status 3).
struct PreparedSession {
    std::string jobName;
    bool itemStarted = false;
    brevant_host::Job* job = nullptr;
    std::shared_ptr<RQSession> session;
    int64_t sessionId = -1;
    std::unique_ptr<brevant_host::FrameRecord> frame;
};

// The prepared session of `jobName`, reused while it is still the plug-in's current session;
// otherwise the previous one is dropped first (listeners registered then hear its JobEnd, so
// benchmarks prepare before they register). Null when the job or the session failed.
PreparedSession* Prepare(const std::string& jobName, brevant_host::Job& job, bool startFirstItem);
// Drops the prepared session, so that the next Prepare starts a fresh one.
void DropPreparedSession();

// The session id that the plug-in relayed in the JobBegin of the last description.
int64_t DescribeAndCaptureId(RQSession& session, brevant_host::Job& job);

// Resident size of the process from /proc/self/status, in KiB; -1 where unknown.
struct ResidentMemory {
    int64_t residentKiB = -1;  // VmRSS
    int64_t peakKiB = -1;      // VmHWM, since the start or the last ResetPeakResident
};
ResidentMemory ReadResidentMemory();
// Makes the kernel restart the peak (VmHWM) from the current resident size. False where the
// kernel refuses, and then the peak is the process's since its start.
bool ResetPeakResident();

}  // namespace brevant_bench
