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

start_layouts

echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$build/bench/bench_flood" "$@" bare1=":$bare1" 1head=":$one" bare2wide=":$bare2" 2heads=":$two" \
  bare2screens=":$screens" 2screens=":$meta"
for number in "$one" "$two" "$meta"; do
  grep -E "WARNING|PROBLEM" "$work/proxy.$number.log" | sort | uniq -c | head -n 6 | sed "s/^/proxy :$number: /" || true
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
