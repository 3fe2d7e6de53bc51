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
trap 'stop_processes; rm -rf "$work"' EXIT
. "$top/bench/servers.sh"

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
onepid=$proxy_pid
two=$(free_display $((one + 1)))
# shellcheck disable=SC2086
start_proxy "$two" ${BENCH_OPTIONS:-} screen ":$d.0" screen ":$e.0"
twopid=$proxy_pid

echo "bare Xvfb :$a, relay :$relay, proxy :$one (one head, :$c), proxy :$two (heads :$d and :$e)"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$build/bench/bench_xwork" ${BENCH_WORK:+-w "$BENCH_WORK"} -r "$rounds" -m "$clients" -c "$cycles" bare=":$a" relay=":$relay" \
  "1head=:$one@$onepid" "2heads=:$two@$twopid" "2bare=:$a+:$b"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
