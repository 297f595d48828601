// "KOVA Memory Suite" 1: real blocks behind opaque, checked handles.
//
// A handle is a token, not an address: tag (bits 56-63), generation (bits 24-55) and slot
// (bits 0-23) of a slot table. A slot is reused only with a higher generation and retired
// before its generation could wrap, so no token is ever handed out twice in a process, and a
// freed token is refused instead of reaching a later block. The tag makes the token a
// non-canonical address: a plug-in that dereferences a handle faults at once.
//
// The plug-ins make and free handles on every string they hand over, so each call costs one
// lock, one allocation (the block holds the bytes, then the label) and no log line.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "host/HostState.h"

namespace brevant_host {
namespace {

static_assert(sizeof(void*) == 8, "handle tokens are 64-bit");

constexpr uint64_t kTokenTag = uint64_t{0xB5} << 56;
constexpr uint64_t kSlotBits = 24;
constexpr uint64_t kMaxSlots = uint64_t{1} << kSlotBits;
constexpr uint32_t kLastGeneration = 0xFFFFFFFFu;
constexpr uint64_t kMaxBlockSize = uint64_t{1} << 30;
constexpr size_t kMaxLabelLength = 4096;
constexpr unsigned char kUnclearedFill = 0xCD;  // makes a missing terminator show

struct FreeDeleter {
    void operator()(unsigned char* block) const { std::free(block); }
};

struct Slot {
    uint32_t generation = 0;  // of the live handle, or of the last one freed
    bool live = false;
    int32_t ownerId = 0;
    int32_t flags = 0;
    int32_t lockCount = 0;
    uint64_t size = 0;
    uint64_t serial = 0;  // creation order, for reports
    std::unique_ptr<unsigned char, FreeDeleter> block;
    const char* Label() const { return reinterpret_cast<const char*>(block.get() + size); }
};

struct MemoryState {
    std::mutex mutex;
    std::vector<Slot> slots;
    std::vector<uint32_t> freeSlots;
    uint64_t liveCount = 0;
    uint64_t serial = 0;
    HandleCounts counts;
};

MemoryState& Memory() {
    static MemoryState state;
    return state;
}

HostMemoryHandle MakeToken(uint32_t slot, uint32_t generation) {
    return reinterpret_cast<HostMemoryHandle>(kTokenTag | (uint64_t{generation} << kSlotBits) | slot);
}

// The live slot that `handle` names, or null. Caller holds the mutex.
Slot* LiveSlot(MemoryState& state, HostMemoryHandle handle) {
    const auto token = reinterpret_cast<uint64_t>(handle);
    if ((token & (uint64_t{0xFF} << 56)) != kTokenTag) return nullptr;
    const uint64_t index = token & (kMaxSlots - 1);
    const auto generation = static_cast<uint32_t>(token >> kSlotBits);
    if (index >= state.slots.size()) return nullptr;
    Slot& slot = state.slots[index];
    return slot.live && slot.generation == generation ? &slot : nullptr;
}

HostErr Refuse(MemoryState& state, HostErr code) {
    ++state.counts.refused;
    return code;
}

extern "C" HostErr MemCreate(int32_t plugin_id, const char* label, uint64_t size, int32_t flags,
                             HostMemoryHandle* out_handle) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    if (!out_handle) {
        std::lock_guard<std::mutex> lock(state.mutex);
        return Refuse(state, kHostErrBadArgument);
    }
    HostErr fault = kHostErrNone;
    if (TakeFault(HostCall::MemCreate, &fault)) return fault;
    if (size > kMaxBlockSize) return kHostErrOutOfMemory;

    const size_t labelLength = label ? strnlen(label, kMaxLabelLength) : 0;
    const size_t total = static_cast<size_t>(size) + labelLength + 1;
    const bool clear = (flags & kHostMemFlagClear) != 0;
    std::unique_ptr<unsigned char, FreeDeleter> block(
        static_cast<unsigned char*>(clear ? std::calloc(1, total) : std::malloc(total)));
    if (!block) return kHostErrOutOfMemory;
    if (!clear) std::memset(block.get(), kUnclearedFill, static_cast<size_t>(size));
    if (labelLength > 0) std::memcpy(block.get() + size, label, labelLength);
    block.get()[size + labelLength] = 0;

    std::lock_guard<std::mutex> lock(state.mutex);
    uint32_t index;
    if (!state.freeSlots.empty()) {
        index = state.freeSlots.back();
        state.freeSlots.pop_back();
    } else if (state.slots.size() < kMaxSlots) {
        index = static_cast<uint32_t>(state.slots.size());
        state.slots.emplace_back();
    } else {
        return kHostErrOutOfMemory;
    }
    Slot& slot = state.slots[index];
    ++slot.generation;
    slot.live = true;
    slot.ownerId = plugin_id;
    slot.flags = flags;
    slot.lockCount = 0;
    slot.size = size;
    slot.serial = ++state.serial;
    slot.block = std::move(block);
    ++state.liveCount;
    ++state.counts.created;
    *out_handle = MakeToken(index, slot.generation);
    return kHostErrNone;
}

// A locked handle may be freed: the host owns the block, and a plug-in that failed to unlock
// must still be able to give it back.
extern "C" HostErr MemFree(HostMemoryHandle handle) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::unique_ptr<unsigned char, FreeDeleter> released;  // freed after the lock is dropped
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        Slot* slot = LiveSlot(state, handle);
        if (!slot) return Refuse(state, kHostErrBadHandle);
        HostErr fault = kHostErrNone;
        if (TakeFault(HostCall::MemFree, &fault)) return fault;
        released = std::move(slot->block);
        slot->live = false;
        slot->lockCount = 0;
        if (slot->generation != kLastGeneration) {
            state.freeSlots.push_back(static_cast<uint32_t>(slot - state.slots.data()));
        }
        --state.liveCount;
        ++state.counts.freed;
    }
    return kHostErrNone;
}

// Lock and unlock count every call that reaches a live handle, a failed one included, so that a
// test sees that the plug-in tried.
extern "C" HostErr MemLock(HostMemoryHandle handle, void** out_block) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    Slot* slot = LiveSlot(state, handle);
    if (!slot) return Refuse(state, kHostErrBadHandle);
    if (!out_block) return Refuse(state, kHostErrBadArgument);
    ++state.counts.locked;
    HostErr fault = kHostErrNone;
    if (TakeFault(HostCall::MemLock, &fault)) return fault;
    ++slot->lockCount;
    *out_block = slot->block.get();
    return kHostErrNone;
}

extern "C" HostErr MemUnlock(HostMemoryHandle handle) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    Slot* slot = LiveSlot(state, handle);
    if (!slot || slot->lockCount == 0) return Refuse(state, kHostErrBadHandle);
    ++state.counts.unlocked;
    HostErr fault = kHostErrNone;
    if (TakeFault(HostCall::MemUnlock, &fault)) return fault;
    --slot->lockCount;
    return kHostErrNone;
}

extern "C" HostErr MemSize(HostMemoryHandle handle, uint64_t* out_size) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    Slot* slot = LiveSlot(state, handle);
    if (!slot) return Refuse(state, kHostErrBadHandle);
    if (!out_size) return Refuse(state, kHostErrBadArgument);
    *out_size = slot->size;
    return kHostErrNone;
}

const HostMemorySuite1 kMemorySuite = {MemCreate, MemFree, MemLock, MemUnlock, MemSize};

// Live slots in creation order. Caller holds the mutex.
std::vector<uint32_t> LiveSlotsInOrder(const MemoryState& state) {
    std::vector<uint32_t> live;
    live.reserve(state.liveCount);
    for (uint32_t i = 0; i < state.slots.size(); ++i) {
        if (state.slots[i].live) live.push_back(i);
    }
    std::sort(live.begin(), live.end(),
              [&](uint32_t a, uint32_t b) { return state.slots[a].serial < state.slots[b].serial; });
    return live;
}

}  // namespace

namespace core {

const void* MemorySuiteTable() { return &kMemorySuite; }

void ResetMemory() {
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.counts = HandleCounts{};
}

std::vector<std::string> HandleLeaks() {
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<std::string> leaks;
    for (uint32_t index : LiveSlotsInOrder(state)) {
        const Slot& slot = state.slots[index];
        char token[24];
        std::snprintf(token, sizeof token, "0x%016llx",
                      static_cast<unsigned long long>(reinterpret_cast<uint64_t>(MakeToken(index, slot.generation))));
        leaks.push_back(std::string("handle ") + token + " (" + slot.Label() + ", " + std::to_string(slot.size) +
                        " bytes, owner " + std::to_string(slot.ownerId) + ") never freed");
    }
    return leaks;
}

}  // namespace core

uint64_t LiveHandleCount() {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.liveCount;
}

std::vector<HostMemoryHandle> LiveHandles() {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<HostMemoryHandle> handles;
    for (uint32_t index : LiveSlotsInOrder(state)) handles.push_back(MakeToken(index, state.slots[index].generation));
    return handles;
}

bool InspectHandle(HostMemoryHandle handle, HandleInfo* out) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    const Slot* slot = LiveSlot(state, handle);
    if (!slot) return false;
    if (out) {
        const unsigned char* bytes = slot->block.get();
        *out = HandleInfo{slot->ownerId, slot->Label(), slot->size, slot->flags, slot->lockCount,
                          std::vector<uint8_t>(bytes, bytes + slot->size)};
    }
    return true;
}

HandleCounts HandleUse() {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.counts;
}

bool ReadStringHandle(HostMemoryHandle handle, HostString* out) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    const Slot* slot = LiveSlot(state, handle);
    if (!slot || !out) return false;
    const unsigned char* bytes = slot->block.get();
    HostString text;
    for (uint64_t i = 0; i + 1 < slot->size; i += 2) {
        const auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    *out = std::move(text);
    return true;
}

}  // namespace brevant_host
