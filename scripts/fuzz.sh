#!/usr/bin/env bash
# Sets up, builds the asan preset's ABI fuzzer and runs it for SECONDS (default 600) with one
# worker per core. It starts from the seeds in tests/fuzz/corpus and grows its own corpus in
# build/asan/fuzz-corpus, which later runs go on from; the repository's seeds are never written.
# A finding stops the run, is saved under build/asan/fuzz-findings/ and fails the script; replay
# it with build/asan/tests/fuzz/brevant_abi_fuzzer FILE (BREVANT_FUZZ_TRACE=1 prints each step).
#
#   bash scripts/fuzz.sh [SECONDS]        BREVANT_FUZZ_JOBS=N sets the number of workers
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
jobs=${BREVANT_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
bash scripts/setup.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs" --target brevant_abi_fuzzer

corpus=build/asan/fuzz-corpus
findings=build/asan/fuzz-findings
mkdir -p "$corpus" "$findings"
cp -n tests/fuzz/corpus/* "$corpus"/
root=$(pwd)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Independent workers that share the corpus directory: faster than libFuzzer's fork mode, whose
# jobs restart every few seconds. A smaller quarantine than ASan's 256 MiB keeps each worker's
# resident size flat over long runs.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:quarantine_size_mb=64"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
echo "=== fuzz: $jobs worker(s) for $seconds s over $corpus"
status=0
(cd "$logs" && "$root/build/asan/tests/fuzz/brevant_abi_fuzzer" -jobs="$jobs" -workers="$jobs" \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$root/$findings/" \
  "$root/$corpus" >/dev/null 2>&1) || status=$?

executions=$(cat "$logs"/fuzz-*.log | sed -n -E 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' |
  awk '{ n += $1 } END { print n + 0 }')
if [ "$status" -ne 0 ] || grep -q -E 'ERROR: |brevant_abi_fuzzer: ' "$logs"/fuzz-*.log; then
  for f in "$logs"/fuzz-*.log; do grep -v -E '^#[0-9]+|^INFO: ' "$f" | tail -n 60; done
  echo "=== fuzz: finding after $executions executions; saved in $findings/" >&2
  exit 1
fi
echo "=== fuzz: $executions executions in $seconds s ($((executions / seconds)) exec/s over $jobs worker(s)), no finding; corpus $(ls "$corpus" | wc -l) inputs"
