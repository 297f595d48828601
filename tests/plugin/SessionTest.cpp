// Sessions as the host drives them, their events and how the monitor suite finds them.
#include <tuple>

#include "support/FrozenRQSession.h"
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

// The monitor suite finds only the latest session by its id; an older one still relays events.
TEST_F(SessionTest, OnlyTheLatestSessionIsReachableButOlderOnesStillRelay) {
    auto first = StartSession();
    const int64_t firstId = LastSessionId();
    brevant_host::ClearRecordedLog();
    auto second = StartSession();
    const int64_t secondId = LastSessionId();
    EXPECT_EQ(second.use_count(), 1);
    const auto lines = LinesOf();
    ASSERT_EQ(lines.size(), 3u);  // the entry line, the session's construction, the plug-in's record of it
    EXPECT_EQ(lines[1].rfind("[BrevantSession] ctor: created=", 0), 0u);
    EXPECT_NE(lines[1].find("id=" + std::to_string(secondId)), std::string::npos);
    EXPECT_EQ(secondId, firstId + 1);
    EXPECT_EQ(ItemCount(secondId), 0);
    first->DescribeBegin(u"old");
    first->DescribeEnd();
    first.reset();
    EXPECT_EQ(EventTrace(), (std::vector<std::string>{"7/1:JobBegin", "7/1:JobEnd"}));
    EXPECT_EQ(Events()[0].sessionId, firstId);
    EXPECT_EQ(ItemCount(secondId), 0);
    second.reset();
    EXPECT_TRUE(HasLine("BrevantPlugin", "SessionDestroyed", "id=" + std::to_string(secondId)));
}

// The host's item status reaches listeners as 1 done (6), 2 stopped (4) or 3.
TEST_F(SessionTest, JobAndItemEndsAreRelayedAsTheyHappened) {
    struct Case { const char* steps; int32_t hostStatus; size_t jobEnds; std::vector<int32_t> itemEnds;
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

// The last name given, in UTF-16 and one zero code unit (an empty one is not locked), and the
// host's version text as far as its 64-byte buffer holds it; a failing query throws its code.
TEST_F(SessionTest, DescribeBeginKeepsTheNameAndTheHostVersion) {
    const std::string text63(63, 'v');
    struct Case { HostString name; std::vector<uint8_t> bytes; std::string hostText; HostErr fault; std::string version;
    } cases[] = {
        {u"abc", {0x61, 0, 0x62, 0, 0x63, 0, 0, 0}, "", 0, "23.0.0 (Brevant stand-in host)"},
        {u"", {0, 0}, text63, 0, text63},
        {u"\u00e9\U0001F600", {0xe9, 0, 0x3d, 0xd8, 0x00, 0xde, 0, 0}, text63 + "w", 0, text63},
        {HostString(u"a\0b", 3), {0x61, 0, 0, 0, 0x62, 0, 0, 0}, "", 31, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        brevant_host::SetVersionText(c.hostText);
        if (c.fault) brevant_host::SetFault(brevant_host::HostCall::VersionString, c.fault);
        auto session = StartSession();
        const int64_t id = LastSessionId();
        std::vector<int32_t> thrown;
        for (const HostString& name : {HostString(u"first"), c.name}) {
            try {
                session->DescribeBegin(name);
            } catch (int32_t code) {
                thrown.push_back(code);
            }
        }
        EXPECT_EQ(thrown, std::vector<int32_t>(c.fault ? 2 : 0, c.fault));
        const uint64_t lockedBefore = brevant_host::HandleUse().locked;
        HostMemoryHandle name = nullptr, version = nullptr;
        ASSERT_EQ(suite_->Brevant_GetProjectName(id, &name), 0);
        EXPECT_EQ(brevant_host::HandleUse().locked - lockedBefore, c.name.empty() ? 0u : 1u);
        brevant_host::HandleInfo info;
        ASSERT_TRUE(brevant_host::InspectHandle(name, &info));
        EXPECT_EQ(std::tie(info.bytes, info.flags, info.label, info.ownerId),
                  std::make_tuple(c.bytes, 1, "convert unicode to memhandle for brevant", plugin_.pluginId));
        TakeString(name);
        ASSERT_EQ(suite_->Brevant_GetAppVersion(id, &version), 0);
        EXPECT_EQ(TakeString(version), c.version);
        brevant_host::ClearFaults();
    }
}

TEST_F(SessionTest, SessionThatOutlivesThePluginRelaysNothing) {
    auto session = BeginJob(u"p", false);
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

// The host calls through a virtual table frozen when it was built; each operation logs its state.
TEST_F(SessionTest, VirtualTableKeepsItsSlotOrder) {
    auto session = StartSession();
    auto* frozen = reinterpret_cast<frozen::RQSession*>(session.get());
    brevant_host::ClearRecordedLog();
    frozen->DescribeBegin(u"p");
    frozen->DescribeEnd();
    frozen->RenderItemStart(nullptr);
    HostFrameUpdate update = FrameDone(1);
    frozen->RenderItemUpdate(nullptr, &update);
    frozen->Log(1, "m");
    frozen->RenderItemEnd(nullptr, 6);
    std::vector<std::string> operations;
    for (const auto& line : LinesOf("BrevantSession")) {
        const size_t state = line.find(", state=");
        if (state != std::string::npos) operations.push_back(line.substr(0, line.find(':')) + line.substr(state + 1));
    }
    EXPECT_EQ(operations, (std::vector<std::string>{"DescribeBegin state=0", "DescribeEnd state=1",
                                                    "RenderItemStart state=2", "RenderItemUpdate state=3",
                                                    "Log state=3", "RenderItemEnd state=3"}));
}

}  // namespace
