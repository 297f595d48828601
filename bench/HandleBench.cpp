// A string handed to a client: Brevant_GetProjectName of a 512-code-unit project name (1 KiB of
// UTF-16 in a host memory handle) and the client's MemFree of it, against malloc, memcpy and free
// of the same bytes, and against the host's memory suite doing the same without Brevant.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "AllocationCounter.h"
#include "BenchHost.h"
#include "BenchJobs.h"

namespace brevant_bench {
namespace {

constexpr int32_t kBenchPluginId = 101;
// The bytes of the text and of the terminator that string handles carry.
constexpr size_t kTextBytes = kLongProjectNameUnits * sizeof(char16_t);
constexpr size_t kHandleBytes = kTextBytes + sizeof(char16_t);

void BM_Handle_Brevant(benchmark::State& state) {
    brevant_host::Job* job = CachedJob(kLongProjectJob, LongProjectJobText);
    PreparedSession* prepared = job ? Prepare(kLongProjectJob, *job, false) : nullptr;
    if (!prepared) return state.SkipWithError("no session");
    if (job->ProjectNameUtf16().size() != kLongProjectNameUnits) return state.SkipWithError("project name length");

    const BrevantMonitorSuite1& monitor = PluginHost::Monitor();
    const HostMemorySuite1& memory = PluginHost::Memory();
    const int64_t sessionId = prepared->sessionId;
    uint64_t failures = 0;
    const AllocationMeter allocations;
    for (auto _ : state) {
        HostMemoryHandle name = nullptr;
        failures += monitor.Brevant_GetProjectName(sessionId, &name) != kBrevantErrNone;
        failures += memory.MemFree(name) != kHostErrNone;
    }
    allocations.Report(state);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTextBytes));
    if (failures > 0) state.SkipWithError("a conversion or a free failed");
}
BENCHMARK(BM_Handle_Brevant);

void BM_Handle_MallocCopy(benchmark::State& state) {
    const HostString text(kLongProjectNameUnits, u'B');
    for (auto _ : state) {
        void* block = std::malloc(kHandleBytes);
        benchmark::DoNotOptimize(block);
        std::memcpy(block, text.data(), kTextBytes);
        benchmark::ClobberMemory();
        std::free(block);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTextBytes));
}
BENCHMARK(BM_Handle_MallocCopy);

// The floor of any string hand-off through the host's handles: create zero-filled, lock, copy,
// unlock, free.
void BM_Handle_HostMemorySuite(benchmark::State& state) {
    const HostString text(kLongProjectNameUnits, u'B');
    const HostMemorySuite1& memory = PluginHost::Memory();
    uint64_t failures = 0;
    for (auto _ : state) {
        HostMemoryHandle handle = nullptr;
        void* block = nullptr;
        failures += memory.MemCreate(kBenchPluginId, "bench string", kHandleBytes, kHostMemFlagClear, &handle) !=
                    kHostErrNone;
        failures += memory.MemLock(handle, &block) != kHostErrNone;
        if (block) std::memcpy(block, text.data(), kTextBytes);
        failures += memory.MemUnlock(handle) != kHostErrNone;
        failures += memory.MemFree(handle) != kHostErrNone;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTextBytes));
    if (failures > 0) state.SkipWithError("a memory-suite call failed");
}
BENCHMARK(BM_Handle_HostMemorySuite);

// What Brevant asks of the host around each conversion besides the memory calls: the memory
// suite's acquisition and release.
void BM_Handle_SuiteAcquireRelease(benchmark::State& state) {
    const HostBasicSuite* basic = brevant_host::BasicSuite();
    uint64_t failures = 0;
    for (auto _ : state) {
        const void* table = nullptr;
        failures += basic->AcquireSuite(kHostMemorySuite, kHostMemorySuiteVersion, &table) != kHostErrNone;
        benchmark::DoNotOptimize(table);
        failures += basic->ReleaseSuite(kHostMemorySuite, kHostMemorySuiteVersion) != kHostErrNone;
    }
    if (failures > 0) state.SkipWithError("the memory suite was refused");
}
BENCHMARK(BM_Handle_SuiteAcquireRelease);

}  // namespace
}  // namespace brevant_bench
