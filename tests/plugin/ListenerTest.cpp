// The listener registry and the fan-out of events, through the monitor suite.
#if defined(__GNUC__) && !defined(__clang__)
// GCC takes the malloc/free pair of the operators replaced below for a new/free mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <tuple>

#include "support/PluginFixture.h"

using namespace brevant_test;

// ThreadSanitizer's runtime brings its own operator new, which cannot be replaced.
#if defined(__SANITIZE_THREAD__)
#define BREVANT_TEST_REPLACES_NEW 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BREVANT_TEST_REPLACES_NEW 0
#endif
#endif
#ifndef BREVANT_TEST_REPLACES_NEW
#define BREVANT_TEST_REPLACES_NEW 1
#endif

// While above zero, that many operator new calls fail with std::bad_alloc, the plug-in's
// included (it binds to this definition).
std::atomic<int> g_failingAllocations{0};

namespace {

class ListenerTest : public PluginFixture {};

// Registered out of order: plug-in ids compare signed, refcons unsigned. (The fan-out's count of
// listeners is in NullSlotsAndEveryKindOfExceptionStayInsideTheFanOut.)
TEST_F(ListenerTest, ListenersAreCalledInKeyOrder) {
    for (auto key : std::vector<std::pair<int32_t, uint64_t>>{{3, 1}, {-5, 9}, {3, ~0ull}, {3, 2}, {-5, 1}}) {
        ASSERT_EQ(suite_->Brevant_RegisterListener(key.first, key.second, &AllCallbacks()), 0);
    }
    auto session = BeginJob();
    EXPECT_EQ(EventTrace(), (std::vector<std::string>{"-5/1:JobBegin", "-5/9:JobBegin", "3/1:JobBegin",
                                                      "3/2:JobBegin", "3/18446744073709551615:JobBegin"}));
}

TEST_F(ListenerTest, RegisteringAKeyAgainReplacesItsTable) {
    ListenerCallbacks onlyEnd{};
    onlyEnd.JobEnd = AllCallbacks().JobEnd;
    ASSERT_EQ(suite_->Brevant_RegisterListener(4, 0x10, &AllCallbacks()), 0);
    ASSERT_EQ(suite_->Brevant_RegisterListener(4, 0x10, &onlyEnd), 0);
    EXPECT_TRUE(HasLine("BrevantListenerManager", "AddListener", "added listener 4/10, origsize=0, newsize=1"));
    EXPECT_TRUE(HasLine("BrevantListenerManager", "AddListener", "added listener 4/10, origsize=1, newsize=1"));
    onlyEnd = AllCallbacks();  // the registry holds its own copy
    BeginJob().reset();
    EXPECT_EQ(EventTrace(), std::vector<std::string>{"4/16:JobEnd"});
}

// A listener with null slots is counted and numbered but not called.
TEST_F(ListenerTest, NullSlotsAndEveryKindOfExceptionStayInsideTheFanOut) {
    ListenerCallbacks updatesOnly{};
    updatesOnly.JobItemUpdate = AllCallbacks().JobItemUpdate;
    ASSERT_EQ(suite_->Brevant_RegisterListener(0, 0, &updatesOnly), 0);
    ASSERT_EQ(suite_->Brevant_RegisterListener(1, 1, &AllCallbacks()), 0);
    ASSERT_EQ(suite_->Brevant_RegisterListener(1, 2, &AllCallbacks()), 0);
    int thrown = 0;
    SetAction(1, 1, [&](const ListenerEvent&) {
        switch (thrown++ % 3) {
            case 0: throw std::runtime_error("x");
            case 1: throw 17;
            default: throw "text";
        }
    });
    auto session = BeginJob();
    const std::string id = std::to_string(Events()[0].sessionId);
    session->RenderItemStart(nullptr);
    HostFrameUpdate update = FrameDone(4);
    session->RenderItemUpdate(nullptr, &update);
    session->RenderItemEnd(nullptr, 6);
    session.reset();
    EXPECT_EQ(EventTrace(), (std::vector<std::string>{"1/1:JobBegin", "1/2:JobBegin", "1/1:JobItemStart",
                                                      "1/2:JobItemStart", "0/0:JobItemUpdate", "1/1:JobItemUpdate",
                                                      "1/2:JobItemUpdate", "1/1:JobItemEnd", "1/2:JobItemEnd",
                                                      "1/1:JobEnd", "1/2:JobEnd"}));
    const std::vector<std::string> failures = {
        "Process_JobBegin: calling 3 listeners for session " + id,
        "Process_JobBegin: bad exception calling listener 2 for session " + id,
        "Process_JobItemStart: bad exception calling listener 2 for session " + id + ", item -1",
        "Process_JobItemUpdate: bad exception calling listener 2 for session " + id + ", item -1, frame 4",
        "Process_JobItemEnd: bad exception calling listener 2 for session " + id + ", item -1",
        "Process_JobEnd: bad exception calling listener 2 for session " + id,
    };
    std::vector<std::string> logged;
    for (const auto& line : LinesOf("BrevantListenerManager")) {
        if (line.find("bad exception") != std::string::npos || line.rfind("Process_JobBegin: calling", 0) == 0) {
            logged.push_back(line);
        }
    }
    EXPECT_EQ(logged, failures);
}

// The outer fan-out's registry must stay alive while a callback changes it and raises an event.
TEST_F(ListenerTest, AFanOutSeesTheRegistryOfItsOwnStart) {
    ASSERT_EQ(suite_->Brevant_RegisterListener(1, 1, &AllCallbacks()), 0);
    ASSERT_EQ(suite_->Brevant_RegisterListener(2, 1, &AllCallbacks()), 0);
    auto session = BeginJob();
    ClearListeners();
    SetAction(1, 1, [&](const ListenerEvent& e) {
        if (e.event != "JobItemStart") return;
        EXPECT_EQ(suite_->Brevant_DeregisterListener(2, 1), 0);
        EXPECT_EQ(suite_->Brevant_DeregisterListener(1, 1), 0);
        EXPECT_EQ(suite_->Brevant_RegisterListener(3, 1, &AllCallbacks()), 0);
        session->Log(2, "inner");
    });
    session->RenderItemStart(nullptr);
    session->Log(2, "after");
    EXPECT_EQ(EventTrace(), (std::vector<std::string>{"1/1:JobItemStart", "3/1:JobItemLog", "2/1:JobItemStart",
                                                      "3/1:JobItemLog"}));
}

// Events are still logged when no listener is left.
TEST_F(ListenerTest, DeregisteringAnUnknownKeyIsRefusedAndLogged) {
    ASSERT_EQ(suite_->Brevant_RegisterListener(-2, 0xab, &AllCallbacks()), 0);
    suite_->Brevant_DeregisterListener(-2, 0xac);
    EXPECT_TRUE(HasLine("BrevantListenerManager", "RemoveListener", "COULD NOT remove listener -2/ac, listsize=1"));
    EXPECT_EQ(suite_->Brevant_DeregisterListener(-2, 0xab), 0);
    EXPECT_TRUE(HasLine("BrevantListenerManager", "RemoveListener", "removed listener -2/ab, origsize=1, newsize=0"));
    BeginJob()->Log(2, "");
    const std::string id = std::to_string(LastSessionId());
    EXPECT_TRUE(HasLine("BrevantListenerManager", "Process_JobBegin", "calling 0 listeners for session " + id));
    EXPECT_TRUE(HasLine("BrevantListenerManager", "Process_JobItemLog", "calling 0 listeners for session " + id));
}

TEST_F(ListenerTest, OffMainThreadCallsAreReportedAndServed) {
    HostErr result = -1;
    std::thread([&] { result = suite_->Brevant_RegisterListener(8, 8, &AllCallbacks()); }).join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(HasLine("Contract Violation", "Brevant_RegisterListener",
                        "main-thread-only routine called on non-main thread"));
    std::thread([&] { result = suite_->Brevant_DeregisterListener(8, 8); }).join();
    EXPECT_EQ(result, 0);
}

}  // namespace

// Running out of memory inside a suite call is the host's out-of-memory code, or the unknown
// exception's when the host's report runs out too; the registry is left as it was.
TEST_F(ListenerTest, OutOfMemoryInsideASuiteCallIsTheHostsCode) {
#if defined(_WIN32) || !BREVANT_TEST_REPLACES_NEW
    GTEST_SKIP() << "the plug-in's allocations do not bind to this test's operator new here";
#endif
    // The allocations that fail; the code; whether the host could report it (a second failure is
    // the host's own, in its report).
    const std::tuple<int, HostErr, bool> cases[] = {{1, 4, true}, {2, 0x42560002, false}};
    for (const auto& [failing, code, reported] : cases) {
        brevant_host::ClearRecordedLog();
        g_failingAllocations = failing;
        const HostErr result = suite_->Brevant_RegisterListener(1, 1, &AllCallbacks());
        g_failingAllocations = 0;
        EXPECT_EQ(result, code) << failing;
        EXPECT_EQ(HasLine("StandInHost", "HostReportException", "std::bad_alloc: std::bad_alloc (code 4)"), reported);
    }
    auto session = BeginJob();
    EXPECT_TRUE(EventTrace().empty());
}

#if BREVANT_TEST_REPLACES_NEW
void* operator new(std::size_t size) {
    if (g_failingAllocations > 0 && g_failingAllocations-- > 0) throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#endif
