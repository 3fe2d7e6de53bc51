#!/usr/bin/env bash
# Builds palvon with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# every test. Extra arguments go to ctest (for example -L unit).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/build-asan" -DPALVON_SANITIZE=ON -DPALVON_WERROR=ON
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$top/build-asan"
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
