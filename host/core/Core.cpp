// The host as a whole: its main thread, its version, the exception report, and the reset and
// leak report that span every part.
//
// Every host entry point starts with ClaimMainThread, so the thread state is a zero-initialized
// global rather than a function-local static: once the main thread is known, the claim is one
// load, with no guard to test.
#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <typeinfo>

#include "host/core/HostState.h"

namespace brevant_host {
namespace {

struct ThreadState {
    // Left to zero-initialization (a thread::id of all zero bits is "no thread"): the default
    // constructor of the atomic is trivial, so no dynamic initializer runs, and a claim made from
    // a static initializer elsewhere is never overwritten.
    std::atomic<std::thread::id> main;
    std::atomic<uint64_t> offMainThreadCalls;
};

ThreadState gThreads;

ThreadState& Threads() { return gThreads; }

// What HostVersionString writes instead of the version's own text, when not empty.
std::string gVersionText;

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};

// The readable name of an exception's dynamic type, for the log.
std::string TypeName(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, FreeDeleter> readable(abi::__cxa_demangle(mangled, nullptr, nullptr, &status));
    return status == 0 && readable ? std::string(readable.get()) : std::string(mangled);
}

}  // namespace

namespace core {

void ClaimMainThread() {
    ThreadState& state = Threads();
    if (state.main.load(std::memory_order_acquire) != std::thread::id()) return;
    std::thread::id none;
    state.main.compare_exchange_strong(none, std::this_thread::get_id());
}

void ResetThreads() { Threads().offMainThreadCalls.store(0); }

}  // namespace core

void SetMainThread() { Threads().main.store(std::this_thread::get_id()); }

void SetVersionText(const std::string& text) {
    core::ClaimMainThread();
    gVersionText = text;
}

uint64_t OffMainThreadCalls() {
    core::ClaimMainThread();
    return Threads().offMainThreadCalls.load();
}

void ResetHost() {
    core::ClaimMainThread();
    core::ResetFaults();
    core::ResetLog();
    core::ResetThreads();
    core::ResetSuites();
    core::ResetMemory();
    core::ResetPlugins();
    gVersionText.clear();
}

std::vector<std::string> LeakReport() {
    core::ClaimMainThread();
    std::vector<std::string> leaks = core::SuiteLeaks();
    for (std::string& line : core::HandleLeaks()) leaks.push_back(std::move(line));
    return leaks;
}

}  // namespace brevant_host

using namespace brevant_host;

bool HostIsOnMainThread() {
    core::ClaimMainThread();
    ThreadState& state = Threads();
    if (state.main.load(std::memory_order_acquire) == std::this_thread::get_id()) return true;
    state.offMainThreadCalls.fetch_add(1, std::memory_order_relaxed);
    return false;
}

HostErr HostReportException(const std::exception& error) {
    core::ClaimMainThread();
    const HostErr code =
        dynamic_cast<const std::bad_alloc*>(&error) != nullptr ? kHostErrOutOfMemory : kHostErrGeneric;
    const char* what = error.what();
    HostLog(1, "StandInHost", "HostReportException", "%s: %s (code %d)", TypeName(error).c_str(),
            what ? what : "", code);
    return code;
}

int32_t HostAppVersion(int32_t selector) {
    core::ClaimMainThread();
    // Selector 0 is the application's version; the host answers no other.
    return selector == 0 ? core::kHostPackedVersion : 0;
}

HostErr HostVersionString(int32_t packed_version, bool long_form, char buffer[64]) {
    core::ClaimMainThread();
    if (!buffer) return kHostErrBadArgument;
    HostErr fault = kHostErrNone;
    if (TakeFault(HostCall::VersionString, &fault)) return fault;
    if (!gVersionText.empty()) {
        // 64 characters or more fill the buffer without a terminator.
        const size_t length = std::min<size_t>(gVersionText.size(), 64);
        std::memcpy(buffer, gVersionText.data(), length);
        if (length < 64) buffer[length] = '\0';
        return kHostErrNone;
    }
    const auto packed = static_cast<uint32_t>(packed_version);
    std::snprintf(buffer, 64, long_form ? "%u.%u.%u (Brevant stand-in host)" : "%u.%u.%u", packed >> 24,
                  (packed >> 16) & 0xFFu, (packed >> 8) & 0xFFu);
    return kHostErrNone;
}
