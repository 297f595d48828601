// The replaced global operators new and delete. They are exported from the executable so that
// the shared libraries (libbrevant, libbrevant_host, libstdc++) bind to them too.
#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#define BREVANT_BENCH_EXPORT __attribute__((visibility("default")))

namespace brevant_bench {
namespace {

std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gAllocatedBytes{0};

void* Allocate(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    gAllocatedBytes.fetch_add(size, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    gAllocatedBytes.fetch_add(size, std::memory_order_relaxed);
    const auto align = static_cast<std::size_t>(alignment);
    void* block = nullptr;
    if (posix_memalign(&block, align < sizeof(void*) ? sizeof(void*) : align, size == 0 ? 1 : size) != 0) {
        return nullptr;
    }
    return block;
}

void* AllocateOrThrow(std::size_t size) {
    if (void* block = Allocate(size)) return block;
    throw std::bad_alloc();
}

void* AllocateAlignedOrThrow(std::size_t size, std::align_val_t alignment) {
    if (void* block = AllocateAligned(size, alignment)) return block;
    throw std::bad_alloc();
}

}  // namespace

uint64_t AllocationCount() { return gAllocations.load(std::memory_order_relaxed); }
uint64_t AllocatedBytes() { return gAllocatedBytes.load(std::memory_order_relaxed); }

}  // namespace brevant_bench

using brevant_bench::AllocateAlignedOrThrow;
using brevant_bench::AllocateOrThrow;

BREVANT_BENCH_EXPORT void* operator new(std::size_t size) { return AllocateOrThrow(size); }
BREVANT_BENCH_EXPORT void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
BREVANT_BENCH_EXPORT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return brevant_bench::Allocate(size);
}
BREVANT_BENCH_EXPORT void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return brevant_bench::Allocate(size);
}
BREVANT_BENCH_EXPORT void* operator new(std::size_t size, std::align_val_t alignment) {
    return AllocateAlignedOrThrow(size, alignment);
}
BREVANT_BENCH_EXPORT void* operator new[](std::size_t size, std::align_val_t alignment) {
    return AllocateAlignedOrThrow(size, alignment);
}
BREVANT_BENCH_EXPORT void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return brevant_bench::AllocateAligned(size, alignment);
}
BREVANT_BENCH_EXPORT void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return brevant_bench::AllocateAligned(size, alignment);
}

BREVANT_BENCH_EXPORT void operator delete(void* block) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete[](void* block) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete(void* block, std::size_t) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
BREVANT_BENCH_EXPORT void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(block);
}
BREVANT_BENCH_EXPORT void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(block);
}
