#!/usr/bin/env bash
# golden.sh JOB EXPECTED OUT HOST...: renders JOB with the event log in stable mode (a thumbnail of
# every other frame) and passes when the exit code, what the host printed and the log, with its
# output folder written as <out> and the libraries' as <build>, are EXPECTED line for line.
# BREVANT_UPDATE_GOLDEN=1 writes EXPECTED instead, for review.
job=$1; expected=$2; out=$3; shift 3
rm -rf "$out"; mkdir -p "$out"
BREVANT_EVENT_LOG="$out/events.jsonl" BREVANT_EVENT_LOG_STABLE=1 BREVANT_EVENT_LOG_THUMBS_EVERY=2 \
  "$@" run "$job" --client event_log --out "$out" >"$out/output.txt" 2>&1
echo "exit $?" | cat - "$out/output.txt" "$out/events.jsonl" |
  sed -e "s|$out|<out>|g" -e "s|$(dirname "${@: -1}")|<build>|g" >"$out/golden.txt"
if [ -n "$BREVANT_UPDATE_GOLDEN" ]; then cp "$out/golden.txt" "$expected"; exit 0; fi
diff -u "$expected" "$out/golden.txt" || { echo "the render of $(basename "$job") is not $expected"; exit 1; }
