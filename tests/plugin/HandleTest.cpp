// Strings and messages leave the plug-in in host memory handles.
#include <tuple>

#include "support/PluginFixture.h"

using namespace brevant_test;
using brevant_host::HostCall;

namespace {

class HandleTest : public PluginFixture {
protected:
    int64_t Describe(const HostString& projectName) {
        session_ = BeginJob(projectName, false);
        return LastSessionId();
    }
    std::shared_ptr<RQSession> session_;
};

// What stays allocated on each path is the fixture's leak check.
TEST_F(HandleTest, MemorySuiteFailuresPassTheirCodeThrough) {
    struct Case { const char* name; HostCall call; HostString text; HostErr expected; uint64_t unlocks; } cases[] = {
        {"create", HostCall::MemCreate, u"abc", 61, 0},
        {"create, empty text", HostCall::MemCreate, u"", 61, 0},
        {"lock", HostCall::MemLock, u"abc", 62, 0},
        {"unlock", HostCall::MemUnlock, u"abc", 63, 1},
        {"no memory suite", HostCall::AcquireSuite, u"abc", 0x42560001, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t id = Describe(c.text);
        const auto before = brevant_host::HandleUse();
        if (c.call == HostCall::AcquireSuite) {
            brevant_host::SetSuiteFault(kHostMemorySuite, kHostMemorySuiteVersion, 9);
        } else {
            brevant_host::SetFault(c.call, c.expected, 0, 1);
        }
        HostMemoryHandle handle = nullptr;
        EXPECT_EQ(suite_->Brevant_GetProjectName(id, &handle), c.expected);
        EXPECT_EQ(brevant_host::HandleUse().unlocked - before.unlocked, c.unlocks);
        EXPECT_EQ(HasLine("Brevant", "MissingSuiteError", "whoops!"), c.call == HostCall::AcquireSuite);
        brevant_host::ClearFaults();
    }
}

// The relay frees the message handle after the listeners, also when one throws; a message whose
// handle cannot be made reaches nobody. (Each type's flag is in the cli tests' records.)
TEST_F(HandleTest, LogRelayHandsAHandleAndFreesIt) {
    ASSERT_EQ(suite_->Brevant_RegisterListener(5, 5, &AllCallbacks()), 0);
    Describe(u"p");
    SetAction(5, 5, [](const ListenerEvent&) { throw std::bad_alloc(); });
    session_->Log(4, "thrown");
    brevant_host::SetFault(HostCall::MemCreate, 70, 0, 1);
    session_->Log(4, "dropped");
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(std::make_tuple(Events()[0].text, Events()[0].flag, Events()[0].itemId), std::make_tuple("thrown", 1, -1));
}

}  // namespace
