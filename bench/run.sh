#!/usr/bin/env bash
# Runs the X work of bench_xwork straight against Xvfb and through the proxy,
# in turn within one run, with the proxy in front of one head and of two
# heads, and prints the ratios. Usage: bench/run.sh [BUILD_DIR] [rounds]
# (default: build, 5 rounds; the build directory must hold a built tree).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
rounds=${2:-5}
work=$(mktemp -d /tmp/palvon-bench-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

. "$top/scripts/displays.sh"

# An Xvfb on the first free number from $2 on; sets $number once it serves.
start_xvfb() {
  local fifo="$work/displayfd.$1"
  number=$(free_display "$2")
  mkfifo "$fifo"
  Xvfb ":$number" -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >"$work/xvfb.$1.log" 2>&1 &
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

start_xvfb a 30
a=$number
start_xvfb b $((a + 1))
b=$number
one=$(free_display $((b + 1)))
start_proxy "$one" screen ":$a.0"
two=$(free_display $((one + 1)))
start_proxy "$two" screen ":$a.0" screen ":$b.0"

echo "== one head (proxy :$one in front of Xvfb :$a)"
"$build/bench/bench_xwork" ":$a" ":$one" "$rounds"
echo
echo "== two heads (proxy :$two in front of Xvfb :$a and :$b)"
"$build/bench/bench_xwork" ":$a" ":$two" "$rounds"
