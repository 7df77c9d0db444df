#!/usr/bin/env bash
# Builds the Debian package sincrovia_<version>_amd64.deb with CPack.
#   scripts/package.sh                  release build; the package lands in build/release/
#   scripts/package.sh --check BUILD    packages the finished build folder BUILD instead (the
#                                       test script uses its ci build), then checks the package:
#                                       its listing, and, unpacked into a temporary root, the
#                                       console's --help and one manual page.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build package
export CCACHE_DIR="${CCACHE_DIR:-$PWD/build/ccache}"

check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  build="${2:?usage: scripts/package.sh --check BUILD}"
else
  build=build/release
  # The package needs the three programs only, not the benchmarks.
  cmake --preset release -DSINCROVIA_BENCH=OFF -DSINCROVIA_GUI=ON >/dev/null
  cmake --build --preset release
fi

rm -f "$build"/sincrovia_*_amd64.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/sincrovia_*_amd64.deb)"
echo "package: $deb"
[ "$check" = 1 ] || exit 0

listing="$(dpkg-deb -c "$deb")"
echo "$listing"
dpkg-deb -f "$deb" Package Version Architecture Depends
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for f in usr/bin/sincrovia usr/bin/sincrovia-decoder-sim usr/bin/sincrovia-console \
         usr/share/applications/sincrovia.desktop usr/share/icons/hicolor/scalable/apps/sincrovia.svg \
         usr/share/man/man1/sincrovia.1 usr/share/man/man1/sincrovia-decoder-sim.1 \
         usr/share/man/man1/sincrovia-console.1 usr/lib/udev/rules.d/60-sincrovia-usb-serial.rules \
         usr/share/doc/sincrovia/README.Debian; do
  [ -e "$root/$f" ] || { echo "missing from the package: /$f" >&2; exit 1; }
done
"$root/usr/bin/sincrovia-console" --help >/dev/null
man -l -P cat "$root/usr/share/man/man1/sincrovia.1" 2>/dev/null | grep -q "UNATTENDED RUNS" \
  || { echo "the manual page sincrovia.1 does not read" >&2; exit 1; }
echo "package checked: $(basename "$deb")"
