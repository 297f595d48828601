// The farm publisher's cost on the host's main thread per finished frame (its listener reads the
// frame and both output modules and hands a progress message and an event to its outbox), with
// the broker up, hung (its process stopped with SIGSTOP: connections accepted, nothing read) and
// stopped (no listener on the port). The three should cost the same: the network is the link
// thread's business. CPU time is the benchmark thread's own, so the link thread's work is not in it.
//
// The publisher stays registered with Brevant once loaded, so these run last: this file is linked
// after every other benchmark's (bench/CMakeLists.txt), and registration follows the link order.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "BenchHost.h"
#include "BenchJobs.h"
#include "FarmBroker.h"

namespace brevant_bench {
namespace {

constexpr int64_t kFarmFrames = 1000000;

// The broker and the publisher, loaded once when the first of these benchmarks runs; the
// publisher's death hook runs with the others when the host stops.
struct FarmBench {
    TempDir dir;
    Broker broker{dir};
    brevant_host::LoadedPlugin publisher;
    bool loaded = false;

    FarmBench() {
        const std::string address = "127.0.0.1:" + std::to_string(broker.port());
        ::setenv("BREVANT_FARM_BROKER", address.c_str(), 1);
        ::setenv("BREVANT_FARM_MACHINE", "bench", 1);
        ::setenv("BREVANT_FARM_THUMB_SECONDS", "0", 1);
        ::setenv("BREVANT_FARM_SHUTDOWN_WAIT_MS", "200", 1);
        std::string error;
        loaded = brevant_host::LoadPlugin(FARM_PUBLISHER_PATH, &publisher, &error) && publisher.entryResult == 0;
        // Connected, and the first messages through, before anything is measured.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
};

FarmBench& Farm() {
    static FarmBench* farm = new FarmBench();  // lives for the run; its broker is killed at exit
    static const bool cleanup = (std::atexit([] { delete farm; }), true);
    (void)cleanup;
    return *farm;
}

enum BrokerState { kUp = 0, kHung = 1, kStopped = 2 };

void BM_FarmFrame(benchmark::State& state) {
    FarmBench& farm = Farm();
    if (!farm.loaded) return state.SkipWithError("the farm publisher did not load");
    switch (state.range(0)) {
        case kHung: farm.broker.Pause(); break;
        case kStopped: farm.broker.Kill(); break;
        default: break;
    }
    brevant_host::Job* job = CachedJob(SoakJobName(kFarmFrames), [] { return SoakJobText(kFarmFrames); });
    PreparedSession* prepared = job ? Prepare(SoakJobName(kFarmFrames), *job, true) : nullptr;
    if (!prepared) return state.SkipWithError("no session");
    RQSession& session = *prepared->session;
    HostRenderQueue* queue = prepared->job->Queue();
    HostFrameUpdate* update = &prepared->frame->update;
    for (auto _ : state) session.RenderItemUpdate(queue, update);
}
// Up, then hung, then stopped: each state follows from the one before.
BENCHMARK(BM_FarmFrame)->ArgName("broker")->Arg(kUp)->Arg(kHung)->Arg(kStopped);

}  // namespace
}  // namespace brevant_bench
