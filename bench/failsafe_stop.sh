#!/usr/bin/env bash
# How a stopped or killed head is dropped under load with Failsafe: two
# heads side by side, 20 clients (eight x11perf loops drawing images, four
# xterms printing, four xclocks, four xlogos, half of the windows on each
# head) and a probe running xdpyinfo every half second; then head B is
# stopped (SIGSTOP) for a while or killed (SIGKILL). Each run starts anew
# and prints one line: the time from the stop to "is offline, resuming",
# the clients kept (an x11perf loop counts when none of its runs failed),
# the "No complete answer" lines and the probe's longest single run.
# Usage: bench/failsafe_stop.sh [BUILD_DIR] [runs] [case...]; a case is
# stopN (stopped for N s) or kill (default: stop30 stop60 kill).
# FS_TIMEOUT: the heads' failsafeTimeout in seconds (default 20);
# FS_FIRST: the lowest display number to use (default 200); FS_KEEP_LOGS:
# each run's proxy log, every line with its time, is kept in /tmp.
# The inner shells below expand their own arguments ($0, $1).
# shellcheck disable=SC2016
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
runs=${2:-10}
shift $(($# < 2 ? $# : 2))
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(stop30 stop60 kill)
timeout=${FS_TIMEOUT:-20}
first=${FS_FIRST:-200}
work=$(mktemp -d /tmp/palvon-failsafe-XXXXXX)
pids=()
. "$top/scripts/displays.sh"

# Every process started here leads a process group of its own (setsid),
# ended as a whole: clients first, then the proxy, then the servers (a
# stopped one is continued so that it can end).
spawn() {
  setsid "$@" &
  pids+=("$!")
}
stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -CONT -- "-${pids[i]}" 2>/dev/null || true
    kill -TERM -- "-${pids[i]}" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

start_xvfb() {
  local fifo="$work/displayfd.$1"
  number=$(free_display "$2")
  rm -f "$fifo"
  mkfifo "$fifo"
  setsid Xvfb ":$number" -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >"$work/xvfb.$1.log" 2>&1 &
  pids+=("$!")
  head -n1 <"$fifo" >/dev/null
}

ready=0
trap 'ready=1' USR1
start_proxy() {
  ready=0
  # The proxy signals its parent, this shell, once it serves.
  (
    trap '' USR1
    exec setsid "$build/bin/palvon" >/dev/null 2>&1 logDestination "$work/proxy.log" connection ":$1" noReset on \
      options +Failsafe screen ":$a.0" failsafeTimeout "$timeout" screen ":$b.0" failsafeTimeout "$timeout"
  ) &
  local pid=$!
  pids+=("$pid")
  while [ $ready -eq 0 ] && kill -0 "$pid" 2>/dev/null; do wait "$pid" || true; done
  [ $ready -eq 1 ] || { echo "the proxy did not start:" >&2; cat "$work/proxy.log" >&2; exit 1; }
}

# One case, one run: prints its result line.
run_once() {
  local how=$1 i
  rm -rf "${work:?}"/*
  start_xvfb a "$first"
  a=$number
  start_xvfb b $((a + 1))
  b=$number
  bpid=${pids[-1]}
  proxy=$(free_display $((b + 1)))
  start_proxy "$proxy"
  export DISPLAY=":$proxy"
  # Every log line with the time it came.
  spawn bash -c 'tail -n +1 -F "$0/proxy.log" 2>/dev/null |
    while IFS= read -r line; do echo "$EPOCHREALTIME $line"; done >"$0/stamped"' "$work"
  local tests=(-putimage100 -putimage500 -shmput100 -shmput500 -putimage10 -shmput10 -copywinpix100 -getimage100)
  for i in "${!tests[@]}"; do
    spawn bash -c 'while :; do x11perf -repeat 1 -time 1 "$1" >/dev/null 2>>"$0.err" || echo failed >>"$0.failed"
      done' "$work/x11perf.$i" "${tests[i]}"
  done
  local clients=()
  for i in 0 1 2 3; do
    local x=$((100 + 1022 * (i % 2) + 60 * i))
    spawn xterm -geometry "80x20+$x+60" -e sh -c 'while :; do ls -lR /usr/share/X11 /usr/include; done' 2>/dev/null
    clients+=("${pids[-1]}")
    spawn xclock -update 1 -geometry "120x120+$((x + 40))+450" 2>/dev/null
    clients+=("${pids[-1]}")
    spawn xlogo -geometry "100x100+$((x + 200))+600" 2>/dev/null
    clients+=("${pids[-1]}")
  done
  # The probe: each xdpyinfo's start, end and status.
  spawn bash -c 'while :; do
    s=$EPOCHREALTIME
    xdpyinfo >/dev/null 2>&1 && rc=0 || rc=$?
    echo "$s $EPOCHREALTIME $rc"
    sleep 0.5
  done >"$0/probe"' "$work"
  sleep 6
  local stopped=$EPOCHREALTIME hold
  case $how in
    kill) kill -KILL "$bpid"; { wait "$bpid"; } 2>/dev/null || true; hold=0 ;;
    stop*) kill -STOP "$bpid"; hold=${how#stop} ;;
  esac
  local deadline=$((SECONDS + (hold > timeout * 2 + 5 ? hold : timeout * 2 + 5)))
  while [ $SECONDS -lt $deadline ] && ! grep -q "is offline, resuming" "$work/stamped"; do sleep 0.05; done
  # The stop lasts its time whatever happened; then B runs again.
  local left
  left=$(awk -v s="$stopped" -v h="$hold" -v n="$EPOCHREALTIME" 'BEGIN { l = s + h - n; print (l > 0 ? l : 0) }')
  sleep "$left"
  kill -CONT "$bpid" 2>/dev/null || true
  sleep 5
  local kept=0
  for pid in "${clients[@]}"; do kill -0 "$pid" 2>/dev/null && kept=$((kept + 1)); done
  for i in "${!tests[@]}"; do [ -e "$work/x11perf.$i.failed" ] || kept=$((kept + 1)); done
  local offline cut probe
  offline=$(awk -v s="$stopped" '/is offline, resuming/ { printf "%.2f", $1 - s; exit }' "$work/stamped")
  cut=$(grep -c "No complete answer" "$work/stamped" || true)
  probe=$(awk -v s="$stopped" '{ d = $2 - $1; if (d > m) m = d; if ($1 > s && $3 != 0) f++ }
    END { printf "%.2f %d", m, f }' "$work/probe")
  echo "$how T=${timeout}s offline=${offline:-never} kept=$kept/20 nocomplete=$cut probe_max=${probe% *} probe_failed=${probe#* }"
  if [ "${FS_KEEP_LOGS:-}" ]; then cp "$work/stamped" "/tmp/failsafe-stop.$how.$(date +%s).log"; fi
  stop_all
}

echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
for how in "${cases[@]}"; do
  for ((run = 0; run < runs; run++)); do run_once "$how"; done
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
