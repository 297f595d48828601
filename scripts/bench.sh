#!/usr/bin/env bash
# Sets up, builds the default preset and runs every benchmark, then rewrites bench/README.md
# with the machine, the command and the table of ratios against their goals. Arguments are
# passed on to brevant_bench (e.g. --soak-frames=200000).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)"
export BREVANT_BENCH_SCRIPT="scripts/bench.sh"
build/default/bench/brevant_bench --benchmark_repetitions=3 --write-readme bench/README.md "$@"
