// How the session grows with the job: describing a job of 10 or 10,000 items, and a query
// about one item of either (a lookup of the item, so both should cost the same).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "AllocationCounter.h"
#include "BenchHost.h"
#include "BenchJobs.h"

namespace brevant_bench {
namespace {

void ItemCounts(benchmark::internal::Benchmark* benchmark) {
    for (int64_t items : {10, 10000}) benchmark->Arg(items);
    benchmark->ArgName("items");
}

brevant_host::Job* ManyItemsJob(int64_t items) {
    return CachedJob(ManyItemsJobName(items), [items] { return ManyItemsJobText(items); });
}

// The whole description of the job by a new session; dropping the session is not timed (nor
// counted: it only frees).
void BM_Describe(benchmark::State& state) {
    const int64_t items = state.range(0);
    brevant_host::Job* job = ManyItemsJob(items);
    if (!job) return state.SkipWithError("no job");
    DropPreparedSession();
    uint64_t failures = 0;
    const uint64_t allocationsBefore = AllocationCount();
    const uint64_t bytesBefore = AllocatedBytes();
    for (auto _ : state) {
        std::shared_ptr<RQSession> session;
        failures += PluginHost::Provider().Brevant_StartSession(&session) != kHostErrNone;
        if (!session) break;
        session->DescribeBegin(job->ProjectNameUtf16());
        for (int32_t i = 0; i < job->ItemCount(); ++i) session->DescribeAddItem(i, *job->Item(i));
        session->DescribeEnd();
        state.PauseTiming();
        session.reset();
        state.ResumeTiming();
    }
    const auto described = static_cast<double>(state.iterations() * items);
    state.SetItemsProcessed(state.iterations() * items);
    state.counters["allocs/item"] = static_cast<double>(AllocationCount() - allocationsBefore) / described;
    state.counters["bytes/item"] = static_cast<double>(AllocatedBytes() - bytesBefore) / described;
    if (failures > 0) state.SkipWithError("no session");
}
BENCHMARK(BM_Describe)->Apply(ItemCounts)->Unit(benchmark::kMicrosecond);

// Item ids drawn at random from the whole job, the same number of them for every job size, so
// that both sizes walk the same access pattern; or the job's middle item every time, as a
// client asking about the item being rendered does.
std::vector<int64_t> QueriedItemIds(int64_t items, bool random) {
    std::vector<int64_t> ids(16384, items / 2 + 1);
    if (random) {
        std::mt19937 generator(20240601);
        std::uniform_int_distribution<int64_t> id(1, items);
        for (int64_t& itemId : ids) itemId = id(generator);
    }
    return ids;
}

PreparedSession* PrepareManyItems(benchmark::State& state, int64_t items) {
    brevant_host::Job* job = ManyItemsJob(items);
    PreparedSession* prepared = job ? Prepare(ManyItemsJobName(items), *job, false) : nullptr;
    if (!prepared) state.SkipWithError("no session");
    return prepared;
}

// Operation 6: how many render settings an item has.
void RenderSettingCount(benchmark::State& state, bool randomItems) {
    PreparedSession* prepared = PrepareManyItems(state, state.range(0));
    if (!prepared) return;
    const std::vector<int64_t> ids = QueriedItemIds(state.range(0), randomItems);
    const BrevantMonitorSuite1& monitor = PluginHost::Monitor();
    const int64_t sessionId = prepared->sessionId;
    size_t next = 0;
    uint64_t failures = 0;
    const AllocationMeter allocations;
    for (auto _ : state) {
        int32_t count = 0;
        failures += monitor.Brevant_GetNumJobItemRenderSettings(sessionId, ids[next++ & (ids.size() - 1)], &count) !=
                    kBrevantErrNone;
        benchmark::DoNotOptimize(count);
    }
    allocations.Report(state);
    if (failures > 0) state.SkipWithError("a query was refused");
}

void BM_Query_RenderSettingCount(benchmark::State& state) { RenderSettingCount(state, true); }
BENCHMARK(BM_Query_RenderSettingCount)->Apply(ItemCounts);

void BM_Query_RenderSettingCountSameItem(benchmark::State& state) { RenderSettingCount(state, false); }
BENCHMARK(BM_Query_RenderSettingCountSameItem)->Apply(ItemCounts);

// Operation 7: an item's first render setting as two handles, freed by the caller.
void BM_Query_RenderSetting(benchmark::State& state) {
    PreparedSession* prepared = PrepareManyItems(state, state.range(0));
    if (!prepared) return;
    const std::vector<int64_t> ids = QueriedItemIds(state.range(0), true);
    const BrevantMonitorSuite1& monitor = PluginHost::Monitor();
    const HostMemorySuite1& memory = PluginHost::Memory();
    const int64_t sessionId = prepared->sessionId;
    size_t next = 0;
    uint64_t failures = 0;
    const AllocationMeter allocations;
    for (auto _ : state) {
        HostMemoryHandle key = nullptr, value = nullptr;
        failures += monitor.Brevant_GetJobItemRenderSetting(sessionId, ids[next++ & (ids.size() - 1)], 0, &key,
                                                            &value) != kBrevantErrNone;
        failures += memory.MemFree(key) != kHostErrNone;
        failures += memory.MemFree(value) != kHostErrNone;
    }
    allocations.Report(state);
    if (failures > 0) state.SkipWithError("a query was refused");
}
BENCHMARK(BM_Query_RenderSetting)->Apply(ItemCounts);

}  // namespace
}  // namespace brevant_bench
