#!/usr/bin/env bash
# Builds palvon and runs it. Without arguments it starts a session of one's
# own (scripts/session.sh): the proxy in front of a local Xvfb of its own on
# free display numbers, open only to clients with the cookie it prints the
# lines for (export DISPLAY=... and export XAUTHORITY=...); Ctrl-C ends it.
# With arguments they are handed to palvon through its wrapper script, as in
#   scripts/run.sh -version
#   scripts/run.sh connection :5 screen :1.0
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/build" >/dev/null
palvon="$top/build/bin/palvon"
if [ $# -gt 0 ]; then exec "$palvon" "$@"; fi

exec "$top/scripts/session.sh" "$top/build"
