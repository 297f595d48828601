// Every frame is one RenderItemUpdate (status 3) followed by a listener that reads all frame
// properties and all properties of both output modules and frees every handle. The modules
// write no file, so a frame costs the plug-in's work and not the file system's.
//
// Resident memory is read after the checkpoint (the first 10,000 frames, or half of a shorter
// soak) and at the end. The peak is restarted at the soak's start when the kernel allows it, so
// earlier benchmarks' peaks (the 3840 x 2160 frame, the 10,000-item jobs) do not hide growth.
#include "SoakBench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <limits>

#include "AllocationCounter.h"
#include "BenchHost.h"
#include "BenchJobs.h"
#include "BenchListeners.h"

namespace brevant_bench {
namespace {

constexpr int32_t kSoakPluginId = 104;

void BM_Soak(benchmark::State& state) {
    const int64_t frames = state.max_iterations;
    brevant_host::Job* job = CachedJob(SoakJobName(frames), [frames] { return SoakJobText(frames); });
    PreparedSession* prepared = job ? Prepare(SoakJobName(frames), *job, true) : nullptr;
    if (!prepared) return state.SkipWithError("no session");
    gQueriedModules = kSoakModules;
    ListenerSet registered(kSoakPluginId, 1, QueryingCallbacks());
    if (!registered.Registered()) return state.SkipWithError("registration refused");

    RQSession& session = *prepared->session;
    HostRenderQueue* queue = prepared->job->Queue();
    HostFrameUpdate& update = prepared->frame->update;
    const int64_t checkpoint = std::min(kSoakCheckpointFrames, std::max<int64_t>(1, frames / 2));
    const bool peakRestarted = ResetPeakResident();
    ResidentMemory atCheckpoint;
    gQueryTally = QueryTally{};
    int64_t frameId = 0;
    const AllocationMeter allocations;
    for (auto _ : state) {
        ++frameId;
        update.frameId = static_cast<int32_t>(frameId);
        update.elapsedTime = static_cast<int32_t>(std::min<int64_t>(frameId, std::numeric_limits<int32_t>::max()));
        session.RenderItemUpdate(queue, &update);
        if (frameId == checkpoint) atCheckpoint = ReadResidentMemory();
    }
    allocations.Report(state);
    const ResidentMemory atEnd = ReadResidentMemory();

    state.counters["checkpoint_frames"] = static_cast<double>(checkpoint);
    state.counters["peak_restarted"] = peakRestarted ? 1 : 0;
    state.counters["rss_checkpoint_KiB"] = static_cast<double>(atCheckpoint.residentKiB);
    state.counters["rss_end_KiB"] = static_cast<double>(atEnd.residentKiB);
    state.counters["peak_checkpoint_KiB"] = static_cast<double>(atCheckpoint.peakKiB);
    state.counters["peak_end_KiB"] = static_cast<double>(atEnd.peakKiB);
    // Without a restarted peak the process's peak says nothing about the soak: the resident
    // size is the measure then.
    const int64_t growth = peakRestarted ? atEnd.peakKiB - atCheckpoint.peakKiB
                                         : atEnd.residentKiB - atCheckpoint.residentKiB;
    state.counters["growth_KiB"] = static_cast<double>(growth);
    state.counters["pairs/frame"] =
        benchmark::Counter(static_cast<double>(gQueryTally.pairs), benchmark::Counter::kAvgIterations);
    if (gQueryTally.failures > 0 || gQueryTally.pairs == 0) state.SkipWithError("a query failed");
    if (atCheckpoint.residentKiB < 0 || atEnd.residentKiB < 0) state.SkipWithError("resident size unknown");
}

}  // namespace

void RegisterSoak(int64_t frames) {
    benchmark::RegisterBenchmark("BM_Soak", BM_Soak)
        ->Iterations(std::max<int64_t>(1, frames))
        ->Repetitions(1)
        ->Unit(benchmark::kNanosecond);
}

}  // namespace brevant_bench
