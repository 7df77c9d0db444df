#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs the whole test suite:
#   1. an optimised build with warnings as errors, every test (GUI tests offscreen), and the
#      Debian package made from that build and checked (listing, unpacked programs and manual);
#   2. ASan+UBSan over everything;
#   3. TSan over the threaded core (util, serial, decoder link, history, tools) and the end-to-end runs;
#   4. a short smoke run of every fuzz target (clang-14, libFuzzer);
#   5. the core built for Windows with mingw-w64 and its tests run under wine.
# SINCROVIA_QUICK=1 runs only the first stage.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build test package
export CCACHE_DIR="${CCACHE_DIR:-$PWD/build/ccache}"
# Seconds each fuzz target runs in the smoke stage.
fuzz_smoke_seconds=10
run() { echo "== $(date +%H:%M:%S) $*"; "$@"; }
# Suppressions for ThreadSanitizer, each with its reason in the file.
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp ${TSAN_OPTIONS:-}"
for preset in ci asan tsan; do
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset"
  run ctest --preset "$preset"
  if [ "$preset" = ci ]; then
    # The package comes from the ci build (stripped by CPack): no release build of its own.
    run bash scripts/package.sh --check build/ci
  fi
  if [ "${SINCROVIA_QUICK:-0}" = 1 ]; then
    echo "quick run: only the first stage"
    exit 0
  fi
done
run bash fuzz/smoke.sh "$fuzz_smoke_seconds"
SINCROVIA_SIM="$PWD/build/ci/tools/simulator/sincrovia-decoder-sim" run bash scripts/test-windows.sh
echo "== $(date +%H:%M:%S) all test stages passed"
