#!/usr/bin/env bash
# Builds the release preset and runs every measurement, printing one table (figure, median,
# p99, reference measured in the same run, target) and writing bench/results.json.
#   bench/run.sh                 all measurements
#   TIMER_TICKS=50 bench/run.sh  a shorter timer run (the figure names the tick count)
# The synchronisation, receive-latency and whole-program figures use pseudo-terminals and the
# decoder simulator, so they run on POSIX only; the whole-program figures take about a minute.
# Exit status 1 when a target is missed or a measurement fails.
#
# Adding a measurement: append a command to MEASUREMENTS below. It must print its rows on
# standard output, one JSON object per line (see bench/gather.py for the fields):
#   {"figure": "...", "unit": "ms", "median": 1.2, "p99": 3.4, "reference": "...",
#    "target": "<= 5 ms", "met": true}
# A Google Benchmark program is wrapped as "python3 $here/gather.py gbench <program>".
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="$root/build/release"
ticks="${TIMER_TICKS:-500}"

cd "$root"
# A fresh machine has neither the compiler nor the benchmark libraries yet.
bash scripts/deps.sh build bench
# The window is asked for explicitly: a cache configured once without it would keep it off.
cmake --preset release -DSINCROVIA_GUI=ON >/dev/null
cmake --build "$build" --target bench_cutter bench_version timer_period bench_sync bench_latency \
  bench_program bench_history bench_serial -j2 >/dev/null

MEASUREMENTS=(
  "python3 $here/gather.py gbench $build/bench/bench_cutter"
  "python3 $here/gather.py gbench $build/bench/bench_version"
  "$build/bench/timer_period --ticks $ticks"
  "$build/bench/sync/bench_sync"
  "$build/bench/latency/bench_latency"
  "$build/bench/serial/bench_serial"
  "python3 $here/program/measure.py $build"
  "$build/bench/history/bench_history"
)

rows="$(mktemp)"
trap 'rm -f "$rows"' EXIT
status=0
for m in "${MEASUREMENTS[@]}"; do
  echo "running: ${m//$root\//}" >&2
  if ! $m >>"$rows"; then
    echo "{\"figure\": \"${m//$root\//}\", \"unit\": \"\", \"median\": null, \"p99\": null, \"reference\": \"\", \"target\": \"measurement failed\", \"met\": false}" >>"$rows"
    status=1
  fi
done
python3 "$here/gather.py" table "$rows" "$here/results.json" || status=1
exit "$status"
