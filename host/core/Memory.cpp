// "KOVA Memory Suite" 1: real blocks behind opaque, checked handles.
//
// A handle is a token, not an address: tag (bits 56-63), generation (bits 24-55) and slot
// (bits 0-23) of a slot table. A slot is reused only with a higher generation and retired
// before its generation could wrap, so no token is ever handed out twice in a process, and a
// freed token is refused instead of reaching a later block. The tag makes the token a
// non-canonical address: a plug-in that dereferences a handle faults at once.
//
// The plug-ins make, lock, unlock and free a handle for every string they hand over, from any
// thread, so the four calls are kept cheap:
// - Each slot has one atomic state word: generation (bits 32-63), live (bit 31) and lock count
//   (bits 0-30). MemLock and MemUnlock validate the token and change the lock count with one
//   compare-and-swap on that word, without the mutex; MemCreate and MemFree (which also move
//   slots on and off the free list) take the mutex, and so do the rarely used readers.
// - Slots live in fixed-size segments that are never moved or freed while the process runs, so
//   a lock-free reader can index them while another thread adds a segment.
// - MemLock and MemUnlock count themselves in a per-thread shard of counters that only its
//   thread writes (a plain store, no read-modify-write); HandleUse adds the shards up. A shard
//   outlives its thread and is handed to the next new thread.
// - A block holds exactly the bytes asked for, from malloc (which, unlike calloc, serves small
//   blocks from the thread's cache), cleared or filled with memset. The label is copied into
//   its slot: the caller owns the pointer, and short labels fit in the string without an
//   allocation.
// No call writes a log line.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host/core/HostState.h"

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

constexpr uint32_t kSegmentBits = 10;
constexpr uint32_t kSegmentSlots = uint32_t{1} << kSegmentBits;
constexpr uint32_t kSegmentCount = static_cast<uint32_t>(kMaxSlots >> kSegmentBits);

// The slot's state word.
constexpr uint64_t kLiveBit = uint64_t{1} << 31;
constexpr uint64_t kLockMask = kLiveBit - 1;
uint32_t GenerationOf(uint64_t word) { return static_cast<uint32_t>(word >> 32); }
uint64_t LockCountOf(uint64_t word) { return word & kLockMask; }
bool IsLive(uint64_t word, uint32_t generation) {
    return (word & kLiveBit) != 0 && GenerationOf(word) == generation;
}
uint64_t LiveWord(uint32_t generation) { return (uint64_t{generation} << 32) | kLiveBit; }
uint64_t DeadWord(uint32_t generation) { return uint64_t{generation} << 32; }

struct FreeDeleter {
    void operator()(unsigned char* block) const { std::free(block); }
};

struct Slot {
    // Changed by MemCreate and MemFree under the mutex, by MemLock and MemUnlock without it.
    std::atomic<uint64_t> state{0};
    // Set by MemCreate before the word goes live; read by MemLock before its compare-and-swap,
    // which fails if the slot changed meanwhile. Owned by the slot while it is live.
    std::atomic<unsigned char*> block{nullptr};
    // Under the mutex; written only by MemCreate, while the slot is dead.
    int32_t ownerId = 0;
    int32_t flags = 0;
    uint64_t size = 0;
    uint64_t serial = 0;  // creation order, for reports
    std::string label;
};

// Counts of one thread's MemLock and MemUnlock calls. Only the thread that holds the shard
// writes it; anyone may read it.
struct CounterShard {
    std::atomic<uint64_t> locked{0};
    std::atomic<uint64_t> unlocked{0};
};

void Bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
void Unbump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

struct MemoryState {
    std::mutex mutex;
    // Published with release stores under the mutex; never replaced once set.
    std::atomic<Slot*> segments[kSegmentCount] = {};
    // Everything below is under the mutex.
    std::vector<std::unique_ptr<Slot[]>> ownedSegments;
    uint32_t slotCount = 0;
    std::vector<uint32_t> freeSlots;  // capacity for every slot, so MemFree never allocates
    uint64_t liveCount = 0;
    uint64_t serial = 0;
    uint64_t created = 0;
    uint64_t freed = 0;
    uint64_t refused = 0;
    std::vector<std::unique_ptr<CounterShard>> shards;
    std::vector<CounterShard*> idleShards;  // capacity for every shard
    uint64_t lockedBase = 0;                // the shards' sums at the last ResetHost
    uint64_t unlockedBase = 0;
    // For a thread that could not get a shard (no memory for one): counted by everyone.
    std::atomic<uint64_t> sharedLocked{0};
    std::atomic<uint64_t> sharedUnlocked{0};
};

inline MemoryState& Memory() {
    static MemoryState state;
    return state;
}

// The calling thread's shard, taken on its first MemLock or MemUnlock. Initial-exec: the host
// library is loaded with the program, and the general model costs a call per access.
__attribute__((tls_model("initial-exec"))) thread_local CounterShard* tShard = nullptr;

// Gives the thread's shard back when the thread ends.
struct ShardReturn {
    bool armed = false;
    ~ShardReturn() {
        if (!armed || !tShard) return;
        MemoryState& state = Memory();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.idleShards.push_back(tShard);
        tShard = nullptr;
    }
};
thread_local ShardReturn tShardReturn;

// Null only when no shard could be allocated; the calls then count under the mutex.
CounterShard* TakeShard(MemoryState& state) {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.idleShards.empty()) {
        try {
            state.idleShards.reserve(state.shards.size() + 1);
            state.shards.push_back(std::make_unique<CounterShard>());
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        state.idleShards.push_back(state.shards.back().get());
    }
    tShard = state.idleShards.back();
    state.idleShards.pop_back();
    tShardReturn.armed = true;
    return tShard;
}

enum class Counter { Locked, Unlocked };

// Counts one call, or takes one back when its compare-and-swap found the handle gone.
void Count(MemoryState& state, Counter which, bool undo = false) {
    CounterShard* shard = tShard ? tShard : TakeShard(state);
    if (!shard) {
        std::atomic<uint64_t>& counter = which == Counter::Locked ? state.sharedLocked : state.sharedUnlocked;
        if (undo) {
            counter.fetch_sub(1, std::memory_order_relaxed);
        } else {
            counter.fetch_add(1, std::memory_order_relaxed);
        }
        return;
    }
    std::atomic<uint64_t>& counter = which == Counter::Locked ? shard->locked : shard->unlocked;
    if (undo) {
        Unbump(counter);
    } else {
        Bump(counter);
    }
}

HostMemoryHandle MakeToken(uint32_t slot, uint32_t generation) {
    return reinterpret_cast<HostMemoryHandle>(kTokenTag | (uint64_t{generation} << kSlotBits) | slot);
}

// [any-thread] The slot at `index`, or null when its segment does not exist yet.
Slot* SlotAt(const MemoryState& state, uint64_t index) {
    if (index >= kMaxSlots) return nullptr;
    Slot* segment = state.segments[index >> kSegmentBits].load(std::memory_order_acquire);
    return segment ? &segment[index & (kSegmentSlots - 1)] : nullptr;
}

struct Token {
    Slot* slot = nullptr;  // null for a token that names no slot
    uint32_t generation = 0;
};

// [any-thread] Decodes a token without trusting it; the state word says whether it is live.
Token Decode(const MemoryState& state, HostMemoryHandle handle) {
    const auto token = reinterpret_cast<uint64_t>(handle);
    if ((token & (uint64_t{0xFF} << 56)) != kTokenTag) return Token{};
    return Token{SlotAt(state, token & (kMaxSlots - 1)), static_cast<uint32_t>(token >> kSlotBits)};
}

// The live slot that `handle` names, or null. Caller holds the mutex.
Slot* LiveSlot(const MemoryState& state, HostMemoryHandle handle) {
    const Token token = Decode(state, handle);
    return token.slot && IsLive(token.slot->state.load(), token.generation) ? token.slot : nullptr;
}

// Caller holds the mutex.
HostErr Refuse(MemoryState& state, HostErr code) {
    ++state.refused;
    return code;
}

HostErr RefuseUnlocked(MemoryState& state, HostErr code) {
    std::lock_guard<std::mutex> lock(state.mutex);
    return Refuse(state, code);
}

// A dead slot for MemCreate, adding a segment when every slot is taken. Caller holds the mutex.
Slot* TakeSlot(MemoryState& state, uint32_t* index) {
    if (!state.freeSlots.empty()) {
        *index = state.freeSlots.back();
        state.freeSlots.pop_back();
        return SlotAt(state, *index);
    }
    if (state.slotCount >= kMaxSlots) return nullptr;
    const uint32_t segment = state.slotCount >> kSegmentBits;
    try {
        state.freeSlots.reserve(state.slotCount + 1);
        if ((state.slotCount & (kSegmentSlots - 1)) == 0) {
            state.ownedSegments.push_back(std::make_unique<Slot[]>(kSegmentSlots));
            state.segments[segment].store(state.ownedSegments.back().get(), std::memory_order_release);
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    *index = state.slotCount++;
    return SlotAt(state, *index);
}

extern "C" HostErr MemCreate(int32_t plugin_id, const char* label, uint64_t size, int32_t flags,
                             HostMemoryHandle* out_handle) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    if (!out_handle) return RefuseUnlocked(state, kHostErrBadArgument);
    HostErr fault = kHostErrNone;
    if (core::TakeCallFault(HostCall::MemCreate, &fault)) return fault;
    if (size > kMaxBlockSize) return kHostErrOutOfMemory;

    const size_t labelLength = label ? strnlen(label, kMaxLabelLength) : 0;
    const auto bytes = static_cast<size_t>(size);
    // One byte at least, so that an empty block is still a distinct, non-null address.
    std::unique_ptr<unsigned char, FreeDeleter> block(static_cast<unsigned char*>(std::malloc(bytes > 0 ? bytes : 1)));
    if (!block) return kHostErrOutOfMemory;
    std::memset(block.get(), (flags & kHostMemFlagClear) != 0 ? 0 : kUnclearedFill, bytes);

    std::lock_guard<std::mutex> lock(state.mutex);
    uint32_t index = 0;
    Slot* slot = TakeSlot(state, &index);
    if (!slot) return kHostErrOutOfMemory;
    try {
        slot->label.assign(label ? label : "", labelLength);
    } catch (const std::bad_alloc&) {
        state.freeSlots.push_back(index);
        return kHostErrOutOfMemory;
    }
    const uint32_t generation = GenerationOf(slot->state.load(std::memory_order_relaxed)) + 1;
    slot->ownerId = plugin_id;
    slot->flags = flags;
    slot->size = size;
    slot->serial = ++state.serial;
    slot->block.store(block.release(), std::memory_order_relaxed);
    slot->state.store(LiveWord(generation), std::memory_order_release);
    ++state.liveCount;
    ++state.created;
    *out_handle = MakeToken(index, generation);
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
        const Token token = Decode(state, handle);
        if (!token.slot) return Refuse(state, kHostErrBadHandle);
        uint64_t word = token.slot->state.load();
        if (!IsLive(word, token.generation)) return Refuse(state, kHostErrBadHandle);
        HostErr fault = kHostErrNone;
        if (core::TakeCallFault(HostCall::MemFree, &fault)) return fault;
        // Only the lock count can change under the mutex; retry until it holds still.
        while (!token.slot->state.compare_exchange_weak(word, DeadWord(token.generation))) {
        }
        // Only MemCreate and MemFree write the pointer, both under the mutex: no exchange needed.
        released.reset(token.slot->block.load(std::memory_order_relaxed));
        token.slot->block.store(nullptr, std::memory_order_relaxed);
        if (token.generation != kLastGeneration) {
            state.freeSlots.push_back(static_cast<uint32_t>(reinterpret_cast<uint64_t>(handle) & (kMaxSlots - 1)));
        }
        --state.liveCount;
        ++state.freed;
    }
    return kHostErrNone;
}

// Lock and unlock count every call that reaches a live handle, a failed one included, so that a
// test sees that the plug-in tried.
extern "C" HostErr MemLock(HostMemoryHandle handle, void** out_block) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    const Token token = Decode(state, handle);
    uint64_t word = token.slot ? token.slot->state.load() : 0;
    if (!token.slot || !IsLive(word, token.generation)) return RefuseUnlocked(state, kHostErrBadHandle);
    if (!out_block) return RefuseUnlocked(state, kHostErrBadArgument);
    Count(state, Counter::Locked);
    HostErr fault = kHostErrNone;
    if (core::TakeCallFault(HostCall::MemLock, &fault)) return fault;
    for (;;) {
        if (!IsLive(word, token.generation) || LockCountOf(word) == kLockMask) {
            // Freed by another thread since the check above, or locked past counting.
            Count(state, Counter::Locked, true);
            return RefuseUnlocked(state, IsLive(word, token.generation) ? kHostErrBadArgument : kHostErrBadHandle);
        }
        // Read before the swap: if the swap succeeds, nothing freed the slot in between.
        unsigned char* block = token.slot->block.load(std::memory_order_relaxed);
        if (token.slot->state.compare_exchange_weak(word, word + 1)) {
            *out_block = block;
            return kHostErrNone;
        }
    }
}

extern "C" HostErr MemUnlock(HostMemoryHandle handle) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    const Token token = Decode(state, handle);
    uint64_t word = token.slot ? token.slot->state.load() : 0;
    if (!token.slot || !IsLive(word, token.generation) || LockCountOf(word) == 0) {
        return RefuseUnlocked(state, kHostErrBadHandle);
    }
    Count(state, Counter::Unlocked);
    HostErr fault = kHostErrNone;
    if (core::TakeCallFault(HostCall::MemUnlock, &fault)) return fault;
    while (!token.slot->state.compare_exchange_weak(word, word - 1)) {
        if (!IsLive(word, token.generation) || LockCountOf(word) == 0) {
            // Freed or unlocked by another thread since the check above.
            Count(state, Counter::Unlocked, true);
            return RefuseUnlocked(state, kHostErrBadHandle);
        }
    }
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
    for (uint32_t i = 0; i < state.slotCount; ++i) {
        if ((SlotAt(state, i)->state.load() & kLiveBit) != 0) live.push_back(i);
    }
    std::sort(live.begin(), live.end(),
              [&](uint32_t a, uint32_t b) { return SlotAt(state, a)->serial < SlotAt(state, b)->serial; });
    return live;
}

// The shards' sums. Caller holds the mutex.
void SumShards(const MemoryState& state, uint64_t* locked, uint64_t* unlocked) {
    *locked = state.sharedLocked.load(std::memory_order_relaxed);
    *unlocked = state.sharedUnlocked.load(std::memory_order_relaxed);
    for (const auto& shard : state.shards) {
        *locked += shard->locked.load(std::memory_order_relaxed);
        *unlocked += shard->unlocked.load(std::memory_order_relaxed);
    }
}

}  // namespace

namespace core {

const void* MemorySuiteTable() { return &kMemorySuite; }

void ResetMemory() {
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.created = 0;
    state.freed = 0;
    state.refused = 0;
    SumShards(state, &state.lockedBase, &state.unlockedBase);
}

std::vector<std::string> HandleLeaks() {
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<std::string> leaks;
    for (uint32_t index : LiveSlotsInOrder(state)) {
        const Slot& slot = *SlotAt(state, index);
        char token[24];
        std::snprintf(token, sizeof token, "0x%016llx",
                      static_cast<unsigned long long>(
                          reinterpret_cast<uint64_t>(MakeToken(index, GenerationOf(slot.state.load())))));
        leaks.push_back(std::string("handle ") + token + " (" + slot.label + ", " + std::to_string(slot.size) +
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
    for (uint32_t index : LiveSlotsInOrder(state)) {
        handles.push_back(MakeToken(index, GenerationOf(SlotAt(state, index)->state.load())));
    }
    return handles;
}

bool InspectHandle(HostMemoryHandle handle, HandleInfo* out) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    const Slot* slot = LiveSlot(state, handle);
    if (!slot) return false;
    if (out) {
        const unsigned char* bytes = slot->block.load(std::memory_order_relaxed);
        *out = HandleInfo{slot->ownerId,
                          slot->label,
                          slot->size,
                          slot->flags,
                          static_cast<int32_t>(LockCountOf(slot->state.load())),
                          std::vector<uint8_t>(bytes, bytes + slot->size)};
    }
    return true;
}

HandleCounts HandleUse() {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    HandleCounts counts;
    counts.created = state.created;
    counts.freed = state.freed;
    counts.refused = state.refused;
    SumShards(state, &counts.locked, &counts.unlocked);
    counts.locked -= state.lockedBase;
    counts.unlocked -= state.unlockedBase;
    return counts;
}

bool ReadStringHandle(HostMemoryHandle handle, HostString* out) {
    core::ClaimMainThread();
    MemoryState& state = Memory();
    std::lock_guard<std::mutex> lock(state.mutex);
    const Slot* slot = LiveSlot(state, handle);
    if (!slot || !out) return false;
    const unsigned char* bytes = slot->block.load(std::memory_order_relaxed);
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
