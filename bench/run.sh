#!/usr/bin/env bash
# Runs the X work of bench_xwork, interleaved within one run, against a bare
# Xvfb, a byte relay in front of it (socat with 1 MiB buffers: one extra hop,
# no decoding) and the proxy in front of one head and of two heads (on
# servers of their own, started as the bare one), and
# prints each one's ratio to the bare Xvfb and the proxy's ratio to the
# relay, then the proxy's memory per idle client and over cycles of
# connects. The last column, 2bare, runs each work on both bare servers at
# once: the most two heads can reach on this machine.
# Usage: bench/run.sh [BUILD_DIR] [rounds] [clients] [cycles] (default:
# build, 5 rounds, 500 clients, 10 cycles; the build directory must hold a
# built tree, best one without sanitizers). BENCH_WORK=TEXT
# runs only the works whose name contains TEXT; BENCH_OPTIONS='STATEMENTS'
# adds configuration statements to both proxies (split at blanks).
# Connection set-up with the servers far away (over TCP, with a round-trip
# time) is measured apart by bench_linksetup (bench/linksetup.cpp, as root).
# Reading the ratios: the bare and relayed Xvfb show no pointer, while the
# proxy's heads do (the proxy defines cursors on its windows, as a desktop
# does). Xvfb's software cursor then tracks damage on the screen, which
# costs the head's server itself up to half of its rate on small drawing to
# windows (x11perf -gc) and about a tenth on mapping and painting windows.
# The heads also paint their meta root with its 4x4 pattern where the bare
# Xvfb paints black: for a window moved over the root (move among 100) the
# head's server spends more on the pattern than the proxy spends on the
# whole move.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
rounds=${2:-5}
clients=${3:-500}
cycles=${4:-10}
work=$(mktemp -d /tmp/palvon-bench-XXXXXX)
pids=()
servers=5  # the first pids: the Xvfbs
cleanup() {
  # The proxies and the relay go first and are waited for: their servers
  # leaving under them would only make them log.
  for ((i = ${#pids[@]} - 1; i >= servers; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
  for ((i = ${#pids[@]} - 1; i >= servers; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]:0:servers}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]:0:servers}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

. "$top/scripts/displays.sh"

# An Xvfb on the first free number from $2 on; sets $number once it serves.
start_xvfb() {
  local fifo="$work/displayfd.$1"
  number=$(free_display "$2")
  mkfifo "$fifo"
  Xvfb ":$number" -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -maxclients 2048 3>"$fifo" >"$work/xvfb.$1.log" 2>&1 &
  pids+=($!)
  head -n1 <"$fifo" >/dev/null
}


ready=0
trap 'ready=1' USR1
start_proxy() {
  local number=$1
  shift
  ready=0
  (
    trap '' USR1
    exec "$build/bin/palvon" logDestination "$work/proxy.$number.log" connection ":$number" noReset on "$@"
  ) &
  local pid=$!
  pids+=($pid)
  while [ $ready -eq 0 ] && kill -0 "$pid" 2>/dev/null; do wait "$pid" || true; done
  [ $ready -eq 1 ] || { echo "the proxy did not start:" >&2; cat "$work/proxy.$number.log" >&2; exit 1; }
}

# socat relay on the first free number from $1 on, in front of Xvfb :$2;
# sets $number once it listens.
start_relay() {
  number=$(free_display "$1")
  socat -b 1048576 "UNIX-LISTEN:/tmp/.X11-unix/X$number,fork" "UNIX-CONNECT:/tmp/.X11-unix/X$2" 2>"$work/relay.log" &
  pids+=($!)
  local tries=0
  until [ -S "/tmp/.X11-unix/X$number" ]; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "the relay did not start" >&2; exit 1; }
    sleep 0.05
  done
}

command -v socat >/dev/null || { echo "socat is needed (scripts/packages.txt)" >&2; exit 1; }
start_xvfb a 30
a=$number
start_xvfb b $((a + 1))
b=$number
# Each proxy has servers of its own: a proxy covers its servers' screens
# with its own windows, so that windows of the other targets on a shared
# server would lie hidden below them, and a server sends the events of
# every target's windows to each proxy watching it.
start_xvfb c $((b + 1))
c=$number
start_xvfb d $((c + 1))
d=$number
start_xvfb e $((d + 1))
e=$number
start_relay $((e + 1)) "$a"
relay=$number
one=$(free_display $((relay + 1)))
# shellcheck disable=SC2086 # the statements are meant to split
start_proxy "$one" ${BENCH_OPTIONS:-} screen ":$c.0"
onepid=${pids[-1]}
two=$(free_display $((one + 1)))
# shellcheck disable=SC2086
start_proxy "$two" ${BENCH_OPTIONS:-} screen ":$d.0" screen ":$e.0"
twopid=${pids[-1]}

echo "bare Xvfb :$a, relay :$relay, proxy :$one (one head, :$c), proxy :$two (heads :$d and :$e)"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$build/bench/bench_xwork" ${BENCH_WORK:+-w "$BENCH_WORK"} -r "$rounds" -m "$clients" -c "$cycles" bare=":$a" relay=":$relay" \
  "1head=:$one@$onepid" "2heads=:$two@$twopid" "2bare=:$a+:$b"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
