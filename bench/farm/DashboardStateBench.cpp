// brevant-dashboard's farm state at 10,000 machines, in process: what a viewer's snapshot costs
// once the tiles are cached, against building every tile's JSON for it; what a progress message,
// a flush, the summary and /metrics cost, and how long a scrape holds up the broker's messages. The service's end-to-end latency under a real broker is
// dashboard_bench.py's.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "farm/dashboard/EventHub.h"
#include "farm/dashboard/FarmState.h"
#include "farm/dashboard/History.h"
#include "farm/dashboard/Notifier.h"
#include "farm/dashboard/Views.h"

namespace dashboard {
namespace {

using Json = nlohmann::json;

constexpr int kMachines = 10000;

std::string Name(int machine) {
    char name[16];
    std::snprintf(name, sizeof name, "rn-%05d", machine);
    return name;
}

std::string Message(const std::string& machine, Json fields) {
    Json message = {{"schema", 1}, {"machine", machine}, {"time", "2026-12-01T10:00:00.000Z"}, {"ts", 5}};
    message.update(fields);
    return message.dump();
}

std::string Progress(const std::string& machine, int64_t done) {
    return Message(machine, {{"session", 1}, {"item", 1}, {"frameId", done}, {"framesDone", done}, {"framesTotal", 240},
                             {"elapsedMs", done * 500}, {"remainingMs", (240 - done) * 500}, {"fps", 2.0},
                             {"outputs", {{{"path", "/renders/" + machine + "/out_[####].exr"}, {"disk", "/renders"},
                                           {"bytes", done * 1000000}, {"projectedBytes", 240000000},
                                           {"freeBytes", int64_t{1} << 40}, {"willFill", false}}}}});
}

// A farm of 10,000 machines rendering one of 40 projects, two items each, flushed once.
struct Farm {
    std::string db = (std::filesystem::temp_directory_path() / ("brevant-dashboard-bench-" + std::to_string(::getpid()) + ".db")).string();
    EventHub hub{5000, 10000, 64 << 20};
    Notifier notifier{{}, WebhookPolicy{}};
    std::unique_ptr<History> history = std::make_unique<History>(db);
    std::unique_ptr<FarmState> farm;

    Farm() {
        FarmOptions options;
        options.prefix = "p";
        farm = std::make_unique<FarmState>(options, hub, notifier, *history);
        for (int i = 0; i < kMachines; ++i) {
            const std::string name = Name(i);
            farm->OnMessage("p/" + name + "/status", Message(name, {{"state", "online"}, {"startedAt", "2026-12-01T09:00:00.000Z"}}));
            farm->OnMessage("p/" + name + "/job",
                            Message(name, {{"session", 1}, {"state", "rendering"}, {"project", "shot_" + std::to_string(i % 40) + ".aep"},
                                           {"startedAt", "2026-12-01T10:00:00.000Z"},
                                           {"items", {{{"item", 1}, {"name", "Comp 1"}, {"state", "rendering"}},
                                                      {{"item", 2}, {"name", "Comp 2"}, {"state", "queued"}}}}}));
            farm->OnMessage("p/" + name + "/items/1/progress", Progress(name, 120));
        }
        farm->Flush();
    }
    ~Farm() {
        farm.reset();
        history.reset();
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
    }
};

Farm& TheFarm() {
    static Farm farm;
    return farm;
}

// A viewer attaching (and leaving): its snapshot shares the tiles' frame of the last flush.
void BM_Dashboard_Attach10k(benchmark::State& state) {
    Farm& f = TheFarm();
    for (auto _ : state) {
        auto client = f.farm->Attach({{Name(42)}, ""}, [] {});
        f.hub.Detach(client);
    }
    state.SetLabel("10,000 tiles, one machine open");
}
BENCHMARK(BM_Dashboard_Attach10k)->Unit(benchmark::kMicrosecond);

// The reference: every tile's JSON built and written for one viewer, as without the cache.
void BM_Dashboard_TilesBuilt10k(benchmark::State& state) {
    Farm& f = TheFarm();
    for (auto _ : state) benchmark::DoNotOptimize(Dump(f.farm->Tiles()));
}
BENCHMARK(BM_Dashboard_TilesBuilt10k)->Unit(benchmark::kMillisecond);

// One progress message of a machine nobody has open, with 100 viewers attached.
void BM_Dashboard_ProgressUnwatched(benchmark::State& state) {
    Farm& f = TheFarm();
    std::vector<std::shared_ptr<EventHub::Client>> viewers;
    for (int i = 0; i < 100; ++i) viewers.push_back(f.farm->Attach({}, [] {}));
    const std::string name = Name(7), topic = "p/" + name + "/items/1/progress";
    std::string messages[2] = {Progress(name, 121), Progress(name, 122)};
    int64_t n = 0;
    for (auto _ : state) f.farm->OnMessage(topic, messages[n++ & 1]);
    for (auto& viewer : viewers) f.hub.Detach(viewer);
    f.farm->Flush();
}
BENCHMARK(BM_Dashboard_ProgressUnwatched)->Unit(benchmark::kMicrosecond);

// One flush after a quarter of the machines sent a frame (each at 1 frame per second, flushed 4
// times a second), to 100 viewers.
void BM_Dashboard_Flush2500Of10k(benchmark::State& state) {
    Farm& f = TheFarm();
    std::vector<std::shared_ptr<EventHub::Client>> viewers;
    for (int i = 0; i < 100; ++i) viewers.push_back(f.farm->Attach({}, [] {}));
    std::vector<std::pair<std::string, std::string>> frames;
    for (int i = 0; i < kMachines; i += 4) frames.emplace_back("p/" + Name(i) + "/items/1/progress", Progress(Name(i), 130));
    std::vector<Frame> taken;
    for (auto _ : state) {
        state.PauseTiming();
        for (auto& frame : frames) f.farm->OnMessage(frame.first, frame.second);
        state.ResumeTiming();
        f.farm->Flush();
        state.PauseTiming();
        for (auto& viewer : viewers) f.hub.Take(*viewer, taken);
        state.ResumeTiming();
    }
    for (auto& viewer : viewers) f.hub.Detach(viewer);
}
BENCHMARK(BM_Dashboard_Flush2500Of10k)->Unit(benchmark::kMillisecond);

void BM_Dashboard_Summary10k(benchmark::State& state) {
    Farm& f = TheFarm();
    for (auto _ : state) benchmark::DoNotOptimize(Dump(f.farm->Summary()));
}
BENCHMARK(BM_Dashboard_Summary10k)->Unit(benchmark::kMillisecond);

// A scrape of /metrics: its series and bytes are counted, and its text is written to the file
// that BREVANT_METRICS_TEXT names, for `promtool check metrics`.
void BM_Dashboard_Metrics10k(benchmark::State& state) {
    Farm& f = TheFarm();
    std::string text;
    for (auto _ : state) {
        text = f.farm->Metrics();
        benchmark::DoNotOptimize(text);
    }
    int64_t series = 0;  // the lines that are not # HELP or # TYPE
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) series += !line.empty() && line[0] != '#';
    state.counters["series"] = static_cast<double>(series);
    state.counters["bytes"] = static_cast<double>(text.size());
    if (const char* path = std::getenv("BREVANT_METRICS_TEXT")) std::ofstream(path) << text;
}
BENCHMARK(BM_Dashboard_Metrics10k)->Unit(benchmark::kMillisecond);

// The MQTT thread's wait while /metrics is scraped: a progress message every millisecond while
// another thread scrapes, one scrape every 50 ms (the farm's lock is taken by both). The wall time
// of each message is its wait for the lock plus its own 13 µs; p50, p99 and the longest in ms.
void BM_Dashboard_ProgressWhileScraped(benchmark::State& state) {
    Farm& f = TheFarm();
    std::atomic<bool> stop{false};
    std::atomic<int> scrapes{0};
    std::thread scraper([&] {
        while (!stop) {
            benchmark::DoNotOptimize(f.farm->Metrics());
            ++scrapes;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const std::string name = Name(9), topic = "p/" + name + "/items/1/progress";
    std::string messages[2] = {Progress(name, 121), Progress(name, 122)};
    std::vector<double> waits;
    int64_t n = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        f.farm->OnMessage(topic, messages[n++ & 1]);
        waits.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state.ResumeTiming();
    }
    stop = true;
    scraper.join();
    std::sort(waits.begin(), waits.end());
    state.counters["p50_ms"] = waits[waits.size() / 2];
    state.counters["p99_ms"] = waits[waits.size() * 99 / 100];
    state.counters["max_ms"] = waits.back();
    state.counters["scrapes"] = scrapes.load();
    f.farm->Flush();
}
BENCHMARK(BM_Dashboard_ProgressWhileScraped)->Iterations(5000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace dashboard

BENCHMARK_MAIN();
