#!/usr/bin/env bash
# Builds palvon and runs it through its wrapper script.
# Usage: scripts/run.sh [palvon arguments...]   (default: -version)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/build" >/dev/null
if [ $# -eq 0 ]; then set -- -version; fi
exec "$top/build/bin/palvon" "$@"
