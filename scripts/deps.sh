#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Sincrovia need.
# Usage: bash scripts/deps.sh [build|run|test|bench|fuzz|package]...
set -euo pipefail
want=("$@"); [ ${#want[@]} -gt 0 ] || want=(build)
# Qt Charts needs the OpenGL module's CMake files, which its Debian package does not pull in.
pkgs=(cmake ninja-build g++ ccache qt6-base-dev libgl-dev libsqlite3-dev qt6-charts-dev libqt6opengl6-dev)
for w in "${want[@]}"; do
  case "$w" in
    build) ;;
    run)   pkgs+=(fonts-dejavu-core) ;;
    test)  pkgs+=(libgtest-dev libgmock-dev socat xvfb xauth fonts-dejavu-core dpkg-dev file man-db) ;;
    package) pkgs+=(dpkg-dev file) ;;
    bench) pkgs+=(libbenchmark-dev libpcre2-dev) ;;
    fuzz)  pkgs+=(clang-14 libclang-rt-14-dev) ;;
    *) echo "unknown set: $w" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
