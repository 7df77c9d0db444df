#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Sincrovia and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build run
export CCACHE_DIR="${CCACHE_DIR:-$PWD/build/ccache}"
cmake --preset ci >/dev/null
cmake --build --preset ci

# The main job needs no hardware: four simulated decoders on virtual ports, their clocks set
# apart (+1700, -800, +300 and +40 ms), and the program with those ports already chosen.
# Click "1-Open COM", then "2-Read Date and Time" (KO: the clocks are 2.5 s apart), then
# "3-Synchro Date and Time" and watch the verdict turn green. Closing the program stops the
# decoders. Every frame the decoders receive is logged in build/ci/decoder-arrivals.log.
app=build/ci/app/sincrovia
sim=build/ci/tools/simulator/sincrovia-decoder-sim
ready_timeout_s=10

sim_out="$(mktemp)"
"$sim" --log build/ci/decoder-arrivals.log \
  PITIN:offset=1700 PITOUT:offset=-800 START:offset=300 T1:offset=40 >"$sim_out" 2>&1 &
sim_pid=$!
cleanup() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rm -f "$sim_out"
}
trap cleanup EXIT

for _ in $(seq $((ready_timeout_s * 10))); do
  grep -q '^ready' "$sim_out" && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    cat "$sim_out" >&2
    echo "the decoder simulator did not start" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q '^ready' "$sim_out"; then
  cat "$sim_out" >&2
  echo "the decoder simulator did not publish its ports within ${ready_timeout_s} s" >&2
  exit 1
fi

# The port choice the program restores at start, beside the program file.
printf 'CmbCOMPort_1=PITIN\r\nCmbCOMPort_2=PITOUT\r\nCmbCOMPort_3=START\r\nCmbCOMPort_4=T1\r\n' \
  >"$(dirname "$app")/MemCom.set"

status=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  xvfb-run -a "$app" || status=$?
else
  "$app" || status=$?
fi
exit "$status"
