#!/usr/bin/env bash
# Starts palvon of a build tree in front of a local Xvfb of its own (the
# proxy starts and stops that server) on free display numbers, for one user:
# clients need the cookie this script writes to an authority file only its
# owner can read. Prints the lines that point a shell at the session and
# runs until Ctrl-C (or SIGTERM), which ends the proxy, its Xvfb and the file.
# Usage: scripts/session.sh BUILD_DIR   (scripts/run.sh builds and runs it)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build directory}" && pwd)
palvon="$build/bin/palvon"

. "$here/displays.sh"
pid= server= proxy= authority=
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  pid=
  rm -f ${authority:+"$authority"} ${server:+"/tmp/.X$server-lock"} ${proxy:+"/tmp/.X$proxy-lock"}
}
trap 'cleanup; exit 0' INT TERM
trap cleanup EXIT
# Both numbers are claimed: sessions started at once each get their own.
server=$(claim_display 20)
proxy=$(claim_display $((server + 1)))
mkdir -p "$build/var/logs"

# The cookie goes to xauth on its standard input: a command line is
# readable by every user of the machine.
authority=$(mktemp "$build/var/authority-$proxy.XXXXXX")
chmod 600 "$authority"
cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
echo "add :$proxy . $cookie" | xauth -q -f "$authority" source -

# The proxy sends SIGUSR1 to its parent once it serves clients, when it
# started with that signal ignored. The session keeps running when its last
# client leaves (a reset would sleep before the next client is served), and
# offers the keyboard and screen-configuration extensions common tools need.
# The proxy and its Xvfb run in a process group of their own: Ctrl-C in the
# terminal reaches only this script, which ends the proxy, which stops its
# Xvfb in turn (a Ctrl-C that reached the Xvfb too would end the proxy with
# "Display ... is offline" instead).
ready=0
trap 'ready=1' USR1
(
  trap '' USR1
  exec setsid "$palvon" logDestination stderr connection ":$proxy" authorization "$authority" \
    noReset on extensions +XKEYBOARD +RANDR \
    screen ":$server.0" serverCommand Xvfb ":$server" -nolock -screen 0 1280x1024x24 -nolisten tcp
) &
pid=$!
while [ $ready -eq 0 ] && kill -0 "$pid" 2>/dev/null; do
  wait "$pid" || true
done
if [ $ready -eq 0 ]; then
  pid=
  echo "palvon did not start (see the lines above)" >&2
  exit 1
fi
echo
echo "palvon (pid $pid) serves display :$proxy in front of Xvfb :$server; in another shell:"
printf 'export DISPLAY=:%s\n' "$proxy"
printf 'export XAUTHORITY=%q\n' "$authority"
echo "Ctrl-C ends the proxy and its Xvfb."
wait "$pid" || true
pid=
