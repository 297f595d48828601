// Every operation of the monitor suite and the provider suite through its refusals: the
// documented code, and out-parameters exactly as the caller left them.
#include "support/JobHelpers.h"
#include "support/Listeners.h"

using namespace brevant_test;

namespace {

HostMemoryHandle Sentinel(uintptr_t n) { return reinterpret_cast<HostMemoryHandle>(0xbad0 + n); }

// What a call may write; filled with sentinels before it and compared after it.
struct Outs {
    int32_t count = -7;
    int64_t itemId = -7;
    int32_t width = 64;
    int32_t height = 48;
    HostMemoryHandle key = Sentinel(1);
    HostMemoryHandle value = Sentinel(2);
    bool operator==(const Outs& o) const {
        return count == o.count && itemId == o.itemId && width == o.width && height == o.height && key == o.key &&
               value == o.value;
    }
};

// The arguments of one refused call. `nulls` asks for null out-parameters.
struct Args {
    int64_t session;
    int64_t item;
    int32_t module;
    int32_t index;
    int64_t frame;
    bool nulls;
};

using Call = std::function<HostErr(const BrevantMonitorSuite1&, const Args&, Outs&)>;

// Which arguments an operation takes; a condition is refused by the operations that take what
// it spoils.
enum Uses : unsigned { kSession = 1, kItem = 2, kModule = 4, kIndex = 8, kFrame = 16, kOuts = 32, kAll = 63 };
struct Op {
    const char* name;
    unsigned uses;
    Call call;
};

template <typename T>
T* Out(const Args& a, T& target) { return a.nulls ? nullptr : &target; }

const std::vector<Op>& Operations() {
    static const std::vector<Op> ops = {
        {"DeregisterListener", kAll & ~kOuts, [](auto& s, auto&, auto&) { return s.Brevant_DeregisterListener(99, 99); }},
        {"GetProjectName", kSession | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetProjectName(a.session, Out(a, o.key)); }},
        {"GetAppVersion", kSession | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetAppVersion(a.session, Out(a, o.key)); }},
        {"GetNumJobItems", kSession | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItems(a.session, Out(a, o.count)); }},
        {"GetJobItemID", kSession | kIndex | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetJobItemID(a.session, a.index, Out(a, o.itemId)); }},
        {"GetNumJobItemRenderSettings", kSession | kItem | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItemRenderSettings(a.session, a.item, Out(a, o.count)); }},
        {"GetJobItemRenderSetting", kSession | kItem | kIndex | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetJobItemRenderSetting(a.session, a.item, a.index, Out(a, o.key), Out(a, o.value)); }},
        {"GetNumJobItemOutputModules", kSession | kItem | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItemOutputModules(a.session, a.item, Out(a, o.count)); }},
        {"GetNumJobItemOutputModuleSettings", kSession | kItem | kModule | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItemOutputModuleSettings(a.session, a.item, a.module, Out(a, o.count)); }},
        {"GetJobItemOutputModuleSetting", kSession | kItem | kModule | kIndex | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetJobItemOutputModuleSetting(a.session, a.item, a.module, a.index, Out(a, o.key), Out(a, o.value)); }},
        {"GetNumJobItemOutputModuleWarnings", kSession | kItem | kModule | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItemOutputModuleWarnings(a.session, a.item, a.module, Out(a, o.count)); }},
        {"GetJobItemOutputModuleWarning", kSession | kItem | kModule | kIndex | kOuts, [](auto& s, auto& a, auto& o) { return s.Brevant_GetJobItemOutputModuleWarning(a.session, a.item, a.module, a.index, Out(a, o.key)); }},
        {"GetNumJobItemFrameProperties", kAll, [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItemFrameProperties(a.session, a.item, a.frame, Out(a, o.count)); }},
        {"GetJobItemFrameProperty", kAll, [](auto& s, auto& a, auto& o) { return s.Brevant_GetJobItemFrameProperty(a.session, a.item, a.frame, a.index, Out(a, o.key), Out(a, o.value)); }},
        {"GetNumJobItemOutputModuleProperties", kAll, [](auto& s, auto& a, auto& o) { return s.Brevant_GetNumJobItemOutputModuleProperties(a.session, a.item, a.module, Out(a, o.count)); }},
        {"GetJobItemOutputModuleProperty", kAll, [](auto& s, auto& a, auto& o) { return s.Brevant_GetJobItemOutputModuleProperty(a.session, a.item, a.module, a.index, Out(a, o.key), Out(a, o.value)); }},
        {"GetJobItemFrameThumbnail", kAll, [](auto& s, auto& a, auto& o) { return s.Brevant_GetJobItemFrameThumbnail(a.session, a.item, a.frame, Out(a, o.width), Out(a, o.height), Out(a, o.key)); }},
    };
    return ops;
}

class BadInputTest : public PluginFixture {
protected:
    // Runs every operation with `args` (the "current" session id replaced by the live one) and
    // expects `code` (the not-running code for operations whose refusal is 1) and untouched outs.
    // Runs every operation that takes what `spoils` names (outside any render, so the frame
    // operations refuse whatever they get) and expects code 3 with untouched out-parameters.
    void ExpectRefused(const char* condition, unsigned spoils, const Args& args) {
        for (const auto& op : Operations()) {
            if (!(op.uses & spoils)) continue;
            SCOPED_TRACE(std::string(condition) + ": " + op.name);
            Outs outs;
            EXPECT_EQ(op.call(*suite_, args, outs), kBrevantErrRejected);
            EXPECT_TRUE(outs == Outs());
        }
    }

    void DescribeOneItem() {
        job_ = MakeJob(R"({"items": [{"comp": {"name": "C", "width": 16, "height": 16, "frames": 2},
                           "outputModules": [{"path": "x.raw", "write": "raw"}]}]})");
        session_ = StartSession();
        sessionId_ = LastSessionId();
        Describe(*session_, *job_);
    }

    std::unique_ptr<brevant_host::Job> job_;
    std::shared_ptr<RQSession> session_;
    int64_t sessionId_ = 0;
};

TEST_F(BadInputTest, EveryOperationRefusesAndLeavesItsOutParameters) {
    DescribeOneItem();
    const int64_t s = sessionId_;
    const int64_t hugeIndexItem = (int64_t{1} << 32) + 5;  // item 5, which does not exist
    struct Case {
        const char* condition;
        Args args;
        unsigned spoils;
    } cases[] = {
        {"session 0", {0, 1, 0, 0, 1, false}, kSession},
        {"unknown session", {s + 100, 1, 0, 0, 1, false}, kSession},
        {"unknown item", {s, 2, 0, 0, 1, false}, kItem},
        {"item 2^32 + 5", {s, hugeIndexItem, 0, 0, 1, false}, kItem},
        {"negative item", {s, -1, 0, 0, 1, false}, kItem},
        {"index -1", {s, 1, -1, -1, 1, false}, kModule | kIndex},
        {"index past the end", {s, 1, 1, 1 << 30, 1, false}, kModule | kIndex},
        {"index equal to the count", {s, 1, 1, 23, 1, false}, kModule | kIndex},
        {"null out-parameters", {s, 1, 0, 0, -1, true}, kOuts},
    };
    for (const auto& c : cases) ExpectRefused(c.condition, c.spoils, c.args);

    // A stale session: the host let go of it and started another.
    session_.reset();
    ExpectRefused("destroyed session", kSession, {s, 1, 0, 0, 1, false});
    DescribeOneItem();
    ExpectRefused("previous session", kSession, {s, 1, 0, 0, 1, false});

    EXPECT_EQ(provider_->Brevant_StartSession(nullptr), kBrevantErrNotRunning);

    // After DeathHook every operation refuses, registration and sessions answer 1, and each
    // still logs its entry.
    StopPlugin();
    brevant_host::ClearRecordedLog();
    ExpectRefused("after DeathHook", kAll, {sessionId_, 1, 0, 0, 1, false});
    const ListenerCallbacks table = AllCallbacks();
    EXPECT_EQ(suite_->Brevant_RegisterListener(1, 2, &table), kBrevantErrNotRunning);
    std::shared_ptr<RQSession> kept = session_;
    EXPECT_EQ(provider_->Brevant_StartSession(&kept), kBrevantErrNotRunning);
    EXPECT_EQ(kept, session_);
    for (const auto& op : Operations()) {
        EXPECT_TRUE(HasLine("Brevant", std::string("Brevant_") + op.name, op.uses & kOuts ? "called" : "plugin=63, refcon=63"))
            << op.name;
    }
    EXPECT_TRUE(HasLine("Brevant", "Brevant_RegisterListener", "plugin=1, refcon=2"));
    EXPECT_TRUE(HasLine("Brevant", "Brevant_StartSession", "called"));
    session_.reset();
    kept.reset();
    EXPECT_EQ(brevant_host::LiveHandleCount(), 0u);
}

}  // namespace
