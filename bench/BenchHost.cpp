#include "BenchHost.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace brevant_bench {
namespace {

constexpr int32_t kProbePluginId = 900;

struct HostState {
    bool started = false;
    brevant_host::LoadedPlugin plugin;
    const BrevantMonitorSuite1* monitor = nullptr;
    const BrevantProviderSuite1* provider = nullptr;
    const HostMemorySuite1* memory = nullptr;
    std::string outputDirectory;
    std::map<std::string, std::unique_ptr<brevant_host::Job>> jobs;
    std::unique_ptr<PreparedSession> prepared;
};

HostState& State() {
    static HostState state;
    return state;
}

int64_t gProbedSessionId = -1;

HostErr ProbeJobBegin(const ListenerBasicData*, int64_t sessionId) {
    gProbedSessionId = sessionId;
    return kHostErrNone;
}

const void* Acquire(const char* name, int32_t version) {
    const void* table = nullptr;
    return brevant_host::BasicSuite()->AcquireSuite(name, version, &table) == kHostErrNone ? table : nullptr;
}

bool IsCurrent(int64_t sessionId) {
    int32_t count = 0;
    return State().monitor->Brevant_GetNumJobItems(sessionId, &count) == kBrevantErrNone;
}

}  // namespace

bool PluginHost::Start(std::string* error) {
    HostState& state = State();
    if (state.started) return true;
    brevant_host::ResetHost();
    brevant_host::SetMainThread();
    brevant_host::SetLogSink(brevant_host::LogSink::Off);
    if (!brevant_host::LoadPlugin(BREVANT_PLUGIN_PATH, &state.plugin, error)) return false;
    if (state.plugin.entryResult != kHostErrNone) {
        *error = "BrevantMain answered " + std::to_string(state.plugin.entryResult);
        return false;
    }
    state.monitor = static_cast<const BrevantMonitorSuite1*>(Acquire(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion));
    state.provider =
        static_cast<const BrevantProviderSuite1*>(Acquire(kBrevantProviderSuite, kBrevantProviderSuiteVersion));
    state.memory = static_cast<const HostMemorySuite1*>(Acquire(kHostMemorySuite, kHostMemorySuiteVersion));
    if (!state.monitor || !state.provider || !state.memory) {
        *error = "a suite of the plug-in or the host could not be acquired";
        return false;
    }
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("brevant-bench-" + std::to_string(::getpid()));
    std::error_code failure;
    std::filesystem::remove_all(directory, failure);
    std::filesystem::create_directories(directory, failure);
    if (failure) {
        *error = "cannot create " + directory.string() + ": " + failure.message();
        return false;
    }
    state.outputDirectory = directory.string();
    state.started = true;
    return true;
}

std::vector<std::string> PluginHost::Stop() {
    HostState& state = State();
    if (!state.started) return {};
    DropPreparedSession();
    state.jobs.clear();
    const HostBasicSuite* basic = brevant_host::BasicSuite();
    basic->ReleaseSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion);
    basic->ReleaseSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion);
    basic->ReleaseSuite(kHostMemorySuite, kHostMemorySuiteVersion);
    brevant_host::RunDeathHooks();
    std::error_code ignored;
    std::filesystem::remove_all(state.outputDirectory, ignored);
    state.started = false;
    return brevant_host::LeakReport();
}

const BrevantMonitorSuite1& PluginHost::Monitor() { return *State().monitor; }
const BrevantProviderSuite1& PluginHost::Provider() { return *State().provider; }
const HostMemorySuite1& PluginHost::Memory() { return *State().memory; }
const std::string& PluginHost::OutputDirectory() { return State().outputDirectory; }

ListenerSet::ListenerSet(int32_t pluginId, size_t count, const ListenerCallbacks& callbacks)
    : pluginId_(pluginId), count_(count) {
    for (size_t refcon = 1; refcon <= count_; ++refcon) {
        if (PluginHost::Monitor().Brevant_RegisterListener(pluginId_, refcon, &callbacks) != kBrevantErrNone) {
            registered_ = false;
        }
    }
}

ListenerSet::~ListenerSet() {
    for (size_t refcon = 1; refcon <= count_; ++refcon) PluginHost::Monitor().Brevant_DeregisterListener(pluginId_, refcon);
}

brevant_host::Job* CachedJob(const std::string& name, const std::function<std::string()>& text) {
    auto& jobs = State().jobs;
    auto found = jobs.find(name);
    if (found != jobs.end()) return found->second.get();
    std::string error;
    std::unique_ptr<brevant_host::Job> job = brevant_host::ParseJob(text(), name + ".json", &error);
    if (!job) {
        std::fprintf(stderr, "brevant_bench: job %s refused: %s\n", name.c_str(), error.c_str());
        return nullptr;
    }
    job->SetBaseDirectory(State().outputDirectory);
    return (jobs[name] = std::move(job)).get();
}

int64_t DescribeAndCaptureId(RQSession& session, brevant_host::Job& job) {
    ListenerCallbacks probe{};
    probe.JobBegin = ProbeJobBegin;
    ListenerSet probes(kProbePluginId, 1, probe);
    gProbedSessionId = -1;
    session.DescribeBegin(job.ProjectNameUtf16());
    for (int32_t i = 0; i < job.ItemCount(); ++i) session.DescribeAddItem(i, *job.Item(i));
    session.DescribeEnd();
    return gProbedSessionId;
}

PreparedSession* Prepare(const std::string& jobName, brevant_host::Job& job, bool startFirstItem) {
    HostState& state = State();
    if (state.prepared && state.prepared->jobName == jobName && state.prepared->itemStarted == startFirstItem &&
        IsCurrent(state.prepared->sessionId)) {
        return state.prepared.get();
    }
    DropPreparedSession();
    auto prepared = std::make_unique<PreparedSession>();
    prepared->jobName = jobName;
    prepared->itemStarted = startFirstItem;
    prepared->job = &job;
    if (PluginHost::Provider().Brevant_StartSession(&prepared->session) != kHostErrNone) return nullptr;
    try {
        prepared->sessionId = DescribeAndCaptureId(*prepared->session, job);
        if (startFirstItem) {
            prepared->frame = std::make_unique<brevant_host::FrameRecord>();
            job.StartItemClock(0);
            prepared->session->RenderItemStart(nullptr);
            if (!job.PrepareFrame(0, 1, kHostUpdateStatusFrameDone, *prepared->frame)) return nullptr;
        }
    } catch (int32_t code) {
        std::fprintf(stderr, "brevant_bench: preparing %s: session operation threw %d\n", jobName.c_str(), code);
        return nullptr;
    }
    if (prepared->sessionId < 0) return nullptr;
    state.prepared = std::move(prepared);
    return state.prepared.get();
}

void DropPreparedSession() { State().prepared.reset(); }

ResidentMemory ReadResidentMemory() {
    ResidentMemory memory;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        long long kib = 0;
        if (std::sscanf(line.c_str(), "VmRSS: %lld kB", &kib) == 1) memory.residentKiB = kib;
        if (std::sscanf(line.c_str(), "VmHWM: %lld kB", &kib) == 1) memory.peakKiB = kib;
    }
    return memory;
}

bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

}  // namespace brevant_bench
