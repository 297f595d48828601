#!/usr/bin/env bash
# records.sh JOB OUT HOST...: renders JOB twice with the event log (a thumbnail of every frame) and
# a JSON summary, and passes when what scripts read is there, the second job adding to the first.
job=$1; out=$2; shift 2; host=("$@")  # the host may come behind an emulator
rm -rf "$out"; mkdir -p "$out"
fail() { printf '%s\n' "$1"; cat "$out/output.txt"; exit 1; }
render() {
  BREVANT_EVENT_LOG="$out/events.jsonl" BREVANT_EVENT_LOG_THUMBS_EVERY=1 \
    "${host[@]}" run "$job" --client event_log --out "$out" --summary-json "$out/summary.json" >"$out/output.txt" 2>&1
}
render; code=$?
[ "$code" -eq 3 ] || fail "exit code $code, expected 3"
for pattern in '"exitCode": 3' '"inJob": 3' '"neverStarted": 0' '"status": "failed"' '"status": "stopped"' \
               '"framesRendered": 5' '"leaks": \[\]'; do
  grep -q -- "$pattern" "$out/summary.json" || fail "the summary has no $pattern: $(cat "$out/summary.json")"
done

log=$out/events.jsonl
grep -q "^event_log: appending to $log$" "$out/output.txt" || fail "the event log does not say where it writes"
begin=$(grep '"event":"JobBegin"' "$log")
grep -q "\"machine\":\"$(hostname)\"" <<<"$begin" || fail "no machine name: $begin"
grep -q "\"jobFile\":\"$(realpath "$job")\"" <<<"$begin" || fail "no job file: $begin"
grep -Eq '"time":"20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\.[0-9]{3}Z"' <<<"$begin" || fail "no wall-clock time: $begin"
grep -q '"event":"JobItemUpdate".*"frame":1,"frameNumber":0,"elapsedMs":[0-9]*,"framesTotal":10,' "$log" ||
  fail "no numbers beside the texts: $(grep -m1 JobItemUpdate "$log")"
tail -n 1 "$log" | grep -q '"items":{"described":3,"done":1,"stopped":1,"failed":1,"otherStatus":0,"neverStarted":0}' ||
  fail "JobEnd does not count the items: $(tail -n 1 "$log")"

# The thumbnail of frame id 1 is the picture of the file numbered 0000 on disk.
job_id=$(grep -o '"jobId":"[^"]*"' <<<"$begin" | head -n 1 | cut -d'"' -f4)
[ -f "$out/${job_id}_item1_0000.jpg" ] || fail "no thumbnail ${job_id}_item1_0000.jpg: $(ls "$out")"
[ -f "$out/Fails At Five/Fails At Five_0000.jpg" ] || fail "no frame file numbered 0000"
thumbnails=$(ls "$out"/*_item*.jpg | wc -l)

render
[ "$(grep -c '"event":"JobBegin"' "$log")" -eq 2 ] || fail "the second job replaced the first one's log"
[ "$(ls "$out"/*_item*.jpg | wc -l)" -eq $((thumbnails * 2)) ] || fail "thumbnails of the second job replaced the first's"
exit 0
