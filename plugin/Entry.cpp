// The library's exported entry points: BrevantMain, called once by the host at start-up, and
// DeathHook, called at shutdown. Both run on the host's main thread.
#include "plugin/BrevantPlugin.h"
#include "plugin/Platform.h"
#include "plugin/SuiteHandler.h"
#include "plugin/Text.h"
#include "session/RQSession.h"
#include "suite/MonitorSuite.h"
#include "suite/SuiteBoundary.h"

namespace brevant {
namespace {

HostErr Brevant_StartSession(std::shared_ptr<RQSession>* outSession) {
    return CatchToHostCode([&]() -> HostErr {
        if (!HostIsOnMainThread()) {
            HostLog(0, "Contract Violation", "Brevant_StartSession",
                    "main-thread-only routine called on non-main thread");
        }
        HostLog(0, "Brevant", "Brevant_StartSession", "called");
        BrevantPlugin* plugin = RunningPlugin();
        if (!plugin || !outSession) return kBrevantErrNotRunning;
        return plugin->SessionCreate(outSession) ? kBrevantErrNone : kBrevantErrNotRunning;
    });
}

// Static tables: the host keeps their addresses from publication on.
const BrevantProviderSuite1 kProviderSuite = {Brevant_StartSession};

HostErr Publish(SuiteHandler& suites, const char* name, int32_t version, const void* table) {
    const HostOrbSuitesSuite2* orb = suites.OrbSuitesSuite();
    if (!orb || !orb->PublishSuite) return kBrevantErrSuiteMissing;
    void* reference = nullptr;
    return orb->PublishSuite(nullptr, nullptr, name, version, 1, table, &reference);
}

}  // namespace
}  // namespace brevant

using namespace brevant;

extern "C" BREVANT_EXPORT HostErr BrevantMain(const HostBasicSuite* basicSuite, int32_t /*majorVersion*/,
                                              int32_t /*minorVersion*/, int32_t pluginId, void** globalRefcon) {
    return CatchToHostCode([&]() -> HostErr {
        // Owned by the host through the global refcon until DeathHook deletes it, also when a
        // step below fails.
        auto* plugin = new BrevantPlugin(pluginId, basicSuite);
        SetRunningPlugin(plugin);
        if (globalRefcon) *globalRefcon = plugin;

        SuiteHandler suites(basicSuite);
        HostErr result = Publish(suites, kBrevantProviderSuite, kBrevantProviderSuiteVersion, &kProviderSuite);
        if (result == kHostErrNone) {
            result = Publish(suites, kBrevantMonitorSuite, kBrevantMonitorSuiteVersion, &kMonitorSuite);
        }
        if (result == kHostErrNone) {
            const HostRegisterSuite6* registry = suites.RegisterSuite();
            result = registry && registry->RegisterDeathHook
                         ? registry->RegisterDeathHook(pluginId, DeathHook, nullptr)
                         : kBrevantErrSuiteMissing;
        }
        if (result != kHostErrNone) {
            if (const HostUtilitySuite7* utility = suites.UtilitySuite()) {
                if (utility->ReportMessage) utility->ReportMessage(pluginId, "Error enabling Quillet.");
            }
        }
        return result;
    });
}

extern "C" BREVANT_EXPORT HostErr DeathHook(void* globalRefcon, void* /*hookRefcon*/) {
    try {
        HostLog(0, "BrevantPlugin", "DeathHook", "refcon=%x", LogAddress(globalRefcon));
        delete static_cast<BrevantPlugin*>(globalRefcon);
    } catch (...) {
        // The plug-in is going away regardless; nothing may reach the host's shutdown.
    }
    SetRunningPlugin(nullptr);
    return kHostErrNone;
}
