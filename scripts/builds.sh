#!/usr/bin/env bash
# The two further builds CI makes beside the sanitizer build: RelWithDebInfo
# with -Werror and no sanitizers (only its unit tests and the few Xvfb tests
# tests/CMakeLists.txt names for it are built and run; the optimiser sees
# what a sanitizer build hides), and clang with -Werror
# (built, not run).
# Usage: scripts/builds.sh [release|clang]...   (default: both)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${PALVON_JOBS:-$(nproc)}
[ $# -gt 0 ] || set -- release clang
for kind in "$@"; do
  case "$kind" in
    release)
      "$top/scripts/setup.sh" "$top/build-release" -DPALVON_WERROR=ON -DPALVON_XVFB_TESTS=OFF
      (cd "$top/build-release" && ctest --output-on-failure -j "$jobs" --timeout 600)
      ;;
    clang)
      CC=clang CXX=clang++ "$top/scripts/setup.sh" "$top/build-clang" -DPALVON_WERROR=ON
      ;;
    *)
      echo "unknown build: $kind" >&2
      exit 2
      ;;
  esac
done
