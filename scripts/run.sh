#!/usr/bin/env bash
# Builds palvon and runs it. Without arguments it starts the proxy in front
# of a local Xvfb of its own (the proxy starts and stops that server) on
# free display numbers, and prints the display to use; Ctrl-C ends both.
# With arguments they are handed to palvon through its wrapper script, as in
#   scripts/run.sh -version
#   scripts/run.sh connection :5 screen :1.0
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/build" >/dev/null
palvon="$top/build/bin/palvon"
if [ $# -gt 0 ]; then exec "$palvon" "$@"; fi

. "$top/scripts/displays.sh"
server=$(free_display 20)
proxy=$(free_display $((server + 1)))
mkdir -p "$top/build/var/logs"

# The proxy sends SIGUSR1 to its parent once it serves clients, when it
# started with that signal ignored.
ready=0
trap 'ready=1' USR1
(
  trap '' USR1
  exec "$palvon" logDestination stderr connection ":$proxy" screen ":$server.0" \
    serverCommand Xvfb ":$server" -screen 0 1280x1024x24 -nolisten tcp
) &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null; wait "$pid"; exit 0' INT TERM
while [ $ready -eq 0 ] && kill -0 "$pid" 2>/dev/null; do
  wait "$pid" || true
done
if [ $ready -eq 0 ]; then
  echo "palvon did not start (see the lines above)" >&2
  exit 1
fi
echo
echo "palvon serves display :$proxy in front of Xvfb :$server"
echo "  try: DISPLAY=:$proxy xdpyinfo"
echo "Ctrl-C ends the proxy and its Xvfb."
wait "$pid"
