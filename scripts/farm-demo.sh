#!/usr/bin/env bash
# The render farm on one page, on this machine: a broker (mosquitto), brevant-dashboard and a few
# render machines, each brevant-host with the farm publisher rendering the example jobs one after
# another, all on 127.0.0.1. Within a minute the page shows every state a machine can be in:
#
#   rendering  every machine, most of the time, each at its own pace (--fps 4, 6 or 8);
#   done       each job that ends: it joins the history; until its machine's next job its host
#              has exited, so the tile is offline (idle, online with nothing to render, lasts
#              only from a job's end to its host's exit);
#   failed     examples/failures.json fails an item (and stops another);
#   stalled    every 45 s one machine's host is paused (SIGSTOP) for 8 s mid-item: longer than
#              the dashboard's stall time (5 median frame times, at least 2 s), shorter than the
#              broker's keepalive (15 s) and the dashboard's --silent-after (120 s); then it goes on;
#   lost       every 45 s one machine's host is killed (SIGKILL) mid-render: the broker gives
#              its last will at once; 15 s later the machine renders again.
#
# Usage: bash scripts/farm-demo.sh [--machines N] [--seconds S] [--port P] [--build DIR]
#   --machines N  render machines demo-01, demo-02 ... (default 6, at most 50)
#   --seconds S   stop after S seconds (default: run until Ctrl-C)
#   --port P      the page's port on 127.0.0.1 (default: a free one)
#   --build DIR   the build folder with brevant-host and brevant-dashboard (default build/default)
#
# Ctrl-C, SIGTERM or the end of --seconds stops, by their process ids, the hosts, then the
# dashboard, then the broker, removes the temporary folder (configuration, history, job outputs,
# logs) and exits 0. Nothing is installed and nothing outlives the script.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
machines=6 seconds=0 port=0 build=build/default

die() { echo "farm-demo: $*" >&2; exit 1; }
value() { if [ $# -lt 2 ] || [ -z "$2" ]; then die "$1 needs a value (see --help)"; fi; }
while [ $# -gt 0 ]; do
  case $1 in
    --machines) value "$@"; machines=$2; shift 2 ;;
    --seconds) value "$@"; seconds=$2; shift 2 ;;
    --port) value "$@"; port=$2; shift 2 ;;
    --build) value "$@"; build=$2; shift 2 ;;
    -h | --help) sed -n '2,/^$/s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) die "unknown option $1 (see --help)" ;;
  esac
done
whole() { [[ $2 =~ ^[0-9]{1,9}$ ]] || die "$1 $2: expected a whole number"; }
whole --machines "$machines" && machines=$((10#$machines))
whole --seconds "$seconds" && seconds=$((10#$seconds))
whole --port "$port" && port=$((10#$port))
((machines >= 1 && machines <= 50)) || die "--machines $machines: expected 1 to 50"
((port <= 65535)) || die "--port $port: expected a port number, 1 to 65535"
[[ $build = /* ]] || build=$ROOT/$build

# What the demo runs: the README's first command (scripts/demo.sh) builds and installs all of it.
for file in brevant-host libbrevant.so libfarm_publisher.so brevant-dashboard; do
  [ -e "$build/$file" ] || die "no $file in $build: run the README's first command (bash scripts/demo.sh)"
done
mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)  # /usr/sbin is not on every user's PATH
[ -x "$mosquitto" ] || die "mosquitto is not installed: run the README's first command (bash scripts/demo.sh)"

# True when something accepts connections on 127.0.0.1:$1.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if ((port)) && listening "$port"; then
  die "port $port on 127.0.0.1 is taken: give another --port, or none for a free one"
fi

now_ms() { local t=${EPOCHREALTIME//[.,]/}; echo $((t / 1000)); }
t0=$(now_ms)
say() { printf 'farm-demo %4d s  %s\n' $((($(now_ms) - t0) / 1000)) "$*"; }
# True once --seconds have passed.
over() { ((seconds > 0 && $(now_ms) - t0 >= seconds * 1000)); }
# Waits $1 seconds; false when --seconds ran out first.
nap() {
  local end=$(($(now_ms) + $1 * 1000))
  while (($(now_ms) < end)); do
    over && return 1
    sleep 0.25
  done
  ! over
}

# Everything started is known by its process id, and everything written is under $tmp.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/brevant-farm-demo.XXXXXX")
mkdir "$tmp/run" "$tmp/hold" "$tmp/out" "$tmp/logs"
broker_pid='' dashboard_pid='' loop_pids=() stopped=''

# Stops what was started, in order: the hosts, the dashboard, the broker. Runs once, at any exit.
stop_all() {
  [ -z "$stopped" ] || return 0
  stopped=1
  trap '' INT TERM HUP  # a second Ctrl-C would leave processes behind; this takes seconds
  touch "$tmp/stopping"  # no machine starts another job
  rm -f "$tmp"/hold/*
  say "stopping the hosts, then brevant-dashboard${dashboard_pid:+ (pid $dashboard_pid)}, then mosquitto${broker_pid:+ (pid $broker_pid)}"
  # A host stops on SIGINT as on Ctrl-C: its item ends as stopped and the publisher says offline.
  # A paused host is woken first. One that started with SIGINT still ignored (as a background
  # process does until brevant-host sets its handler) gets a second one after 3 s; hosts still
  # there after 15 s are killed. Each machine's loop ends with its host, and a host whose loop
  # is gone already (a signal to the whole process group, a terminal closed) is found by its
  # run file all the same.
  local -A interrupted=()  # pid: when it was sent SIGINT; 0 after the second
  local end now pid left file
  end=$(($(now_ms) + 15000))
  while :; do
    left=0
    for pid in "${loop_pids[@]}"; do kill -0 "$pid" 2>/dev/null && left=1; done
    now=$(now_ms)
    for file in "$tmp"/run/*; do
      read -r pid _ 2>/dev/null < "$file" || continue
      kill -0 "$pid" 2>/dev/null || continue
      left=1
      if ((now > end)); then
        kill -KILL "$pid" 2>/dev/null || true
      elif [ -z "${interrupted[$pid]-}" ]; then
        kill -CONT "$pid" 2>/dev/null || true
        kill -INT "$pid" 2>/dev/null || true
        interrupted[$pid]=$now
      elif ((interrupted[$pid] > 0 && now - interrupted[$pid] > 3000)); then
        kill -INT "$pid" 2>/dev/null || true
        interrupted[$pid]=0
      fi
    done
    ((left)) || break
    sleep 0.2
  done
  ((${#loop_pids[@]} == 0)) || wait "${loop_pids[@]}" 2>/dev/null || true
  for pid in "$dashboard_pid" "$broker_pid"; do
    [ -n "$pid" ] || continue
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if rm -rf "$tmp"; then say "stopped; removed $tmp"; else say "stopped; $tmp is left"; fi
}
trap stop_all EXIT
trap 'stop_all; exit 0' INT TERM HUP

# The broker: its own configuration, nothing kept on disk, on a free port (tried until one binds).
broker_port=0
for _ in $(seq 20); do
  broker_port=$((20000 + RANDOM % 40000))
  listening "$broker_port" && continue
  printf '%s\n' "listener $broker_port 127.0.0.1" "allow_anonymous true" "persistence false" \
    "set_tcp_nodelay true" > "$tmp/mosquitto.conf"
  # setsid: its own session, so that the terminal's Ctrl-C reaches only this script, which stops
  # everything in order. The same for the dashboard and the hosts.
  setsid "$mosquitto" -c "$tmp/mosquitto.conf" > "$tmp/logs/mosquitto.log" 2>&1 &
  broker_pid=$!
  until listening "$broker_port" || ! kill -0 "$broker_pid" 2>/dev/null; do sleep 0.1; done
  listening "$broker_port" && break
  wait "$broker_pid" || true
  broker_pid=''
done
[ -n "$broker_pid" ] || die "mosquitto did not start: $(tail -n 1 "$tmp/logs/mosquitto.log")"

# The dashboard, with a history of its own. A token or broker password set for another
# dashboard in this shell would lock the page.
setsid env -u BREVANT_DASHBOARD_TOKEN -u BREVANT_MQTT_PASSWORD "$build/brevant-dashboard" \
  --broker-port "$broker_port" --port "$port" --db "$tmp/history.sqlite" \
  > "$tmp/logs/dashboard.out" 2> "$tmp/logs/dashboard.log" &
dashboard_pid=$!
url=''
until [ -n "$url" ]; do
  url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$tmp/logs/dashboard.out" || true)
  if [ -z "$url" ] && ! kill -0 "$dashboard_pid" 2>/dev/null; then
    wait "$dashboard_pid" || true
    dashboard_pid=''
    die "brevant-dashboard did not start: $(tail -n 1 "$tmp/logs/dashboard.log")"
  fi
  sleep 0.1
done

# The machines' jobs: the example jobs that render (describe-failure.json renders nothing).
job_files=("$ROOT"/examples/{demo,failures,minimal,every-setting}.json)
# The publisher's settings are these alone; thumbnails every 2 s rather than 10 liven the page.
unset "${!BREVANT_FARM_@}"
export BREVANT_FARM_BROKER=127.0.0.1:$broker_port BREVANT_FARM_THUMB_SECONDS=2

# Waits up to $1 seconds, less once the demo stops.
rest() {
  local n=$(($1 * 4))
  while ((n-- > 0)) && [ ! -e "$tmp/stopping" ]; do sleep 0.25; done
}

# One render machine: its host renders job after job until the demo stops. While a host runs,
# run/NAME holds its pid, its job and when it started, for the director and for stop_all.
machine() {
  local i=$1 name fps n code job log
  printf -v name 'demo-%02d' "$i"
  fps=$((4 + 2 * (i % 3)))
  n=$((i - 1))  # each machine starts at another job, so a failure shows within seconds
  log=$tmp/logs/$name.log
  while [ ! -e "$tmp/stopping" ]; do
    job=${job_files[n++ % ${#job_files[@]}]}
    BREVANT_FARM_MACHINE=$name setsid "$build/brevant-host" run "$job" --client farm_publisher \
      --fps "$fps" --out "$tmp/out/$name" >> "$log" 2>&1 &
    echo "$! ${job##*/} $(now_ms)" > "$tmp/run/.$name"
    mv "$tmp/run/.$name" "$tmp/run/$name"  # whole, for whoever reads it
    code=0
    wait $! 2>/dev/null || code=$?  # (bash's "Killed" notice of the director's SIGKILL: not here)
    rm -rf "$tmp/run/$name" "$tmp/out/$name"
    # 3: an item failed or was stopped (failures.json); 137: killed by the director. Whatever
    # a host stopped by stop_all says is fine.
    if [ ! -e "$tmp/stopping" ] && [[ ! $code =~ ^(0|3|137)$ ]]; then
      say "$name: brevant-host exited $code rendering ${job##*/}; this machine stops. Its last lines:"
      tail -n 5 "$log" | sed 's/^/    /'
      return
    fi
    while [ -e "$tmp/hold/$name" ] && [ ! -e "$tmp/stopping" ]; do sleep 0.25; done  # killed: wait
    rest $((1 + RANDOM % 3))
  done
}

say "mosquitto (pid $broker_pid) on 127.0.0.1:$broker_port; brevant-dashboard (pid $dashboard_pid)"
say "temporary files in $tmp, removed at the end"
for ((i = 1; i <= machines; i++)); do
  machine "$i" &
  loop_pids+=($!)
  sleep 0.3
done
say "$machines machines, demo-01 to $(printf 'demo-%02d' "$machines"), render ${job_files[*]##*/} in turn"
cat <<EOF

    The farm's page:  $url

EOF
if ((seconds)); then say "stops after $seconds s (or Ctrl-C)"; else say "Ctrl-C stops it"; fi

# A host rendering a job named like $1 that started $2 to $3 ms ago. Prints "NAME PID"; false
# when there is none.
rendering() {
  local file pid job start age
  for file in "$tmp"/run/*; do
    read -r pid job start 2>/dev/null < "$file" || continue
    age=$(($(now_ms) - start))
    # shellcheck disable=SC2053  # $1 is a pattern
    if [[ $job == $1 ]] && ((age >= $2 && age <= $3)); then
      echo "${file##*/} $pid"
      return 0
    fi
  done
  return 1
}

# Waits for a host that `rendering "$@"` finds; "NAME PID" in $target. False when time ran out.
find_target() {
  until target=$(rendering "$@"); do
    over && return 1
    sleep 0.25
  done
}

# stalled: a host paused for 8 s in the middle of examples/demo.json's first item (24 frames, at
# least 3 s at 8 frames a second), after enough frames for their median; then on again.
stall() {
  local name pid more=0
  while :; do
    find_target demo.json 1500 2500 || return 1
    kill -STOP "${target#* }" 2>/dev/null && break  # else it ended meanwhile: the next one
  done
  name=${target% *} pid=${target#* }
  say "$name: paused (SIGSTOP) for 8 s: stalled on the page"
  nap 8 || more=1
  kill -CONT "$pid" 2>/dev/null || true
  say "$name: goes on (SIGCONT)"
  return $more
}

# lost: a host killed mid-render (every job takes longer than 1.1 s); its machine renders again
# after 15 s.
lose() {
  local name more=0
  while :; do
    find_target '*' 800 1100 || return 1
    touch "$tmp/hold/${target% *}"  # its loop waits for the release before its next job
    kill -KILL "${target#* }" 2>/dev/null && break
    rm -f "$tmp/hold/${target% *}"  # it ended meanwhile: the next one
  done
  name=${target% *}
  say "$name: killed (SIGKILL) mid-render: lost on the page; back in 15 s"
  nap 15 || more=1
  rm -f "$tmp/hold/$name"
  ((more)) || say "$name: renders again"
  return $more
}

# The director: a stall and a loss about every 45 s, the first after a few seconds in which to open
# the page, until the time is up (Ctrl-C goes to the trap).
while nap 5 && stall && nap 4 && lose && nap 10; do :; done
say "$seconds s are up"
stop_all
exit 0
