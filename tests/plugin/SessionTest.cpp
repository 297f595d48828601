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
    static int64_t IdOf(const std::string& creationLine) {
        return std::stoll(creationLine.substr(creationLine.find("id=") + 3));
    }
};

TEST_F(SessionTest, StartLogsCreationAndIsFoundByItsId) {
    brevant_host::ClearRecordedLog();
    auto session = StartSession();
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session.use_count(), 1);
    const auto lines = AllLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[Brevant] Brevant_StartSession: called");
    EXPECT_EQ(lines[1].rfind("[BrevantSession] ctor: created=", 0), 0u);
    const int64_t id = IdOf(lines[1]);
    EXPECT_EQ(lines[2], "[BrevantPlugin] SessionCreate: id=" + std::to_string(id));
    EXPECT_EQ(ItemCount(id), 0);
    EXPECT_EQ(ItemCount(id + 1), -1);
    EXPECT_EQ(ItemCount(0), -1);
}

TEST_F(SessionTest, OnlyTheLatestSessionIsReachableButOlderOnesStillRelay) {
    auto first = StartSession();
    const int64_t firstId = LastSessionId();
    auto second = StartSession();
    const int64_t secondId = LastSessionId();
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

TEST_F(SessionTest, JobEndIsRelayedOnlyFromDescribedOn) {
    struct Case {
        const char* steps;
        size_t jobEnds;
    } cases[] = {{"", 0}, {"B", 0}, {"BE", 1}, {"BES", 1}, {"BESX", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        ClearListeners();
        auto session = StartSession();
        for (const char* step = c.steps; *step; ++step) {
            if (*step == 'B') session->DescribeBegin(u"p");
            if (*step == 'E') session->DescribeEnd();
            if (*step == 'S') session->RenderItemStart(nullptr);
            if (*step == 'X') session->RenderItemEnd(nullptr, 6);
        }
        session.reset();
        size_t jobEnds = 0;
        for (const auto& e : Events()) jobEnds += e.event == "JobEnd";
        EXPECT_EQ(jobEnds, c.jobEnds);
    }
}

TEST_F(SessionTest, JobEndListenerFindsTheSessionGone) {
    int32_t answer = 0;
    SetAction(7, 1, [&](const ListenerEvent& e) {
        if (e.event != "JobEnd") return;
        int32_t count = 55;
        answer = suite_->Brevant_GetNumJobItems(e.sessionId, &count);
        EXPECT_EQ(count, 55);
    });
    auto session = StartSession();
    session->DescribeBegin(u"p");
    session->DescribeEnd();
    session.reset();
    EXPECT_EQ(answer, kBrevantErrRejected);
}

TEST_F(SessionTest, DescribeBeginKeepsTheNameAndTheHostVersion) {
    auto session = StartSession();
    const int64_t id = LastSessionId();
    session->DescribeBegin(u"first");
    session->DescribeBegin(u"abc");
    HostMemoryHandle name = nullptr, version = nullptr;
    ASSERT_EQ(suite_->Brevant_GetProjectName(id, &name), 0);
    ASSERT_EQ(suite_->Brevant_GetAppVersion(id, &version), 0);
    EXPECT_EQ(TakeString(name), "abc");
    char expected[64] = {};
    ASSERT_EQ(HostVersionString(HostAppVersion(0), true, expected), 0);
    EXPECT_EQ(TakeString(version), expected);
    // The state is logged as it was before each call.
    const auto lines = LinesOf("BrevantSession");
    EXPECT_NE(lines[1].find("state=0"), std::string::npos);
    EXPECT_NE(lines[2].find("state=1"), std::string::npos);
}

TEST_F(SessionTest, FailingVersionQueryIsThrownAsItsCode) {
    auto session = StartSession();
    const int64_t id = LastSessionId();
    brevant_host::SetFault(brevant_host::HostCall::VersionString, 31);
    try {
        session->DescribeBegin(u"kept");
        ADD_FAILURE() << "no exception";
    } catch (int32_t code) {
        EXPECT_EQ(code, 31);
    }
    HostMemoryHandle name = nullptr, version = nullptr;
    ASSERT_EQ(suite_->Brevant_GetProjectName(id, &name), 0);
    EXPECT_EQ(TakeString(name), "kept");
    ASSERT_EQ(suite_->Brevant_GetAppVersion(id, &version), 0);
    EXPECT_EQ(TakeString(version), "");
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
// must reach the same operations in the same slots.
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
        if (line.find(", state=") != std::string::npos) operations.push_back(line.substr(0, line.find(':')));
    }
    const std::vector<std::string> expected = {"DescribeBegin", "DescribeEnd", "RenderItemStart", "RenderItemUpdate",
                                               "Log", "RenderItemEnd"};
    EXPECT_EQ(operations, expected);
}

}  // namespace
