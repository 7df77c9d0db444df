#!/usr/bin/env bash
# Builds the Windows programs with the mingw-w64 cross compiler and runs them under wine:
#   1. the core test programs (util, serial, decoder_link), with a connected pair of COM ports
#      (two pseudo-terminals joined by socat, mapped as COM5 and COM6) for the serial tests;
#   2. the Windows decoder console against the (Linux) decoder simulator, whose line is mapped
#      as COM7: firmware, manual lap, set date-time and a manual lap stamped by the new clock.
# Wine runs in a fresh prefix made here (no display, WINEDEBUG=-all), removed at the end.
# Prints "N passed, N failed" and exits non-zero when anything failed.
#   SINCROVIA_WIN_TESTS="regex"  runs only the test programs whose name matches.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

need=(g++-mingw-w64-x86-64-posix wine wine64 googletest socat)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
bash scripts/deps.sh build
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
export CCACHE_DIR="${CCACHE_DIR:-$root/build/ccache}"

# The (Linux) decoder simulator: SINCROVIA_SIM names one already built, else it is built here.
sim="${SINCROVIA_SIM:-}"
if [ -z "$sim" ] || [ ! -x "$sim" ]; then
  echo "== native decoder simulator"
  cmake -S . -B build/windows-host -G Ninja -DCMAKE_BUILD_TYPE=Release -DSINCROVIA_GUI=OFF \
    -DSINCROVIA_TESTS=OFF >/dev/null
  cmake --build build/windows-host --target sincrovia-decoder-sim
  sim=$root/build/windows-host/tools/simulator/sincrovia-decoder-sim
fi

echo "== cross build"
cmake --preset mingw >/dev/null
# The core test programs of this configuration (a stale program of an earlier one is not run).
mapfile -t programs < <(ninja -C build/mingw -t targets all |
  sed -n -E 's/^((util|serial|decoder_link)_[a-z0-9_]+_test): phony$/\1/p' | sort)
if [ -n "${SINCROVIA_WIN_TESTS:-}" ]; then
  mapfile -t programs < <(printf '%s\n' "${programs[@]}" | grep -E "$SINCROVIA_WIN_TESTS" || true)
fi
cmake --build build/mingw --target sincrovia-console "${programs[@]}"

work=$(mktemp -d /tmp/sincrovia-wine.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== wine prefix"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineboot -i </dev/null >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
# One server for every run below (started anew: wineboot's own is still about). Its helper
# processes must not hold this script's output open.
restart_wine() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wineserver -p </dev/null >/dev/null 2>&1
}
restart_wine

# COM5 and COM6: two pseudo-terminals joined together.
socat pty,raw,echo=0,link="$work/com5" pty,raw,echo=0,link="$work/com6" </dev/null \
  >"$work/socat.log" 2>&1 &
pids+=($!)
# COM7: the decoder simulator's line.
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR"
"$sim" --log "$work/sim-frames.log" PITIN </dev/null >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
for _ in $(seq 100); do
  [ -e "$work/com5" ] && [ -e "$work/com6" ] && grep -q ready "$work/sim.out" && break
  sleep 0.1
done
# Wine's own list of extra ports: its device manager links each as a COM port of the prefix
# (dosdevices/comN) and enters it in the system's device map, where the port list finds it.
for port in "COM5=$work/com5" "COM6=$work/com6" "COM7=$XDG_RUNTIME_DIR/sincrovia-ports/PITIN"; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "${port%%=*}" /d "${port#*=}" /f </dev/null >/dev/null 2>&1
done
# The device manager reads that list when wine starts.
restart_wine
wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' </dev/null 2>/dev/null | tr -d '\r' | grep COM || true

passed=0
failed=0
failures=()
tally() {  # name, exit status, log
  local p f
  p=$(tr -d '\r' <"$3" | sed -n -E 's/^\[  PASSED  \] ([0-9]+) tests?\.$/\1/p' | tail -1)
  f=$(tr -d '\r' <"$3" | sed -n -E 's/^\[  FAILED  \] ([0-9]+) tests?, listed below:$/\1/p' | tail -1)
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
  if [ "$2" -ne 0 ]; then
    [ -n "$f" ] || failed=$((failed + 1))  # crashed or timed out: counts as one failure
    failures+=("$1")
    grep -E '^\[  FAILED  \]|Failure$' -A6 "$3" | head -60 || true
  fi
}

echo "== core tests under wine"
for program in "${programs[@]}"; do
  log=$work/$program.log
  status=0
  SINCROVIA_TEST_COM_PAIR=COM5,COM6 SINCROVIA_TEST_LISTED_PORT=COM5 \
    timeout 300 wine "build/mingw/tests/$program.exe" </dev/null >"$log" 2>&1 || status=$?
  echo "$program: exit $status, $(grep -E '^\[==========\] [0-9]+ tests? from' "$log" | tail -1 || true)"
  tally "$program" "$status" "$log"
done

echo "== decoder console under wine, against the simulator on COM7"
console=build/mingw/tools/console/sincrovia-console.exe
# Runs one console command; the texts the link delivered (standard output) and its log lines
# (standard error) end up in $work/console.txt.
run_console() {
  local status=0
  timeout 60 wine "$console" send --port COM7 "$@" --listen 1500 </dev/null \
    >"$work/console.out" 2>"$work/console.err" || status=$?
  cat "$work/console.out" "$work/console.err" | tr -d '\r' >"$work/console.txt"
  return $status
}
# Counts one check: "ok" with its legend, or "FAILED" with the files that explain it.
# Arguments: 0 when it passed, the legend, the failure's name, the files to show on failure.
count_check() {
  local ok=$1 legend=$2 name=$3
  shift 3
  if [ "$ok" -eq 0 ]; then
    echo "ok: $legend"
    passed=$((passed + 1))
  else
    echo "FAILED: $legend"
    cat "$@"
    failed=$((failed + 1))
    failures+=("console: $name")
  fi
}
# One console check: legend, a pattern that a line of the output must match, the command.
check_console() {
  local legend=$1 pattern=$2 status=0
  shift 2
  run_console "$@" || status=$?
  local ok=1
  [ "$status" -eq 0 ] && grep -qE "$pattern" "$work/console.txt" && ok=0
  count_check "$ok" "$legend (exit $status)" "$legend" "$work/console.txt"
}
check_console "firmware record from the decoder" '^teKAN - teVO Ver: 6\.33\.1' firmware
check_console "manual lap stamped with today's date" "^0000001-$(date +%y-%m-%d)-" manual-lap
check_console "set date-time frame sent" '\(\*\) Cmd_03_Set_DateTm: Sending time 04h:05m:06s' \
  set-datetime --when 2031-02-03T04:05:06.000
check_console "manual lap stamped by the clock just set" '^0000001-31-02-03-04-05-' manual-lap
ok=1
grep -q ' PITIN 00 03 01 1F 02 03 00 04 05 06 ' "$work/sim-frames.log" && ok=0
count_check "$ok" "the decoder received the set date-time frame for 2031-02-03 04:05:06" \
  "set date-time frame" "$work/sim-frames.log"
# A port that does not exist: the link's message box cannot be shown without a display, so the
# system's desktop falls back to printing it, and the console fails.
status=0
timeout 60 wine "$console" send --port COM42 firmware --listen 200 </dev/null \
  >"$work/console.out" 2>"$work/console.err" || status=$?
ok=1
[ "$status" -eq 1 ] && tr -d '\r' <"$work/console.err" | grep -q '^\[Error Open COM\] Unable to open COM42$' && ok=0
count_check "$ok" "a missing port shows its box text and fails (exit $status)" "missing port" \
  "$work/console.out" "$work/console.err"

echo
[ ${#failures[@]} -eq 0 ] || printf 'failed: %s\n' "${failures[@]}"
echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
