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

start_layouts fa fb
start_relay $((meta + 1)) "$bare1"
relay=$number
failsafe=$(free_display $((relay + 1)))
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
