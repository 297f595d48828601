// Every callback belongs to a listener registered when its fan-out took its snapshot.
#include <atomic>
#include <thread>

#include "support/PluginFixture.h"

using namespace brevant_test;

namespace {

constexpr int kThreads = 4;
constexpr int kFrames = 100000;
constexpr uint64_t kRefconsPerThread = 1024;

// Orders registration steps on the workers against frame updates on the main thread.
std::atomic<uint64_t> gSequence{1};
struct RefconTimes {
    std::atomic<uint64_t> registerStarted{0};
    std::atomic<uint64_t> deregisterDone{0};
};
// Each callback's refcon and frame id; callbacks run on the main thread.
std::vector<std::pair<uint64_t, int64_t>> gCalls;

HostErr OnUpdate(const ListenerBasicData* data, int64_t, int64_t, int64_t frameId) {
    gCalls.emplace_back(data->refcon, frameId);
    return 0;
}

class StressTest : public PluginFixture {};

TEST_F(StressTest, RegistrationRacesRenderingSafely) {
    brevant_host::SetLogSink(brevant_host::LogSink::Off);
    std::vector<RefconTimes> times(kThreads * kRefconsPerThread);
    gCalls.clear();
    gCalls.reserve(1 << 20);

    auto session = BeginJob(u"stress");
    session->RenderItemStart(nullptr);

    std::atomic<bool> done{false};
    std::atomic<int> cycling{0};  // workers that have been through one whole cycle
    std::vector<std::thread> workers;
    const ListenerCallbacks table{nullptr, nullptr, nullptr, OnUpdate, nullptr, nullptr};
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            uint64_t next = t * kRefconsPerThread;
            const uint64_t end = next + kRefconsPerThread;
            while (!done.load() && next < end) {
                const uint64_t refcon = next++;
                times[refcon].registerStarted = gSequence++;
                EXPECT_EQ(suite_->Brevant_RegisterListener(100 + t, refcon, &table), 0);
                int32_t count = 0;
                suite_->Brevant_GetNumJobItems(0, &count);  // no such session, served off-thread
                std::this_thread::yield();
                EXPECT_EQ(suite_->Brevant_DeregisterListener(100 + t, refcon), 0);
                times[refcon].deregisterDone = gSequence++;
                if (next == t * kRefconsPerThread + 1) ++cycling;
            }
        });
    }

    // On a loaded machine the frames would otherwise all be rendered before a worker runs.
    while (cycling.load() < kThreads) std::this_thread::yield();

    std::vector<std::pair<uint64_t, uint64_t>> frameSpans(kFrames);
    for (int frame = 0; frame < kFrames; ++frame) {
        HostFrameUpdate update = FrameDone(frame + 1);
        const uint64_t before = gSequence++;
        session->RenderItemUpdate(nullptr, &update);
        frameSpans[frame] = {before, gSequence++};
    }
    done = true;
    for (auto& worker : workers) worker.join();
    session->RenderItemEnd(nullptr, 6);
    session.reset();

    EXPECT_GT(brevant_host::OffMainThreadCalls(), 0u);
    size_t violations = 0;
    for (const auto& [refcon, frameId] : gCalls) {
        const auto span = frameSpans[frameId - 1];
        const uint64_t started = times[refcon].registerStarted, removed = times[refcon].deregisterDone;
        violations += started == 0 || started >= span.second || (removed != 0 && removed <= span.first);
    }
    EXPECT_EQ(violations, 0u) << "of " << gCalls.size() << " callbacks";
}

}  // namespace
