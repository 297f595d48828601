// The soak: one long item whose every frame is queried in full, to show that resident memory
// stops growing once the first frames have run.
#pragma once

#include <cstdint>

namespace brevant_bench {

constexpr int64_t kSoakCheckpointFrames = 10000;
constexpr int64_t kSoakDefaultFrames = 1000000;

// Registers BM_Soak with one iteration per frame, run once whatever the repetitions asked.
void RegisterSoak(int64_t frames);

}  // namespace brevant_bench
