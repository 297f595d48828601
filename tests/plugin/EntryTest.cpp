// Start-up and shutdown through the exported names, as the host does them.
#include "support/Listeners.h"
#include "support/PluginFixture.h"

using namespace brevant_test;
using brevant_host::HostCall;

namespace {

class EntryTest : public PluginFixture {};

TEST_F(EntryTest, PublishesBothSuitesAndRegistersItsDeathHook) {
    const auto published = brevant_host::PublishedSuites();
    const std::vector<std::pair<std::string, int32_t>> expected = {{"Brevant Provider Suite", 1},
                                                                   {"KOVA Brevant Suite", 1}};
    EXPECT_EQ(published, expected);
    EXPECT_TRUE(brevant_host::ReportedMessages().empty());
    EXPECT_EQ(brevant_host::HeldSuites().size(), 2u);  // the fixture's own two
    EXPECT_EQ(LinesOf("BrevantPlugin").size(), 1u);
    EXPECT_EQ(LinesOf("BrevantPlugin")[0].rfind("ctor: created=", 0), 0u);
}

TEST_F(EntryTest, ExportsOnlyTheEntryPointsAndTheSessionClass) {
    for (const char* name : {"BrevantMain", "DeathHook", "_ZTV9RQSession", "_ZN9RQSessionC2Ev", "_ZN9RQSessionD2Ev",
                             "_ZN9RQSessionC2ERKS_", "_ZN9RQSessionaSERKS_"}) {
        EXPECT_NE(brevant_host::PluginSymbol(plugin_, name), nullptr) << name;
    }
    for (const char* name : {"_ZN7brevant13RunningPluginEv", "Brevant_StartSession", "Brevant_GetNumJobItems",
                             "_ZN7brevant12SuiteHandler17MissingSuiteErrorEv"}) {
        EXPECT_EQ(brevant_host::PluginSymbol(plugin_, name), nullptr) << name;
    }
}

TEST_F(EntryTest, PropertyListDeclaresTheGeneralPlugin) {
    const auto& p = plugin_.properties;
    EXPECT_EQ(p.resourceId, 16000);
    EXPECT_EQ(p.kind, "general");
    EXPECT_EQ(p.name, "Brevant");
    EXPECT_EQ(p.category, "Ignored");
    EXPECT_EQ(p.version, 0x00010000u);
    EXPECT_EQ(p.entryPoint, "BrevantMain");
    EXPECT_EQ(p.flags, 16u);
}

// A failing step: the earlier publications stay, later steps are skipped, the user hears of it
// once, and the step's code is the result. The object stays allocated without a death hook, so
// the test ends it itself.
TEST_F(EntryTest, FirstFailingStepIsReportedOnceAndReturned) {
    struct Case {
        const char* name;
        HostCall call;
        int skip;
        size_t published;
    } cases[] = {
        {"provider publication", HostCall::PublishSuite, 0, 0},
        {"monitor publication", HostCall::PublishSuite, 1, 1},
        {"death hook", HostCall::RegisterDeathHook, 0, 2},
    };
    auto entry = reinterpret_cast<HostPluginEntryFunc>(brevant_host::PluginSymbol(plugin_, "BrevantMain"));
    auto deathHook = reinterpret_cast<HostDeathHookFunc>(brevant_host::PluginSymbol(plugin_, "DeathHook"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StopPlugin();
        brevant_host::ResetHost();
        brevant_host::SetLogSink(brevant_host::LogSink::Recorder);
        brevant_host::SetFault(c.call, 77, c.skip, 1);
        void* refcon = nullptr;
        EXPECT_EQ(brevant_host::CallEntryPoint(entry, 9, &refcon), 77);
        EXPECT_EQ(brevant_host::PublishedSuites().size(), c.published);
        EXPECT_EQ(brevant_host::ReportedMessages(), std::vector<std::string>{"Error enabling Quillet."});
        EXPECT_EQ(brevant_host::RunDeathHooks(), 0);
        EXPECT_TRUE(brevant_host::HeldSuites().empty());
        deathHook(refcon, nullptr);
    }
}

TEST_F(EntryTest, MissingSuiteEndsTheEntryWithACodeInsteadOfACrash) {
    StopPlugin();
    brevant_host::ResetHost();
    brevant_host::SetLogSink(brevant_host::LogSink::Recorder);
    brevant_host::SetSuiteFault(kHostOrbSuitesSuite, kHostOrbSuitesSuiteVersion, 42);
    auto entry = reinterpret_cast<HostPluginEntryFunc>(brevant_host::PluginSymbol(plugin_, "BrevantMain"));
    void* refcon = nullptr;
    EXPECT_EQ(brevant_host::CallEntryPoint(entry, 9, &refcon), kBrevantErrSuiteMissing);
    EXPECT_TRUE(HasLine("Brevant", "MissingSuiteError", "whoops!"));
    EXPECT_EQ(brevant_host::ReportedMessages(), std::vector<std::string>{"Error enabling Quillet."});
    reinterpret_cast<HostDeathHookFunc>(brevant_host::PluginSymbol(plugin_, "DeathHook"))(refcon, nullptr);
}

TEST_F(EntryTest, DeathHookWithNullRefconClearsThePointerOnly) {
    auto deathHook = reinterpret_cast<HostDeathHookFunc>(brevant_host::PluginSymbol(plugin_, "DeathHook"));
    void* refcon = brevant_host::GlobalRefcon(plugin_.pluginId);
    ASSERT_NE(refcon, nullptr);
    brevant_host::ClearRecordedLog();
    EXPECT_EQ(deathHook(nullptr, nullptr), 0);
    EXPECT_EQ(LinesOf("BrevantPlugin"), std::vector<std::string>{"DeathHook: refcon=0"});
    std::shared_ptr<RQSession> session;
    EXPECT_EQ(provider_->Brevant_StartSession(&session), kBrevantErrNotRunning);
    EXPECT_EQ(session, nullptr);
    // The object itself was not deleted: the host's own call of the hook at tear-down ends it.
}

}  // namespace
