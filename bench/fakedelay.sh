#!/usr/bin/env bash
# Runs bench_fakedelay (another client's longest round trip while one
# fakes a key or a motion 3 s late) within one run against plain Xvfbs of
# each shape, a byte relay in front of the one-head Xvfb (socat with 1 MiB
# buffers: one extra hop, no decoding) and the proxy in front of one head,
# two heads side by side and two meta screens (on servers of their own,
# started as the plain ones), and last a proxy of two heads side by side
# with Failsafe and a failsafeTimeout of 1 s, which must live on through
# the 3 s delay (the run says so at its end).
# Usage: bench/fakedelay.sh [BUILD_DIR] [rounds] (default: build, 1 round;
# best a built tree without sanitizers).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
rounds=${2:-1}
work=$(mktemp -d /tmp/palvon-bench-XXXXXX)
trap 'stop_processes; rm -rf "$work"' EXIT
. "$top/bench/servers.sh"

start_xvfb bare1 30 1280x1024x24
bare1=$number
start_xvfb bare2 $((bare1 + 1)) 2560x1024x24
bare2=$number
start_xvfb screens $((bare2 + 1)) 1280x1024x24 -screen 1 1280x1024x24
screens=$number
heads=()
for name in one a b m0 m1 fa fb; do
  start_xvfb "$name" $((number + 1))
  heads+=("$number")
done
start_relay $((number + 1)) "$bare1"
relay=$number
one=$(free_display $((relay + 1)))
start_proxy "$one" screen ":${heads[0]}.0"
two=$(free_display $((one + 1)))
start_proxy "$two" screen ":${heads[1]}.0" screen ":${heads[2]}.0"
meta=$(free_display $((two + 1)))
start_proxy "$meta" metaScreen m0 screen ":${heads[3]}.0" metaScreen m1 screen ":${heads[4]}.0"
failsafe=$(free_display $((meta + 1)))
start_proxy "$failsafe" options Failsafe screen ":${heads[5]}.0" failsafeTimeout 1s \
  screen ":${heads[6]}.0" failsafeTimeout 1s
failsafepid=$proxy_pid

echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$build/bench/bench_fakedelay" -r "$rounds" bare=":$bare1" relay=":$relay" 1head=":$one" \
  bare2wide=":$bare2" 2heads=":$two" bare2screens=":$screens" 2screens=":$meta" failsafe1s=":$failsafe"
if kill -0 "$failsafepid" 2>/dev/null; then
  echo "failsafe1s: the proxy lives on"
else
  echo "failsafe1s: the proxy ended"
  tail -n 5 "$work/proxy.$failsafe.log"
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
