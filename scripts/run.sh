#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Sincrovia and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build run
export CCACHE_DIR="${CCACHE_DIR:-$PWD/build/ccache}"
cmake --preset ci >/dev/null
cmake --build --preset ci
# Until the window lands, the main job is the decoder console.
exec build/ci/tools/console/sincrovia-console --help
