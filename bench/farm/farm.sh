#!/usr/bin/env bash
# A render farm on one machine: a mosquitto broker, N brevant-host processes each rendering its own
# job at a set frame rate with the farm publisher, and brevant-farm-subscriber, which checks that
# every machine's every frame arrived in order and measures the latency from frame finished (at the
# host) to message received (at the subscriber), the broker's message rate, and the machine's load.
#
#   bench/farm/farm.sh [-n MACHINES] [-f FPS] [-d SECONDS] [-p PREFIX] [-P PORT] [-b BUILD_DIR]
#                       [--files] [--thumb-seconds N] [--external-broker]
#
#   -n  machines (brevant-host processes), default 5
#   -f  frames per second of each machine, default 24
#   -d  seconds of rendering (each job has FPS x SECONDS frames), default 5
#   -p  topic prefix, default brevant-farm
#   -P  broker port on 127.0.0.1, default a free one
#   -b  build directory with brevant-host, libfarm_publisher.so and bench/farm/, default build/default
#   --files            write the frames as JPEG files (default: outputs that write nothing, so that
#                      the wire is measured, not the disk)
#   --thumb-seconds N  one thumbnail per machine every N seconds (default 10; 0: none)
#   --external-broker  use the broker already listening on -P instead of starting one
#
# Exit status 0 when nothing was lost or reordered. Everything started here is stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/../.."

machines=5 fps=24 seconds=5 prefix=brevant-farm port=0 build=build/default files=0 thumbs=10 external=0
while [ $# -gt 0 ]; do
  case $1 in
    -n) machines=$2; shift 2 ;;
    -f) fps=$2; shift 2 ;;
    -d) seconds=$2; shift 2 ;;
    -p) prefix=$2; shift 2 ;;
    -P) port=$2; shift 2 ;;
    -b) build=$2; shift 2 ;;
    --files) files=1; shift ;;
    --thumb-seconds) thumbs=$2; shift 2 ;;
    --external-broker) external=1; shift ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "farm.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
host=$build/brevant-host
subscriber=$build/bench/farm/brevant-farm-subscriber
for f in "$host" "$build/libfarm_publisher.so" "$subscriber"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "farm.sh: $f is missing: build first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/brevant-farm-bench-XXXXXX")
pids=()
broker_pid=
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  [ -n "$broker_pid" ] && kill -9 "$broker_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if [ "$port" = 0 ]; then
  port=$((20000 + RANDOM % 20000))
  while ! port_free "$port"; do port=$((20000 + RANDOM % 20000)); done
fi

if [ "$external" = 0 ]; then
  {
    [ "$(id -u)" = 0 ] && echo "user root"
    echo "listener $port 127.0.0.1"
    echo "allow_anonymous true"
    echo "max_queued_messages 0"   # a subscriber that falls behind is measured, not cut off
    echo "sys_interval 1"
    echo "set_tcp_nodelay true"     # small messages leave at once instead of waiting for an ACK
  } > "$work/mosquitto.conf"
  mosquitto -c "$work/mosquitto.conf" > "$work/broker.log" 2>&1 &
  broker_pid=$!
  for _ in $(seq 100); do port_free "$port" || break; sleep 0.05; done
fi

frames=$((fps * seconds))
"$subscriber" "$port" "$prefix" "$machines" "$frames" $((seconds + 60)) > "$work/subscriber.out" &
subscriber_pid=$!
pids+=("$subscriber_pid")
sleep 0.5

cpu_busy() { awk '/^cpu /{print $2+$3+$4+$7+$8, $2+$3+$4+$5+$6+$7+$8}' /proc/stat; }
read -r busy0 total0 < <(cpu_busy)
start=$(date +%s.%N)
for i in $(seq -w 1 "$machines"); do
  if [ "$files" = 1 ]; then
    output='{"path": "[compName]_[####].jpg"}'
  else
    output='{"fileBased": false, "outputInfo": {"type": "Preview"}}'
  fi
  printf '{"project": "Farm %s", "items": [{"comp": {"name": "Job %s", "width": 32, "height": 18, "frames": %d}, "outputModules": [%s]}]}\n' \
    "$i" "$i" "$frames" "$output" > "$work/job$i.json"
  BREVANT_FARM_BROKER=127.0.0.1:$port BREVANT_FARM_PREFIX=$prefix BREVANT_FARM_MACHINE=machine-$i \
  BREVANT_FARM_THUMB_SECONDS=$thumbs \
    "$host" run "$work/job$i.json" --client "$build/libfarm_publisher.so" --fps "$fps" --out "$work/out$i" \
    > "$work/host$i.log" 2>&1 &
  pids+=($!)
done
failed=0
for pid in "${pids[@]:1}"; do wait "$pid" || failed=$((failed + 1)); done
end=$(date +%s.%N)
read -r busy1 total1 < <(cpu_busy)
load=$(cut -d' ' -f1-3 /proc/loadavg)
set +e
wait "$subscriber_pid"
status=$?
set -e
pids=()

broker_cpu=-
if [ -n "$broker_pid" ]; then
  broker_cpu=$(awk -v hz="$(getconf CLK_TCK)" '{printf "%.1f", ($14+$15)/hz}' "/proc/$broker_pid/stat")
fi
cat "$work/subscriber.out" | grep -v '^subscribed$'
awk -v b0="$busy0" -v b1="$busy1" -v t0="$total0" -v t1="$total1" -v s="$start" -v e="$end" \
    -v n="$machines" -v fps="$fps" -v cores="$(nproc)" -v load="$load" -v bcpu="$broker_cpu" -v failed="$failed" \
  'BEGIN {
     printf "machines %d at %d fps for %.1f s on %d cores: CPU busy %.0f%%, load average %s, broker CPU %s s; hosts failed: %d\n",
            n, fps, e - s, cores, 100 * (b1 - b0) / (t1 - t0), load, bcpu, failed
   }'
[ "$failed" = 0 ] && exit "$status"
exit 1
