// Start-up and shutdown through the exported names, as the host does them.
#include "support/PluginFixture.h"

using namespace brevant_test;
using brevant_host::HostCall;

namespace {

class EntryTest : public PluginFixture {
protected:
    HostDeathHookFunc DeathHook() {
        return reinterpret_cast<HostDeathHookFunc>(brevant_host::PluginSymbol(plugin_, "DeathHook"));
    }
};

// The plug-in holds no suite itself (the fixture's two are held) and exports only its entry points.
// (Its property list, as the host reads it, is in the cli tests' records.)
TEST_F(EntryTest, DeclaresItselfPublishesBothSuitesAndExportsOnlyItsEntryPoints) {
    EXPECT_EQ(brevant_host::PublishedSuites(),
              (std::vector<std::pair<std::string, int32_t>>{{"Brevant Provider Suite", 1}, {"KOVA Brevant Suite", 1}}));
    EXPECT_TRUE(brevant_host::ReportedMessages().empty());
    EXPECT_EQ(brevant_host::HeldSuites().size(), 2u);
    ASSERT_EQ(LinesOf("BrevantPlugin").size(), 1u);
    EXPECT_EQ(LinesOf("BrevantPlugin")[0].rfind("ctor: created=", 0), 0u);
    for (const char* name : {"BrevantMain", "DeathHook", "_ZTV9RQSession", "_ZN9RQSessionC2Ev", "_ZN9RQSessionD2Ev",
                             "_ZN9RQSessionC2ERKS_", "_ZN9RQSessionaSERKS_"}) {
        EXPECT_NE(brevant_host::PluginSymbol(plugin_, name), nullptr) << name;
    }
    for (const char* name : {"_ZN7brevant13RunningPluginEv", "Brevant_StartSession", "Brevant_GetNumJobItems",
                             "_ZN7brevant12SuiteHandler17MissingSuiteErrorEv"}) {
        EXPECT_EQ(brevant_host::PluginSymbol(plugin_, name), nullptr) << name;
    }
}

// Without a death hook the object stays allocated, so the test ends it itself. A suite that
// cannot be acquired answers the missing-suite code; a failing publication or registration its own.
TEST_F(EntryTest, FirstFailingStepIsReportedOnceAndReturned) {
    const struct { const char* name; HostCall call; int skip; HostErr expected; size_t published;
                   const char* missingSuite; int32_t missingVersion; } cases[] = {
        {"provider publication", HostCall::PublishSuite, 0, 77, 0, nullptr, 0},
        {"monitor publication", HostCall::PublishSuite, 1, 77, 1, nullptr, 0},
        {"death hook", HostCall::RegisterDeathHook, 0, 77, 2, nullptr, 0},
        {"no Orb Suites Suite", HostCall::AcquireSuite, 0, 0x42560001, 0, kHostOrbSuitesSuite,
         kHostOrbSuitesSuiteVersion},
        {"no Register Suite", HostCall::AcquireSuite, 0, 0x42560001, 2, kHostRegisterSuite, kHostRegisterSuiteVersion},
    };
    auto entry = reinterpret_cast<HostPluginEntryFunc>(brevant_host::PluginSymbol(plugin_, "BrevantMain"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StopPlugin();
        brevant_host::ResetHost();
        brevant_host::SetLogSink(brevant_host::LogSink::Recorder);
        if (c.missingSuite) brevant_host::SetSuiteFault(c.missingSuite, c.missingVersion, 42);
        if (!c.missingSuite) brevant_host::SetFault(c.call, 77, c.skip, 1);
        void* refcon = nullptr;
        EXPECT_EQ(brevant_host::CallEntryPoint(entry, 9, &refcon), c.expected);
        EXPECT_EQ(brevant_host::PublishedSuites().size(), c.published);
        EXPECT_EQ(brevant_host::ReportedMessages(), std::vector<std::string>{"Error enabling Quillet."});
        EXPECT_EQ(HasLine("Brevant", "MissingSuiteError", "whoops!"), c.missingSuite != nullptr);
        EXPECT_EQ(brevant_host::RunDeathHooks(), 0);
        EXPECT_TRUE(brevant_host::HeldSuites().empty());
        DeathHook()(refcon, nullptr);
    }
}

// The object itself is not deleted: the host's own call of the hook at tear-down ends it.
TEST_F(EntryTest, DeathHookWithNullRefconClearsThePointerOnly) {
    ASSERT_NE(brevant_host::GlobalRefcon(plugin_.pluginId), nullptr);
    brevant_host::ClearRecordedLog();
    EXPECT_EQ(DeathHook()(nullptr, nullptr), 0);
    EXPECT_EQ(LinesOf("BrevantPlugin"), std::vector<std::string>{"DeathHook: refcon=0"});
    std::shared_ptr<RQSession> session;
    EXPECT_EQ(provider_->Brevant_StartSession(&session), 1);
    EXPECT_EQ(session, nullptr);
}

}  // namespace
