# shellcheck shell=bash disable=SC2154 # top, build and work are the caller's
# Sourced by the bench scripts: Xvfbs, proxies and a byte relay, with their
# logs in $work. The caller sets top, build and work and calls
# stop_processes at its exit (the proxies and the relay first and waited
# for: their servers leaving under them would only make them log).
. "$top/scripts/displays.sh"

server_pids=()
other_pids=()

stop_processes() {
  local i
  for ((i = ${#other_pids[@]} - 1; i >= 0; i--)); do kill -TERM "${other_pids[i]}" 2>/dev/null || true; done
  for pid in "${other_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  for pid in "${server_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${server_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  other_pids=()
  server_pids=()
}

# start_xvfb NAME FROM [WxHxD [ARGS...]]: an Xvfb on the first free number
# from FROM on, 1280x1024x24 unless given, with more arguments of Xvfb's
# (another screen); sets $number once it serves.
start_xvfb() {
  local fifo="$work/displayfd.$1"
  number=$(free_display "$2")
  mkfifo "$fifo"
  Xvfb ":$number" -displayfd 3 -screen 0 "${3:-1280x1024x24}" "${@:4}" -nolisten tcp -maxclients 2048 3>"$fifo" \
    >"$work/xvfb.$1.log" 2>&1 &
  server_pids+=("$!")
  head -n1 <"$fifo" >/dev/null
}

# start_proxy NUMBER STATEMENTS...: the proxy on :NUMBER, which signals this
# shell once it serves; $proxy_pid is its pid.
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
  proxy_pid=$!
  other_pids+=("$proxy_pid")
  while [ $ready -eq 0 ] && kill -0 "$proxy_pid" 2>/dev/null; do wait "$proxy_pid" || true; done
  [ $ready -eq 1 ] || { echo "the proxy did not start:" >&2; cat "$work/proxy.$number.log" >&2; exit 1; }
}

# start_relay FROM DISPLAY: socat with 1 MiB buffers on the first free
# number from FROM on, in front of Xvfb :DISPLAY; sets $number once it
# listens.
start_relay() {
  command -v socat >/dev/null || { echo "socat is needed (scripts/packages.txt)" >&2; exit 1; }
  number=$(free_display "$1")
  socat -b 1048576 "UNIX-LISTEN:/tmp/.X11-unix/X$number,fork" "UNIX-CONNECT:/tmp/.X11-unix/X$2" 2>"$work/relay.log" &
  other_pids+=("$!")
  local tries=0
  until [ -S "/tmp/.X11-unix/X$number" ]; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "the relay did not start" >&2; exit 1; }
    sleep 0.05
  done
}

# start_layouts [NAME...]: plain Xvfbs of each shape (one head 1280x1024,
# two heads side by side as one 2560x1024, two screens), then the proxy in
# front of one head, two heads side by side and two meta screens, each on
# Xvfbs of its own, started as the plain ones; one more Xvfb per NAME for
# the caller. Sets bare1, bare2, screens, one, two and meta, and heads (the
# proxies' Xvfbs, then the caller's, from heads[5] on).
start_layouts() {
  start_xvfb bare1 30 1280x1024x24
  bare1=$number
  start_xvfb bare2 $((bare1 + 1)) 2560x1024x24
  bare2=$number
  start_xvfb screens $((bare2 + 1)) 1280x1024x24 -screen 1 1280x1024x24
  screens=$number
  heads=()
  local name
  for name in one a b m0 m1 "$@"; do
    start_xvfb "$name" $((number + 1))
    heads+=("$number")
  done
  one=$(free_display $((number + 1)))
  start_proxy "$one" screen ":${heads[0]}.0"
  two=$(free_display $((one + 1)))
  start_proxy "$two" screen ":${heads[1]}.0" screen ":${heads[2]}.0"
  meta=$(free_display $((two + 1)))
  start_proxy "$meta" metaScreen m0 screen ":${heads[3]}.0" metaScreen m1 screen ":${heads[4]}.0"
  number=$meta
}
