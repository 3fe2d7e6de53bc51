#!/usr/bin/env bash
# Images onto an 8-bit PseudoColor visual that the proxy emulates on a
# 24-bit server, against a plain 8-bit Xvfb and a byte relay in front of it,
# in the same run: bench_putimage8 (a batch of 100x100 images and a round
# trip), then, where x11perf is installed, its -putimage10 and -putimage100
# rates and their ratios to the plain server. The proxy runs in both
# emulating layouts: the 24-bit head alone with the emulated visual as the
# root's (the manual's example), and the emulating head first beside an
# 8-bit server.
# Usage: bench/emulated8.sh [BUILD_DIR] [rounds] [images] (default: build, 9
# rounds of 200 images; the build directory must hold a built tree, best
# one without sanitizers).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
rounds=${2:-9}
images=${3:-200}
work=$(mktemp -d /tmp/palvon-bench-XXXXXX)
trap 'stop_processes; rm -rf "$work"' EXIT
. "$top/bench/servers.sh"

start_xvfb plain 30 1024x768x8
plain=$number
start_relay $((plain + 1)) "$plain"
relay=$number
start_xvfb deep $((relay + 1)) 1024x768x24
deep=$number
start_xvfb first $((deep + 1)) 1024x768x24
first=$number
start_xvfb second $((first + 1)) 1024x768x8
second=$number
alone=$(free_display $((second + 1)))
start_proxy "$alone" metaScreen main defaultVisual PseudoColor:8 screen ":$deep.0" borderWidth 0 \
  emulateVisuals PseudoColor8
beside=$(free_display $((alone + 1)))
start_proxy "$beside" screen ":$first.0" borderWidth 0 emulateVisuals PseudoColor:8 screen ":$second.0" \
  borderWidth 0

echo "plain 8-bit Xvfb :$plain, relay :$relay, proxy :$alone (emulating :$deep alone)," \
  "proxy :$beside (emulating :$first beside 8-bit :$second)"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$build/bench/bench_putimage8" -r "$rounds" -n "$images" bare=":$plain" relay=":$relay" alone=":$alone" \
  beside=":$beside"

if command -v x11perf >/dev/null; then
  # The rate of x11perf's summary line (its last "trep" line).
  rate() {
    x11perf -display ":$1" -repeat 2 -time 1 "-$2" 2>/dev/null | sed -n 's/.* trep @ .*( *\([0-9.]*\)\/sec).*/\1/p' |
      tail -n1
  }
  for test in putimage10 putimage100; do
    base=$(rate "$plain" "$test")
    line="x11perf -$test: bare $base/s"
    for target in relay:$relay alone:$alone beside:$beside; do
      r=$(rate "${target#*:}" "$test")
      line+=", ${target%%:*} $(awk -v r="$r" -v b="$base" 'BEGIN{printf "%.3f", (b > 0) ? r / b : 0}')"
    done
    echo "$line"
  done
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
