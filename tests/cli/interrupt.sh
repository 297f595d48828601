#!/usr/bin/env bash
# interrupt.sh HOST EVENT_LOG_CLIENT JOB OUT: starts a paced render, sends it one SIGINT as a
# terminal's Ctrl-C would, and passes when the render ended cleanly.
host=$1; client=$2; job=$3; out=$4
rm -rf "$out"; mkdir -p "$out"
BREVANT_EVENT_LOG="$out/events.jsonl" "$host" run "$job" --client "$client" --out "$out" --fps 24 >"$out/output.txt" 2>&1 &
pid=$!
# Interrupt once the first frame was relayed: the handler is in place by then.
for _ in $(seq 200); do
  grep -q '"event":"JobItemUpdate"' "$out/events.jsonl" 2>/dev/null && break
  sleep 0.05
done
kill -INT "$pid"
wait "$pid"; code=$?
fail() { printf '%s\n' "$1"; cat "$out/output.txt"; exit 1; }
[ "$code" -eq 4 ] || fail "exit code $code, expected 4"
grep -q '"event":"JobItemEnd".*"status":2' "$out/events.jsonl" || fail "no item ended as stopped"
tail -n 1 "$out/events.jsonl" | grep -q '"event":"JobEnd".*"stopped":1,.*"neverStarted":1' ||
  fail "the last event is not a JobEnd with one item stopped and one never started"
grep -qE '^1 of 2 items, [0-9]+ frames?, stopped, 1 never started$' "$out/output.txt" || fail "the summary does not say 1 of 2"
grep -q "leaks: none" "$out/output.txt" || fail "something leaked"
ls "$out"/Main_*.jpg >/dev/null 2>&1 || fail "no frame stayed on disk"
exit 0
