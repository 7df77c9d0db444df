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
# With a display: click "1-Open COM", then "2-Read Date and Time" (KO: the clocks are 2.5 s
# apart), then "3-Synchro Date and Time" and watch the verdict turn green. Closing the program
# stops the decoders.
# Without a display the same three steps run unattended, each printing its table and verdict
# and leaving a screenshot of the whole window in build/ci/shots/; SINCROVIA_DOCS_SHOTS=1 also
# copies the first and last into docs/ (the README's pictures).
# Every frame the decoders receive is logged in build/ci/decoder-arrivals.log.
app=build/ci/app/sincrovia
sim=build/ci/tools/simulator/sincrovia-decoder-sim
ready_timeout_s=10
shots=build/ci/shots

# Qt and the virtual ports both use the per-user runtime folder; a login over SSH or a
# container may not have one.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR="/tmp/runtime-$(id -u)"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi

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

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  status=0
  "$app" || status=$?
  exit "$status"
fi

# One unattended step: its name, the exit status the story expects, the program's arguments.
mkdir -p "$shots"
failed=0
step() {
  local name="$1" expected="$2" status=0
  shift 2
  echo
  echo "=== $name"
  "$app" --unattended "$@" --screenshot "$shots/$name.png" || status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "=== $name: exit status $status, expected $expected" >&2
    failed=1
  fi
}
step 1-read 1 read
step 2-sync 0 sync
step 3-read-again 0 read
echo
echo "screenshots:"
ls -1 "$shots"/1-read.png "$shots"/2-sync.png "$shots"/3-read-again.png
if [ "${SINCROVIA_DOCS_SHOTS:-0}" = 1 ]; then
  cp "$shots/1-read.png" docs/window-ko.png
  cp "$shots/3-read-again.png" docs/window-ok.png
  echo "copied to docs/window-ko.png and docs/window-ok.png"
fi
exit "$failed"
