#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build, then AddressSanitizer with
# UndefinedBehaviorSanitizer, then ThreadSanitizer. Any failure or sanitizer finding fails.
# BREVANT_PRESETS="default" limits the run to the listed presets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

presets=${BREVANT_PRESETS:-"default asan tsan"}
jobs=$(nproc 2>/dev/null || echo 2)
for preset in $presets; do
  echo "=== $preset: configure, build, test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
