#!/usr/bin/env bash
# Sets up, builds the asan preset's fuzzers and runs them for SECONDS in all (default 600) with
# one worker per core: two thirds of the time the ABI's harness (tests/fuzz), one third the
# dashboard's message harness (tests/farm/dashboard/fuzz). Each starts from its seeds and grows
# its own corpus in build/asan/fuzz-corpus/NAME, which later runs go on from; the repository's
# seeds are never written. A finding stops the run, is saved under build/asan/fuzz-findings/NAME/
# and fails the script; replay it with the fuzzer and the file (for the ABI's harness,
# BREVANT_FUZZ_TRACE=1 prints each step).
#
#   bash scripts/fuzz.sh [SECONDS]        BREVANT_FUZZ_JOBS=N sets the number of workers
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
jobs=${BREVANT_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
bash scripts/setup.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs" --target brevant_abi_fuzzer dashboard_message_fuzzer
root=$(pwd)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Independent workers that share the corpus directory: faster than libFuzzer's fork mode, whose
# jobs restart every few seconds. A smaller quarantine than ASan's 256 MiB keeps each worker's
# resident size flat over long runs.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:quarantine_size_mb=64"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# fuzz NAME EXECUTABLE SEEDS SECONDS [LIBFUZZER_OPTION...]
fuzz() {
  local name=$1 fuzzer=$root/$2 seeds=$3 time=$4
  shift 4
  local corpus=build/asan/fuzz-corpus/$name findings=build/asan/fuzz-findings/$name run=$logs/$name
  mkdir -p "$corpus" "$findings" "$run"
  cp -n "$seeds"/* "$corpus"/
  echo "=== fuzz: $name, $jobs worker(s) for $time s over $corpus"
  local status=0
  (cd "$run" && "$fuzzer" -jobs="$jobs" -workers="$jobs" -max_total_time="$time" -print_final_stats=1 \
    -artifact_prefix="$root/$findings/" "$@" "$root/$corpus" >/dev/null 2>&1) || status=$?
  local executions
  executions=$(cat "$run"/fuzz-*.log | sed -n -E 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' |
    awk '{ n += $1 } END { print n + 0 }')
  if [ "$status" -ne 0 ] || grep -q -E 'ERROR: |_fuzzer: ' "$run"/fuzz-*.log; then
    for f in "$run"/fuzz-*.log; do grep -v -E '^#[0-9]+|^INFO: ' "$f" | tail -n 60; done
    echo "=== fuzz: $name: finding after $executions executions; saved in $findings/" >&2
    return 1
  fi
  echo "=== fuzz: $name: $executions executions in $time s ($((executions / time)) exec/s over $jobs worker(s)), no finding; corpus $(ls "$corpus" | wc -l) inputs"
}

fuzz abi build/asan/tests/fuzz/brevant_abi_fuzzer tests/fuzz/corpus $((seconds * 2 / 3))
# A render's first messages are some 12 KB; longer inputs only repeat them, more slowly.
fuzz dashboard build/asan/tests/farm/dashboard/dashboard_message_fuzzer tests/farm/dashboard/fuzz/corpus \
  $((seconds - seconds * 2 / 3)) -max_len=16384
