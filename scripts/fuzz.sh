#!/usr/bin/env bash
# Builds the fuzz targets with clang (address and undefined-behaviour
# sanitizers, libFuzzer) and runs each for a fixed number of runs from its
# seed corpus, so an input that crashes shows up as a failure.
# Usage: scripts/fuzz.sh [runs per target] (default 20000); FUZZ_SEED picks
# libFuzzer's random seed (default 1, so runs repeat), FUZZ_BUILD the tree.
# The tree is built with -Werror; FUZZ_TESTS=ON builds the tests in it too
# (not run), which makes it CI's clang warnings pass.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
runs=${1:-20000}
build=${FUZZ_BUILD:-$top/build-fuzz}

if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y clang
fi
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-4} "$here/setup.sh" "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DPALVON_FUZZ=ON -DPALVON_WERROR=ON -DPALVON_TESTS="${FUZZ_TESTS:-OFF}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for seeds in "$top"/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  target="$build/fuzz/fuzz_$name"
  [ -x "$target" ] || { echo "fuzz: no target for corpus $name" >&2; status=1; continue; }
  # New inputs go to a scratch corpus; the seeds in the tree stay as they are.
  scratch=$(mktemp -d)
  echo "fuzz: $name, $runs runs"
  if ! (cd "$scratch" && "$target" -runs="$runs" -seed="${FUZZ_SEED:-1}" -max_len=4096 -timeout=30 \
          -rss_limit_mb=2048 -print_final_stats=1 "$scratch" "$seeds"); then
    echo "fuzz: $name failed; the crashing input is in $scratch" >&2
    status=1
    continue
  fi
  rm -rf "$scratch"
done
exit $status
