#!/usr/bin/env bash
# CI smoke run of the fuzz targets: makes sure the compiler and the fuzzer runtime are there,
# builds every target and runs each for a short fixed time from its seed corpus. It catches a
# target that no longer builds, a seed that crashes, and the shallow faults a few seconds find;
# the long runs are fuzz/run.sh's job.
#   fuzz/smoke.sh [SECONDS]        default 15 seconds per target
# Environment: FUZZ_BUILD (default build/fuzz-smoke), FUZZ_CXX (default clang++-14).
# Exit status: 0 when every target built and ran without a finding.
set -euo pipefail

seconds="${1:-15}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export FUZZ_BUILD="${FUZZ_BUILD:-$root/build/fuzz-smoke}"
export FUZZ_CXX="${FUZZ_CXX:-clang++-14}"
packages=(clang-14 libclang-rt-14-dev)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "fuzz smoke: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

start=$(date +%s)
status=0
"$root/fuzz/run.sh" "$seconds" || status=$?
echo "fuzz smoke: $(( $(date +%s) - start ))s in all (build and ${seconds}s per target), status $status"
exit "$status"
