// Sessions as the host drives them: start, description begin and end, release; their events
// and how the monitor suite finds them.
#include "support/FrozenRQSession.h"
#include "support/Listeners.h"
#include "support/PluginFixture.h"

using namespace brevant_test;

namespace {

class SessionTest : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        ASSERT_EQ(suite_->Brevant_RegisterListener(7, 1, &AllCallbacks()), 0);
    }
    int32_t ItemCount(int64_t sessionId) {
        int32_t count = -99;
        return suite_->Brevant_GetNumJobItems(sessionId, &count) == 0 ? count : -1;
    }
};

// A start logs the session's creation; the monitor suite finds only the latest session by its id.
TEST_F(SessionTest, OnlyTheLatestSessionIsReachableButOlderOnesStillRelay) {
    auto first = StartSession();
    const int64_t firstId = LastSessionId();
    brevant_host::ClearRecordedLog();
    auto second = StartSession();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second.use_count(), 1);
    const auto lines = LinesOf();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[Brevant] Brevant_StartSession: called");
    EXPECT_EQ(lines[1].rfind("[BrevantSession] ctor: created=", 0), 0u);
    const int64_t secondId = std::stoll(lines[1].substr(lines[1].find("id=") + 3));
    EXPECT_EQ(lines[2], "[BrevantPlugin] SessionCreate: id=" + std::to_string(secondId));
    EXPECT_EQ(secondId, firstId + 1);
    EXPECT_EQ(ItemCount(firstId), -1);
    EXPECT_EQ(ItemCount(secondId), 0);

    first->DescribeBegin(u"old");
    first->DescribeEnd();
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].event, "JobBegin");
    EXPECT_EQ(Events()[0].sessionId, firstId);

    // The older session dying later leaves the newer one reachable.
    first.reset();
    EXPECT_EQ(Events().back().event, "JobEnd");
    EXPECT_EQ(ItemCount(secondId), 0);
    second.reset();
    EXPECT_EQ(ItemCount(secondId), -1);
    EXPECT_TRUE(HasLine("BrevantPlugin", "SessionDestroyed", "id=" + std::to_string(secondId)));
}

// JobEnd comes once the description ended or an item ran, and its listener no longer finds the
// session. The
// host's status at an item's end reaches listeners as 1 done (6), 2 stopped (4) or 3 failed.
TEST_F(SessionTest, JobAndItemEndsAreRelayedAsTheyHappened) {
    struct Case {
        const char* steps;
        int32_t hostStatus;
        size_t jobEnds;
        std::vector<int32_t> itemEnds;
    } cases[] = {{"", 6, 0, {}},         {"B", 6, 0, {}},         {"BE", 6, 1, {}},       {"BES", 6, 1, {}},
                 {"BESX", 6, 1, {1}},    {"BESX", 4, 1, {2}},     {"BESX", 5, 1, {3}},    {"BESX", 3, 1, {3}},
                 {"SXSX", 7, 1, {3, 3}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.steps) + " " + std::to_string(c.hostStatus));
        ClearListeners();
        std::vector<HostErr> answers;
        std::vector<int32_t> itemEnds;
        SetAction(7, 1, [&](const ListenerEvent& e) {
            int32_t count = 0;
            if (e.event == "JobEnd") answers.push_back(suite_->Brevant_GetNumJobItems(e.sessionId, &count));
            if (e.event == "JobItemEnd") itemEnds.push_back(e.status);
        });
        auto session = StartSession();
        for (const char* step = c.steps; *step; ++step) {
            if (*step == 'B') session->DescribeBegin(u"p");
            if (*step == 'E') session->DescribeEnd();
            if (*step == 'S') session->RenderItemStart(nullptr);
            if (*step == 'X') session->RenderItemEnd(nullptr, c.hostStatus);
        }
        session.reset();
        EXPECT_EQ(answers, std::vector<HostErr>(c.jobEnds, 3));
        EXPECT_EQ(itemEnds, c.itemEnds);
    }
}

// The name of the last DescribeBegin, and the host's version text as far as its 64-byte buffer
// holds it. A failing version query is thrown as its code and leaves the version empty.
TEST_F(SessionTest, DescribeBeginKeepsTheNameAndTheHostVersion) {
    const std::string text63(63, 'v');
    struct Case {
        const char* name;
        std::string hostText;
        HostErr fault;
        std::string version;
    } cases[] = {
        {"the host's own text", "", 0, "23.0.0 (Brevant stand-in host)"},
        {"63 characters and the terminator", text63, 0, text63},
        {"64 characters, no terminator", text63 + "w", 0, text63},
        {"failing query", "", 31, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        brevant_host::SetVersionText(c.hostText);
        if (c.fault) brevant_host::SetFault(brevant_host::HostCall::VersionString, c.fault);
        auto session = StartSession();
        const int64_t id = LastSessionId();
        std::vector<int32_t> thrown;
        for (const char16_t* name : {u"first", u"abc"}) {
            try {
                session->DescribeBegin(name);
            } catch (int32_t code) {
                thrown.push_back(code);
            }
        }
        EXPECT_EQ(thrown, std::vector<int32_t>(c.fault ? 2 : 0, c.fault));
        HostMemoryHandle name = nullptr, version = nullptr;
        ASSERT_EQ(suite_->Brevant_GetProjectName(id, &name), 0);
        ASSERT_EQ(suite_->Brevant_GetAppVersion(id, &version), 0);
        EXPECT_EQ(TakeString(name), "abc");
        EXPECT_EQ(TakeString(version), c.version);
        brevant_host::ClearFaults();
    }
}

TEST_F(SessionTest, SessionThatOutlivesThePluginRelaysNothing) {
    auto session = StartSession();
    session->DescribeBegin(u"p");
    StopPlugin();
    brevant_host::ClearRecordedLog();
    session->DescribeEnd();
    session->RenderItemStart(nullptr);
    session->Log(4, "late");
    session->RenderItemEnd(nullptr, 6);
    session.reset();
    EXPECT_TRUE(Events().empty());
    EXPECT_TRUE(LinesOf("BrevantPlugin").empty());
    EXPECT_TRUE(LinesOf("BrevantListenerManager").empty());
}

// The host calls the session through its virtual table: a copy of the header as it was frozen
// must reach the same operations in the same slots. Each logs the state it found.
TEST_F(SessionTest, VirtualTableKeepsItsSlotOrder) {
    auto session = StartSession();
    auto* frozen = reinterpret_cast<frozen::RQSession*>(session.get());
    brevant_host::ClearRecordedLog();
    frozen->DescribeBegin(u"p");
    frozen->DescribeEnd();
    frozen->RenderItemStart(nullptr);
    HostFrameUpdate update{};
    update.updateStatus = 3;
    update.frameId = 1;
    frozen->RenderItemUpdate(nullptr, &update);
    frozen->Log(1, "m");
    frozen->RenderItemEnd(nullptr, 6);
    std::vector<std::string> operations;
    for (const auto& line : LinesOf("BrevantSession")) {
        const size_t state = line.find(", state=");
        if (state != std::string::npos) operations.push_back(line.substr(0, line.find(':')) + line.substr(state + 1));
    }
    const std::vector<std::string> expected = {"DescribeBegin state=0",     "DescribeEnd state=1",
                                               "RenderItemStart state=2",   "RenderItemUpdate state=3",
                                               "Log state=3",               "RenderItemEnd state=3"};
    EXPECT_EQ(operations, expected);
}

}  // namespace
