#!/usr/bin/env bash
# Builds dscam (release) and runs the main job against the emulated camera.
# Extra arguments go to dscam.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DDSCAM_TESTS=OFF >/dev/null
cmake --build build/release --target dscam
if [ $# -gt 0 ]; then
  exec build/release/tools/dscam/dscam "$@"
fi
exec build/release/tools/dscam/dscam --help
