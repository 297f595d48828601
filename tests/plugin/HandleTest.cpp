// Strings and messages leave the plug-in in host memory handles: their bytes, their owner, and
// every failure path of the memory suite.
#include "support/Listeners.h"
#include "support/PluginFixture.h"

using namespace brevant_test;
using brevant_host::HostCall;

namespace {

class HandleTest : public PluginFixture {
protected:
    int64_t Describe(const HostString& projectName) {
        session_ = StartSession();
        session_->DescribeBegin(projectName);
        return LastSessionId();
    }
    std::shared_ptr<RQSession> session_;
};

TEST_F(HandleTest, StringHandlesHoldUtf16AndOneZeroCodeUnit) {
    struct Case {
        HostString text;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {u"abc", {0x61, 0, 0x62, 0, 0x63, 0, 0, 0}},
        {u"", {0, 0}},
        {u"\u00e9\U0001F600", {0xe9, 0, 0x3d, 0xd8, 0x00, 0xde, 0, 0}},
        {HostString(u"a\0b", 3), {0x61, 0, 0, 0, 0x62, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        const int64_t id = Describe(c.text);
        const uint64_t lockedBefore = brevant_host::HandleUse().locked;
        HostMemoryHandle handle = nullptr;
        ASSERT_EQ(suite_->Brevant_GetProjectName(id, &handle), 0);
        brevant_host::HandleInfo info;
        ASSERT_TRUE(brevant_host::InspectHandle(handle, &info));
        EXPECT_EQ(info.bytes, c.bytes);
        EXPECT_EQ(info.size, c.bytes.size());
        EXPECT_EQ(info.flags, 1);
        EXPECT_EQ(info.label, "convert unicode to memhandle for brevant");
        EXPECT_EQ(info.ownerId, plugin_.pluginId);
        EXPECT_EQ(info.lockCount, 0);
        // The empty string is delivered without being locked.
        EXPECT_EQ(brevant_host::HandleUse().locked - lockedBefore, c.text.empty() ? 0u : 1u);
        TakeString(handle);
    }
}

// Whatever step of the memory suite fails, its code is the result, the client's out-parameter
// keeps its value and nothing stays allocated.
TEST_F(HandleTest, MemorySuiteFailuresPassTheirCodeThrough) {
    struct Case {
        const char* name;
        HostCall call;
        HostString text;
        HostErr expected;
        uint64_t unlocks;
    } cases[] = {
        {"create", HostCall::MemCreate, u"abc", 61, 0},
        {"create, empty text", HostCall::MemCreate, u"", 61, 0},
        {"lock", HostCall::MemLock, u"abc", 62, 0},
        {"unlock", HostCall::MemUnlock, u"abc", 63, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t id = Describe(c.text);
        const auto before = brevant_host::HandleUse();
        brevant_host::SetFault(c.call, c.expected, 0, 1);
        auto* sentinel = reinterpret_cast<HostMemoryHandle>(0x1234);
        HostMemoryHandle handle = sentinel;
        EXPECT_EQ(suite_->Brevant_GetProjectName(id, &handle), c.expected);
        EXPECT_EQ(handle, sentinel);
        const auto after = brevant_host::HandleUse();
        EXPECT_EQ(after.created - before.created, after.freed - before.freed);
        EXPECT_EQ(after.unlocked - before.unlocked, c.unlocks);
        EXPECT_TRUE(brevant_host::HeldSuites().size() == 2u);  // only the fixture's own
        brevant_host::ClearFaults();
    }
}

TEST_F(HandleTest, EachConversionAcquiresAndReleasesTheMemorySuiteOnce) {
    const int64_t id = Describe(u"x");
    const auto before = brevant_host::SuiteUse(kHostMemorySuite, kHostMemorySuiteVersion);
    HostMemoryHandle handle = nullptr;
    ASSERT_EQ(suite_->Brevant_GetProjectName(id, &handle), 0);
    const auto after = brevant_host::SuiteUse(kHostMemorySuite, kHostMemorySuiteVersion);
    EXPECT_EQ(after.acquired - before.acquired, 1);
    EXPECT_EQ(after.released - before.released, 1);
    TakeString(handle);
    brevant_host::SetSuiteFault(kHostMemorySuite, kHostMemorySuiteVersion, 9);
    handle = nullptr;
    EXPECT_EQ(suite_->Brevant_GetProjectName(id, &handle), kBrevantErrSuiteMissing);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(HasLine("Brevant", "MissingSuiteError", "whoops!"));
}

// The log message reaches listeners in a handle that the relay frees once they returned, on
// every path: without listeners, when a listener throws, and when the handle could not be made.
TEST_F(HandleTest, LogRelayHandsAHandleAndFreesIt) {
    ASSERT_EQ(suite_->Brevant_RegisterListener(5, 5, &AllCallbacks()), 0);
    struct Case {
        uint32_t type;
        const char* text;
        uint8_t flag;
    } cases[] = {{1, "one", 1}, {2, "", 1}, {3, "three", 0}, {4, "f\xc3\xbcnf", 1}, {8, "x", 1},
                 {16, "y", 1}, {0, "z", 0}, {32, "w", 0}};
    Describe(u"p");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ClearListeners();
        const auto before = brevant_host::HandleUse();
        session_->Log(c.type, c.text);
        ASSERT_EQ(Events().size(), 1u);
        EXPECT_EQ(Events()[0].text, c.text);
        EXPECT_EQ(Events()[0].flag, c.flag);
        EXPECT_EQ(Events()[0].itemId, -1);  // before the first item starts
        const auto after = brevant_host::HandleUse();
        EXPECT_EQ(after.created - before.created, 1u);
        EXPECT_EQ(after.freed - before.freed, 1u);
    }

    ClearListeners();
    SetAction(5, 5, [](const ListenerEvent&) { throw std::bad_alloc(); });
    const auto beforeThrow = brevant_host::HandleUse();
    session_->Log(4, "thrown");
    EXPECT_EQ(brevant_host::HandleUse().freed - beforeThrow.freed, 1u);

    ClearListeners();
    brevant_host::SetFault(HostCall::MemCreate, 70, 0, 1);
    const auto beforeFault = brevant_host::HandleUse();
    session_->Log(4, "dropped");
    EXPECT_TRUE(Events().empty());
    // The relay still frees its (null) handle once.
    EXPECT_EQ(brevant_host::HandleUse().refused - beforeFault.refused, 1u);
    EXPECT_EQ(brevant_host::LiveHandleCount(), 0u);
}

}  // namespace
