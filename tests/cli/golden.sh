#!/usr/bin/env bash
# golden.sh JOB EXPECTED OUT HOST...: renders JOB with the event log in stable mode (a thumbnail of
# every other frame) and passes when the log, its output folder written as <out>, is EXPECTED line
# for line, and the host exits with the code EXPECTED's name ends with (NAME.CODE.jsonl).
# BREVANT_UPDATE_GOLDEN=1 writes EXPECTED instead.
job=$1; expected=$2; out=$3; shift 3
rm -rf "$out"; mkdir -p "$out"
BREVANT_EVENT_LOG="$out/events.jsonl" BREVANT_EVENT_LOG_STABLE=1 BREVANT_EVENT_LOG_THUMBS_EVERY=2 \
  "$@" run "$job" --client event_log --out "$out" >"$out/output.txt" 2>&1; code=$?
sed "s|$out|<out>|g" "$out/events.jsonl" >"$out/golden.jsonl"
if [ -n "$BREVANT_UPDATE_GOLDEN" ]; then cp "$out/golden.jsonl" "$expected"; exit 0; fi
want=${expected%.jsonl}; want=${want##*.}
[ "$code" = "$want" ] || { cat "$out/output.txt"; echo "exit code $code, expected $want"; exit 1; }
diff -u "$expected" "$out/golden.jsonl" || { echo "the event log of $(basename "$job") is not $expected"; exit 1; }
