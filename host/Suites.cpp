// The suite registry behind the basic suite: the host's own suites and every suite that a
// plug-in publishes, by (name, version), with the use of each counted. Clients may acquire from
// other threads, so one mutex guards the registry; lookups allocate nothing.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/HostState.h"

namespace brevant_host {
namespace {

using SuiteKey = std::pair<std::string, int32_t>;
using SuiteKeyView = std::pair<std::string_view, int32_t>;

// Orders keys by name, then version, and finds a key from a view without building a string.
struct SuiteKeyLess {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
        const int byName = std::string_view(a.first).compare(std::string_view(b.first));
        return byName != 0 ? byName < 0 : a.second < b.second;
    }
};

struct SuiteEntry {
    const void* table = nullptr;  // null while nothing is registered under the pair
    bool hostOwned = false;
    bool published = false;
    int64_t acquired = 0;  // since the last ResetHost
    int64_t released = 0;
    int64_t held = 0;      // acquisitions not yet released; survives ResetHost
    int64_t refusedReleases = 0;
};

struct SuiteState {
    std::mutex mutex;
    std::map<SuiteKey, SuiteEntry, SuiteKeyLess> suites;
    std::vector<SuiteKey> publicationOrder;
    std::vector<std::string> messages;
    uintptr_t lastPublication = 0;

    SuiteState() {
        Register(kHostOrbSuitesSuite, kHostOrbSuitesSuiteVersion, core::OrbSuitesTable());
        Register(kHostRegisterSuite, kHostRegisterSuiteVersion, core::RegisterSuiteTable());
        Register(kHostUtilitySuite, kHostUtilitySuiteVersion, core::UtilitySuiteTable());
        Register(kHostMemorySuite, kHostMemorySuiteVersion, core::MemorySuiteTable());
    }
    void Register(const char* name, int32_t version, const void* table) {
        SuiteEntry& entry = suites[SuiteKey(name, version)];
        entry.table = table;
        entry.hostOwned = true;
    }
};

SuiteState& Suites() {
    static SuiteState state;
    return state;
}

extern "C" HostErr AcquireSuite(const char* name, int32_t version, const void** table) {
    core::ClaimMainThread();
    if (!name || !table) return kHostErrBadArgument;
    HostErr fault = kHostErrNone;
    if (core::TakeSuiteFault(name, version, &fault) || TakeFault(HostCall::AcquireSuite, &fault)) return fault;
    SuiteState& state = Suites();
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto found = state.suites.find(SuiteKeyView(name, version));
    if (found == state.suites.end() || !found->second.table) return kHostErrUnknownSuite;
    ++found->second.acquired;
    ++found->second.held;
    *table = found->second.table;
    return kHostErrNone;
}

extern "C" HostErr ReleaseSuite(const char* name, int32_t version) {
    core::ClaimMainThread();
    if (!name) return kHostErrBadArgument;
    SuiteState& state = Suites();
    int64_t refused = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        const auto found = state.suites.find(SuiteKeyView(name, version));
        if (found != state.suites.end() && found->second.held > 0) {
            ++found->second.released;
            --found->second.held;
            return kHostErrNone;
        }
        if (found != state.suites.end()) {
            refused = ++found->second.refusedReleases;
        } else {
            SuiteEntry& entry = state.suites[SuiteKey(name, version)];
            refused = ++entry.refusedReleases;
        }
    }
    HostLog(1, "StandInHost", "ReleaseSuite", "\"%s\" %d is not held (refused %lld time(s))", name, version,
            static_cast<long long>(refused));
    return kHostErrBadArgument;
}

const HostBasicSuite kBasicSuite = {AcquireSuite, ReleaseSuite};

extern "C" HostErr PublishSuite(void* /*reserved_a*/, void* /*reserved_b*/, const char* name, int32_t version,
                                int32_t /*internal_version*/, const void* table, void** out_ref) {
    core::ClaimMainThread();
    if (!name || !table) return kHostErrBadArgument;
    HostErr fault = kHostErrNone;
    if (TakeFault(HostCall::PublishSuite, &fault)) return fault;
    SuiteState& state = Suites();
    std::lock_guard<std::mutex> lock(state.mutex);
    SuiteEntry& entry = state.suites[SuiteKey(name, version)];
    // The host's own suites are not for a plug-in to replace.
    if (entry.hostOwned) return kHostErrBadArgument;
    entry.table = table;
    if (!entry.published) {
        entry.published = true;
        state.publicationOrder.emplace_back(name, version);
    }
    if (out_ref) *out_ref = reinterpret_cast<void*>(++state.lastPublication);
    return kHostErrNone;
}

extern "C" HostErr ReportMessage(int32_t plugin_id, const char* message) {
    core::ClaimMainThread();
    if (!message) return kHostErrBadArgument;
    {
        SuiteState& state = Suites();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.messages.emplace_back(message);
    }
    if (!core::SinkIsQuiet()) std::fprintf(stderr, "[message from plug-in %d] %s\n", plugin_id, message);
    return kHostErrNone;
}

const HostOrbSuitesSuite2 kOrbSuitesSuite = {nullptr, nullptr, PublishSuite};
const HostUtilitySuite7 kUtilitySuite = {ReportMessage};

}  // namespace

namespace core {

const void* OrbSuitesTable() { return &kOrbSuitesSuite; }
const void* UtilitySuiteTable() { return &kUtilitySuite; }

void ResetSuites() {
    SuiteState& state = Suites();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (auto it = state.suites.begin(); it != state.suites.end();) {
        SuiteEntry& entry = it->second;
        entry.acquired = 0;
        entry.released = 0;
        entry.refusedReleases = 0;
        if (!entry.hostOwned) {
            entry.table = nullptr;
            entry.published = false;
        }
        // A pair that is still held stays so that its release is accepted and its leak reported.
        if (!entry.hostOwned && entry.held == 0) {
            it = state.suites.erase(it);
        } else {
            ++it;
        }
    }
    state.publicationOrder.clear();
    state.messages.clear();
}

std::vector<std::string> SuiteLeaks() {
    std::vector<std::string> leaks;
    for (const auto& held : HeldSuites()) {
        leaks.push_back("suite \"" + held.first.first + "\" " + std::to_string(held.first.second) +
                        " still acquired " + std::to_string(held.second) + " time(s)");
    }
    return leaks;
}

}  // namespace core

const HostBasicSuite* BasicSuite() {
    core::ClaimMainThread();
    return &kBasicSuite;
}

std::map<std::pair<std::string, int32_t>, int64_t> HeldSuites() {
    core::ClaimMainThread();
    SuiteState& state = Suites();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::map<std::pair<std::string, int32_t>, int64_t> held;
    for (const auto& suite : state.suites) {
        if (suite.second.held > 0) held[suite.first] = suite.second.held;
    }
    return held;
}

SuiteCounts SuiteUse(const std::string& name, int32_t version) {
    core::ClaimMainThread();
    SuiteState& state = Suites();
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto found = state.suites.find(SuiteKeyView(name, version));
    if (found == state.suites.end()) return SuiteCounts{};
    return SuiteCounts{found->second.acquired, found->second.released};
}

std::vector<std::pair<std::string, int32_t>> PublishedSuites() {
    core::ClaimMainThread();
    SuiteState& state = Suites();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.publicationOrder;
}

std::vector<std::string> ReportedMessages() {
    core::ClaimMainThread();
    SuiteState& state = Suites();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.messages;
}

}  // namespace brevant_host
