// The suite registry behind the basic suite: the host's own suites and every suite that a
// plug-in publishes, by (name, version), with the use of each counted.
//
// Clients acquire and release a suite around every operation, from any thread, so those two
// calls take no lock. The registry is a singly linked list of entries that only ever grows:
// an entry, once linked, keeps its address, its name and its version for the life of the
// process (ResetHost unpublishes it instead of unlinking it), so a reader walks the list with
// acquire loads while writers (PublishSuite, the first refused release of a pair, ResetHost)
// serialize on the mutex. Suites are few, and versions mostly tell them apart, so the walk
// compares the version first and the name only when it matches.
//
// Use is kept as two monotonic totals per entry: an acquisition adds one to `acquired`, a
// release moves `released` towards it with a compare-and-swap and is refused when it would pass
// it, so held (acquired - released) is exact and never negative. ResetHost records the totals as
// a base, which is what "since the last ResetHost" counts from; held is untouched by it.
//
// Releases of pairs never registered are refused on a slow path that counts them in a map under
// the mutex, so that a client releasing made-up names does not grow the list.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/core/HostState.h"

namespace brevant_host {
namespace {

using SuiteKey = std::pair<std::string, int32_t>;

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
    SuiteEntry(const char* suiteName, int32_t suiteVersion, bool ownedByHost)
        : name(suiteName), version(suiteVersion), hostOwned(ownedByHost) {}

    // Fixed before the entry is linked.
    const std::string name;
    const int32_t version;
    const bool hostOwned;

    std::atomic<const void*> table{nullptr};  // null while nothing is registered under the pair
    std::atomic<int64_t> acquired{0};         // since the process started
    std::atomic<int64_t> released{0};         // never more than acquired
    std::atomic<int64_t> refusedReleases{0};  // since the last ResetHost
    std::atomic<SuiteEntry*> next{nullptr};

    // Under the registry mutex.
    int64_t acquiredBase = 0;  // the totals at the last ResetHost
    int64_t releasedBase = 0;
    bool published = false;

    bool Is(const char* otherName, int32_t otherVersion) const {
        return version == otherVersion && std::strcmp(name.c_str(), otherName) == 0;
    }
    // [any-thread] One release, unless it would release more than was acquired.
    bool TryRelease() {
        int64_t done = released.load();
        while (done < acquired.load()) {
            if (released.compare_exchange_weak(done, done + 1)) return true;
        }
        return false;
    }
    // Read released first: acquired only grows, so the difference is never negative.
    int64_t Held() const {
        const int64_t done = released.load();
        return acquired.load() - done;
    }
};

struct SuiteState {
    std::mutex mutex;
    std::atomic<SuiteEntry*> head{nullptr};
    // Under the mutex.
    SuiteEntry* tail = nullptr;
    std::vector<std::unique_ptr<SuiteEntry>> entries;  // owns what the list links
    std::map<SuiteKey, int64_t, SuiteKeyLess> unknownRefusals;
    std::vector<SuiteKey> publicationOrder;
    std::vector<std::string> messages;
    uintptr_t lastPublication = 0;

    SuiteState() {
        std::lock_guard<std::mutex> lock(mutex);
        Register(kHostOrbSuitesSuite, kHostOrbSuitesSuiteVersion, core::OrbSuitesTable());
        Register(kHostRegisterSuite, kHostRegisterSuiteVersion, core::RegisterSuiteTable());
        Register(kHostUtilitySuite, kHostUtilitySuiteVersion, core::UtilitySuiteTable());
        Register(kHostMemorySuite, kHostMemorySuiteVersion, core::MemorySuiteTable());
    }
    void Register(const char* name, int32_t version, const void* table) {
        Append(name, version, true).table.store(table);
    }

    // [any-thread] No lock: entries are linked with release stores and never unlinked.
    SuiteEntry* Find(const char* name, int32_t version) const {
        for (SuiteEntry* entry = head.load(std::memory_order_acquire); entry;
             entry = entry->next.load(std::memory_order_acquire)) {
            if (entry->Is(name, version)) return entry;
        }
        return nullptr;
    }

    // Caller holds the mutex and has found no entry for the pair. Refusals the pair gathered
    // while unknown move into its entry.
    SuiteEntry& Append(const char* name, int32_t version, bool hostOwned) {
        entries.push_back(std::make_unique<SuiteEntry>(name, version, hostOwned));
        SuiteEntry* entry = entries.back().get();
        const auto refused = unknownRefusals.find(std::make_pair(std::string_view(name), version));
        if (refused != unknownRefusals.end()) {
            entry->refusedReleases.store(refused->second);
            unknownRefusals.erase(refused);
        }
        if (tail) {
            tail->next.store(entry, std::memory_order_release);
        } else {
            head.store(entry, std::memory_order_release);
        }
        tail = entry;
        return *entry;
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
    if (core::TakeSuiteFault(name, version, &fault) || core::TakeCallFault(HostCall::AcquireSuite, &fault)) {
        return fault;
    }
    SuiteEntry* entry = Suites().Find(name, version);
    const void* found = entry ? entry->table.load(std::memory_order_acquire) : nullptr;
    if (!found) return kHostErrUnknownSuite;
    entry->acquired.fetch_add(1);
    *table = found;
    return kHostErrNone;
}

extern "C" HostErr ReleaseSuite(const char* name, int32_t version) {
    core::ClaimMainThread();
    if (!name) return kHostErrBadArgument;
    SuiteState& state = Suites();
    SuiteEntry* entry = state.Find(name, version);
    if (entry && entry->TryRelease()) return kHostErrNone;
    int64_t refused = 0;
    if (entry) {
        refused = entry->refusedReleases.fetch_add(1) + 1;
    } else {
        std::lock_guard<std::mutex> lock(state.mutex);
        // The pair may have been published, and even acquired, since the walk above.
        entry = state.Find(name, version);
        if (entry && entry->TryRelease()) return kHostErrNone;
        if (entry) {
            refused = entry->refusedReleases.fetch_add(1) + 1;
        } else {
            try {
                auto found = state.unknownRefusals.find(std::make_pair(std::string_view(name), version));
                if (found == state.unknownRefusals.end()) {
                    found = state.unknownRefusals.emplace(SuiteKey(name, version), 0).first;
                }
                refused = ++found->second;
            } catch (const std::bad_alloc&) {
                // The refusal stands; only its count is lost.
            }
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
    if (core::TakeCallFault(HostCall::PublishSuite, &fault)) return fault;
    SuiteState& state = Suites();
    std::lock_guard<std::mutex> lock(state.mutex);
    try {
        SuiteEntry* entry = state.Find(name, version);
        // The host's own suites are not for a plug-in to replace.
        if (entry && entry->hostOwned) return kHostErrBadArgument;
        if (!entry) entry = &state.Append(name, version, false);
        if (!entry->published) state.publicationOrder.emplace_back(name, version);
        entry->published = true;
        entry->table.store(table, std::memory_order_release);
    } catch (const std::bad_alloc&) {
        return kHostErrOutOfMemory;
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
    // A message is for the user, so brevant-host shows it even with the log off; only tests that
    // record the log read messages from the record instead.
    if (!core::SinkIsRecorder()) std::fprintf(stderr, "[message from plug-in %d] %s\n", plugin_id, message);
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
    // Entries stay linked: a pair that is still held must have its release accepted and its leak
    // reported, and a reader may be walking past any of them.
    for (const auto& entry : state.entries) {
        entry->acquiredBase = entry->acquired.load();
        entry->releasedBase = entry->released.load();
        entry->refusedReleases.store(0);
        if (!entry->hostOwned) {
            entry->table.store(nullptr);
            entry->published = false;
        }
    }
    state.unknownRefusals.clear();
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
    for (const auto& entry : state.entries) {
        const int64_t count = entry->Held();
        if (count > 0) held[SuiteKey(entry->name, entry->version)] = count;
    }
    return held;
}

SuiteCounts SuiteUse(const std::string& name, int32_t version) {
    core::ClaimMainThread();
    SuiteState& state = Suites();
    std::lock_guard<std::mutex> lock(state.mutex);
    const SuiteEntry* entry = state.Find(name.c_str(), version);
    if (!entry) return SuiteCounts{};
    return SuiteCounts{entry->acquired.load() - entry->acquiredBase, entry->released.load() - entry->releasedBase};
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
