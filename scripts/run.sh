#!/usr/bin/env bash
# Builds dscam (release) and runs it against the emulated camera. With no
# arguments it captures 30 frames into frames/; arguments go to dscam instead
# (for example: scripts/run.sh info, scripts/run.sh capture -n 100 --format png).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh pkg-config libusb-1.0-0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libcpp-httplib-dev
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DDSCAM_TESTS=OFF >/dev/null
cmake --build build/release --target dscam
if [ $# -gt 0 ]; then
  exec build/release/tools/dscam/dscam "$@"
fi
exec build/release/tools/dscam/dscam capture
