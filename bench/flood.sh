#!/usr/bin/env bash
# Runs bench_flood (what waits behind a client that floods its server with
# copies of its window, and behind one that reads none of its images)
# within one run against plain Xvfbs of each shape (one head 1280x1024,
# two heads side by side as one Xvfb 2560x1024, two screens in one Xvfb)
# and the proxy in front of one head, two heads side by side and two meta
# screens (on servers of their own, started as the plain ones), and prints
# one table: per case and display, M's longest round trip (and its ratio
# to the plain server of the same shape), the acting client's time, whether
# C was cut, the copies C's socket took in during its flood and C's wait
# for its final sync. A client cut shows as CUT, one whose last answer did
# not come within the limit (-l, 120 s) as LATE, a longest round trip or an
# action that ended in a cut or passed the limit with "!".
# Usage: bench/flood.sh [BUILD_DIR] [bench_flood options...] (default:
# build; best a built tree without sanitizers; options as bench/flood.cpp
# says, e.g. -f 4000 -a 1500 for a shorter flood, -c focus for one case).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
shift || true
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
for name in one a b m0 m1; do
  start_xvfb "$name" $((number + 1))
  heads+=("$number")
done
one=$(free_display $((number + 1)))
start_proxy "$one" screen ":${heads[0]}.0"
two=$(free_display $((one + 1)))
start_proxy "$two" screen ":${heads[1]}.0" screen ":${heads[2]}.0"
meta=$(free_display $((two + 1)))
start_proxy "$meta" metaScreen m0 screen ":${heads[3]}.0" metaScreen m1 screen ":${heads[4]}.0"

echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$build/bench/bench_flood" "$@" bare1=":$bare1" 1head=":$one" bare2wide=":$bare2" 2heads=":$two" \
  bare2screens=":$screens" 2screens=":$meta"
for number in "$one" "$two" "$meta"; do
  grep -E "WARNING|PROBLEM" "$work/proxy.$number.log" | sort | uniq -c | head -n 6 | sed "s/^/proxy :$number: /" || true
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
