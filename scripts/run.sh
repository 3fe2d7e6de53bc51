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
build=$top/build
# A first build takes minutes: it says so, and the build's progress shows
# (on stderr, so that what palvon prints stays apart). Later runs show what
# is rebuilt, if anything.
if [ -x "$build/libexec/palvon" ]; then
  "$top/scripts/setup.sh" "$build" |
    sed -u '/^-- /d; /Re-checking globbed directories/d; /^ninja: no work to do\.$/d' >&2
else
  echo "Building palvon in $build (a first build takes a few minutes)..." >&2
  "$top/scripts/setup.sh" "$build" >&2
fi
palvon="$build/bin/palvon"
if [ $# -gt 0 ]; then exec "$palvon" "$@"; fi

exec "$top/scripts/session.sh" "$build"
