// One finished frame of an item with two file-based output modules, followed by a listener that
// reads every frame property and every property of both modules, against the bare host
// file-system calls that those properties come from.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "BenchHost.h"
#include "BenchJobs.h"
#include "BenchListeners.h"

namespace brevant_bench {
namespace {

constexpr int32_t kFramePluginId = 102;
constexpr int32_t kVolumeNameSelector = 2;
constexpr int32_t kLocalStorage = 0;
constexpr size_t kOutputFileBytes = 256 * 1024;

// The job's modules after the description flattened their paths, with a file of some size at
// each path, so that sizes and free space are asked of real files.
PreparedSession* PrepareTwoFiles(benchmark::State& state) {
    brevant_host::Job* job = CachedJob(kTwoFilesJob, TwoFilesJobText);
    PreparedSession* prepared = job ? Prepare(kTwoFilesJob, *job, true) : nullptr;
    if (!prepared) {
        state.SkipWithError("no session");
        return nullptr;
    }
    const HostOutputModuleList modules = HostRenderItemOutputModules(job->Item(0));
    const std::string bytes(kOutputFileBytes, 'x');
    for (uint64_t m = 0; m < modules.count; ++m) {
        HostString path;
        HostOutputModuleFilePath(modules.modules[m], path);
        std::ofstream(std::string(path.begin(), path.end()), std::ios::binary) << bytes;
    }
    return prepared;
}

void BM_Frame_Brevant(benchmark::State& state) {
    PreparedSession* prepared = PrepareTwoFiles(state);
    if (!prepared) return;
    gQueriedModules = kTwoFilesModules;
    ListenerSet registered(kFramePluginId, 1, QueryingCallbacks());
    if (!registered.Registered()) return state.SkipWithError("registration refused");

    RQSession& session = *prepared->session;
    HostRenderQueue* queue = prepared->job->Queue();
    HostFrameUpdate* update = &prepared->frame->update;
    gQueryTally = QueryTally{};
    const AllocationMeter allocations;
    for (auto _ : state) session.RenderItemUpdate(queue, update);
    allocations.Report(state);
    state.counters["pairs/frame"] =
        benchmark::Counter(static_cast<double>(gQueryTally.pairs), benchmark::Counter::kAvgIterations);
    if (gQueryTally.failures > 0 || gQueryTally.pairs == 0) state.SkipWithError("a query failed");
}
BENCHMARK(BM_Frame_Brevant);

void BM_Frame_HostFileCalls(benchmark::State& state) {
    PreparedSession* prepared = PrepareTwoFiles(state);
    if (!prepared) return;
    const HostOutputModuleList modules = HostRenderItemOutputModules(prepared->job->Item(0));
    uint64_t failures = 0;
    const AllocationMeter allocations;
    for (auto _ : state) {
        for (uint64_t m = 0; m < modules.count; ++m) {
            HostString path;
            HostOutputModuleFilePath(modules.modules[m], path);
            HostFileSpec* volumeQuery = HostFileSpecNew(path);
            char disk[260];
            failures += HostFileSpecName(volumeQuery, kVolumeNameSelector, disk) != kHostErrNone;
            HostFileSpecDispose(volumeQuery);
            const HostFile file(path, kLocalStorage);
            benchmark::DoNotOptimize(HostVolumeFreeSpace(HostFileFullPath(file)));
            benchmark::DoNotOptimize(HostFileSize(file));
        }
    }
    allocations.Report(state);
    if (failures > 0) state.SkipWithError("a volume name failed");
}
BENCHMARK(BM_Frame_HostFileCalls);

}  // namespace
}  // namespace brevant_bench
