#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs the whole test suite: an optimised build with
# warnings as errors, then ASan+UBSan over everything and TSan over the threaded parts.
# SINCROVIA_QUICK=1 runs only the first build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build test
export CCACHE_DIR="${CCACHE_DIR:-$PWD/build/ccache}"
run() { echo "== $(date +%H:%M:%S) $*"; "$@"; }
for preset in ci asan tsan; do
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset"
  run ctest --preset "$preset"
  [ "${SINCROVIA_QUICK:-0}" = 1 ] && break
done
echo "all test runs passed"
