#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build, then AddressSanitizer with
# UndefinedBehaviorSanitizer (and a short run of the ABI fuzzer in that build), then
# ThreadSanitizer, then the Windows build under Wine (scripts/test-windows.sh). Any failure,
# sanitizer finding or fuzzer finding fails.
# BREVANT_PRESETS="default" limits the run to the listed presets; BREVANT_FUZZ_SECONDS sets the
# fuzzer's run (60 s; 0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

presets=${BREVANT_PRESETS:-"default asan tsan windows"}
jobs=$(nproc 2>/dev/null || echo 2)
for preset in $presets; do
  echo "=== $preset: configure, build, test"
  if [ "$preset" = windows ]; then bash scripts/test-windows.sh; continue; fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
  if [ "$preset" = asan ] && [ "${BREVANT_FUZZ_SECONDS:-60}" != 0 ]; then
    bash scripts/fuzz.sh "${BREVANT_FUZZ_SECONDS:-60}"
  fi
done
