// Fault injection: any host call that can fail is made to fail on request, so that every failure
// path of a plug-in runs for real. TakeFault is asked on hot paths (each memory operation and
// suite acquisition), so while nothing is armed it answers from one load of an armed mask kept
// in a constant-initialized global (no guard to test); the armed faults themselves sit behind
// the mutex of the lazily built FaultState.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "host/core/HostState.h"

namespace brevant_host {
namespace {

constexpr int kCallCount = static_cast<int>(HostCall::CompressJpeg) + 1;

struct ArmedFault {
    bool armed = false;
    HostErr code = kHostErrGeneric;
    int skip = 0;    // uses still to let through
    int times = -1;  // failures still to come; -1 for every use after the skipped ones
};

struct FaultState {
    std::mutex mutex;
    ArmedFault calls[kCallCount];
    // (name, version) -> code; each acquisition of the pair fails until ClearFaults.
    std::map<std::pair<std::string, int32_t>, HostErr, std::less<>> suites;
};

// Bit i is set while calls[i] is armed; bit kCallCount while a suite fault exists. Changed under
// FaultState's mutex, read without it.
std::atomic<uint32_t> gArmedMask{0};

FaultState& Faults() {
    static FaultState state;
    return state;
}

constexpr uint32_t kSuiteFaultBit = 1u << kCallCount;

// A fault must fail its call: code 0 would make the call skip its work and report success.
HostErr FailingCode(HostErr code) { return code == kHostErrNone ? kHostErrGeneric : code; }

}  // namespace

void SetFault(HostCall call, HostErr code, int skip, int times) {
    core::ClaimMainThread();
    const int index = static_cast<int>(call);
    if (index < 0 || index >= kCallCount) return;
    FaultState& state = Faults();
    std::lock_guard<std::mutex> lock(state.mutex);
    ArmedFault& fault = state.calls[index];
    fault.armed = times != 0;
    fault.code = FailingCode(code);
    fault.skip = skip > 0 ? skip : 0;
    fault.times = times < 0 ? -1 : times;
    if (fault.armed) {
        gArmedMask.fetch_or(1u << index);
    } else {
        gArmedMask.fetch_and(~(1u << index));
    }
}

void SetSuiteFault(const std::string& name, int32_t version, HostErr code) {
    core::ClaimMainThread();
    FaultState& state = Faults();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.suites[{name, version}] = FailingCode(code);
    gArmedMask.fetch_or(kSuiteFaultBit);
}

void ClearFaults() {
    core::ClaimMainThread();
    core::ResetFaults();
}

bool TakeFault(HostCall call, HostErr* code) {
    core::ClaimMainThread();
    return core::TakeCallFault(call, code);
}

namespace core {

bool TakeCallFault(HostCall call, HostErr* code) {
    const int index = static_cast<int>(call);
    if (index < 0 || index >= kCallCount) return false;
    if ((gArmedMask.load(std::memory_order_acquire) & (1u << index)) == 0) return false;
    FaultState& state = Faults();
    std::lock_guard<std::mutex> lock(state.mutex);
    ArmedFault& fault = state.calls[index];
    if (!fault.armed) return false;
    if (fault.skip > 0) {
        --fault.skip;
        return false;
    }
    if (fault.times > 0 && --fault.times == 0) {
        fault.armed = false;
        gArmedMask.fetch_and(~(1u << index));
    }
    if (code) *code = fault.code;
    return true;
}

bool TakeSuiteFault(const char* name, int32_t version, HostErr* code) {
    if ((gArmedMask.load(std::memory_order_acquire) & kSuiteFaultBit) == 0 || !name) return false;
    FaultState& state = Faults();
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto found = state.suites.find(std::make_pair(std::string(name), version));
    if (found == state.suites.end()) return false;
    if (code) *code = found->second;
    return true;
}

void ResetFaults() {
    FaultState& state = Faults();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (ArmedFault& fault : state.calls) fault = ArmedFault{};
    state.suites.clear();
    gArmedMask.store(0);
}

}  // namespace core
}  // namespace brevant_host
