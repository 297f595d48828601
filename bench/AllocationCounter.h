// Heap allocations made through operator new anywhere in the process (the bench, the stand-in
// host, the plug-in), counted by the bench binary's replacement of the global operators.
// Blocks the host takes with malloc (memory-suite handles, libjpeg-turbo) are not counted.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

namespace brevant_bench {

// [any-thread]
uint64_t AllocationCount();
// Bytes asked for by those allocations. [any-thread]
uint64_t AllocatedBytes();

// Counts the allocations from its construction to Report, which sets them as the counter
// "allocs/iter", averaged over the benchmark's iterations. [main-thread]
class AllocationMeter {
public:
    void Report(benchmark::State& state) const {
        const auto allocations = static_cast<double>(AllocationCount() - start_);
        state.counters["allocs/iter"] = benchmark::Counter(allocations, benchmark::Counter::kAvgIterations);
    }

private:
    uint64_t start_ = AllocationCount();
};

}  // namespace brevant_bench
