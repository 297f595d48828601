// One finished-frame event (RenderItemUpdate, status 3) fanned out to N listeners whose
// callback does next to nothing, against the two ways a host could do the same: a loop of
// direct calls through the same function pointers, which no relay can beat, and a
// Boost.Signals2 signal with one slot per listener.
#include <benchmark/benchmark.h>

#include <boost/signals2/signal.hpp>
#include <vector>

#include "AllocationCounter.h"
#include "BenchHost.h"
#include "BenchJobs.h"
#include "BenchListeners.h"

namespace brevant_bench {
namespace {

constexpr int32_t kFanOutPluginId = 100;
constexpr int64_t kSessionId = 1;
constexpr int64_t kItemId = 1;
constexpr int64_t kFrameId = 1;

void ListenerCounts(benchmark::internal::Benchmark* benchmark) {
    for (int64_t listeners : {0, 1, 8, 64, 1000}) benchmark->Arg(listeners);
    benchmark->ArgName("listeners");
}

void BM_FanOut_Brevant(benchmark::State& state) {
    const auto listeners = static_cast<size_t>(state.range(0));
    brevant_host::Job* job = CachedJob(kFanOutJob, FanOutJobText);
    PreparedSession* prepared = job ? Prepare(kFanOutJob, *job, true) : nullptr;
    if (!prepared) return state.SkipWithError("no session");
    ListenerSet registered(kFanOutPluginId, listeners, TrivialCallbacks());
    if (!registered.Registered()) return state.SkipWithError("registration refused");

    RQSession& session = *prepared->session;
    HostRenderQueue* queue = prepared->job->Queue();
    HostFrameUpdate* update = &prepared->frame->update;
    const uint64_t callsBefore = gTrivialCalls;
    const AllocationMeter allocations;
    for (auto _ : state) session.RenderItemUpdate(queue, update);
    allocations.Report(state);
    if (gTrivialCalls - callsBefore != static_cast<uint64_t>(state.iterations()) * listeners) {
        state.SkipWithError("not every listener was called once per event");
    }
}
BENCHMARK(BM_FanOut_Brevant)->Apply(ListenerCounts);

// What the registry holds per listener, walked in the same way, minus everything else.
struct DirectListener {
    int32_t pluginId;
    uint64_t refcon;
    ListenerCallbacks callbacks;
};

void BM_FanOut_DirectLoop(benchmark::State& state) {
    const auto listeners = static_cast<size_t>(state.range(0));
    std::vector<DirectListener> table;
    for (size_t refcon = 1; refcon <= listeners; ++refcon) table.push_back({kFanOutPluginId, refcon, TrivialCallbacks()});
    const HostBasicSuite* basic = brevant_host::BasicSuite();
    benchmark::DoNotOptimize(table.data());

    const uint64_t callsBefore = gTrivialCalls;
    const AllocationMeter allocations;
    for (auto _ : state) {
        for (const DirectListener& listener : table) {
            const ListenerBasicData data{basic, listener.pluginId, 0, listener.refcon};
            if (listener.callbacks.JobItemUpdate) listener.callbacks.JobItemUpdate(&data, kSessionId, kItemId, kFrameId);
        }
        benchmark::ClobberMemory();
    }
    allocations.Report(state);
    if (gTrivialCalls - callsBefore != static_cast<uint64_t>(state.iterations()) * listeners) {
        state.SkipWithError("not every call was made");
    }
}
BENCHMARK(BM_FanOut_DirectLoop)->Apply(ListenerCounts);

// A slot carries what the registry entry carries: the callback and the listener's data.
struct UpdateSlot {
    ListenerJobItemUpdateFunc update;
    ListenerBasicData data;
    void operator()(int64_t sessionId, int64_t itemId, int64_t frameId) const {
        update(&data, sessionId, itemId, frameId);
    }
};

void BM_FanOut_Signals2(benchmark::State& state) {
    const auto listeners = static_cast<size_t>(state.range(0));
    boost::signals2::signal<void(int64_t, int64_t, int64_t)> frameDone;
    const HostBasicSuite* basic = brevant_host::BasicSuite();
    for (size_t refcon = 1; refcon <= listeners; ++refcon) {
        frameDone.connect(UpdateSlot{TrivialCallbacks().JobItemUpdate, ListenerBasicData{basic, kFanOutPluginId, 0, refcon}});
    }

    const uint64_t callsBefore = gTrivialCalls;
    const AllocationMeter allocations;
    for (auto _ : state) frameDone(kSessionId, kItemId, kFrameId);
    allocations.Report(state);
    if (gTrivialCalls - callsBefore != static_cast<uint64_t>(state.iterations()) * listeners) {
        state.SkipWithError("not every slot was called");
    }
}
BENCHMARK(BM_FanOut_Signals2)->Apply(ListenerCounts);

}  // namespace
}  // namespace brevant_bench
