#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 20, the CI smoke run).
#   fuzz/run.sh [SECONDS] [TARGET...]        e.g. fuzz/run.sh 300 cutter regex
# Environment: FUZZ_BUILD (build folder, default build/fuzz), FUZZ_CXX (default clang++-14),
# FUZZ_JOBS (targets run at the same time, default 1).
#
# Every target starts from its seed corpus fuzz/corpus/<name>/ (read only) and keeps what it
# learns in $FUZZ_BUILD/corpus/<name>/, so the seeds in the repository stay small. A finding is
# written to $FUZZ_BUILD/findings/<name>/ (crash-*, timeout-*, oom-*); replay it with
#   $FUZZ_BUILD/fuzz_<name> <file>
# and keep it as a regression test in tests/<folder>/fuzz_regressions_test.cpp of the folder
# whose code is at fault.
#
# Adding a target (for example the restore of "MemCom.set" or the reply intake's HandleReading
# in app/):
#   1. write fuzz/fuzz_<name>.cpp with LLVMFuzzerTestOneInput; CMake picks it up by its name;
#   2. when its code lives outside util/, serial/ and decoder_link/, add those sources (and only
#      the toolkit-free ones, or find Qt there) to the source list of sincrovia_fuzz_libs in
#      fuzz/CMakeLists.txt;
#   3. put a few small seed files in fuzz/corpus/<name>/ (valid inputs and near misses);
#   4. a target that needs files writes them to a private temporary folder, and one that can
#      show a message box installs a desktop that answers at once (see fuzz_settings.cpp).
set -euo pipefail

seconds="${1:-20}"
shift || true
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD:-$root/build/fuzz}"
cxx="${FUZZ_CXX:-clang++-14}"
jobs="${FUZZ_JOBS:-1}"

# A fresh machine has neither clang nor its fuzzer runtime yet.
bash "$root/scripts/deps.sh" build fuzz
cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j2

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in "$root"/fuzz/fuzz_*.cpp; do
    n="$(basename "$f" .cpp)"
    targets+=("${n#fuzz_}")
  done
fi

run_one() {
  local name="$1" log
  mkdir -p "$build/corpus/$name" "$build/findings/$name"
  log="$build/findings/$name/last-run.log"
  # -timeout: one input taking longer is a finding; -rss_limit_mb: so is one that eats memory.
  if "$build/fuzz_$name" "$build/corpus/$name" "$root/fuzz/corpus/$name" \
       -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
       -print_final_stats=1 -artifact_prefix="$build/findings/$name/" >"$log" 2>&1; then
    echo "fuzz_$name: no finding in ${seconds}s ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs)"
    return 0
  fi
  echo "fuzz_$name: FINDING, see $log"
  grep -E '^(==[0-9]+==ERROR|SUMMARY|fuzz_[a-z]+:)' "$log" | head -5 || true
  ls "$build/findings/$name"/crash-* "$build/findings/$name"/timeout-* "$build/findings/$name"/oom-* 2>/dev/null || true
  return 1
}

status=0
pids=()
for name in "${targets[@]}"; do
  run_one "$name" &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do
  wait "$p" || status=1
done
exit "$status"
