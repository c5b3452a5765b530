#!/usr/bin/env bash
# Builds and runs the test suite three times: with AddressSanitizer and
# UndefinedBehaviorSanitizer (unit, integration, stress tests, fuzz corpus
# replays, and the libusb device model on umockdev's emulated usbdevfs node),
# the concurrency tests with ThreadSanitizer, and the concurrency and
# reliability tests on an optimised gcc build (assertions on) with more test
# processes than cores: the sanitizers slow every thread down alike and hide
# faults that only a different timing shows. After the sanitizer run, the
# live page of dscam serve is tested in a real browser. Last, the GStreamer
# element of that build as GStreamer's own tools load it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh tshark pkg-config libusb-1.0-0-dev umockdev libumockdev-dev \
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev \
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good pngcheck libcpp-httplib-dev
jobs=${DSCAM_JOBS:-2}
# The compiler cache shared between clones of the tree wherever they are:
# paths below the tree are hashed relative to it, and the build folder is left
# out of the hash of debug builds (their debug information then names the
# folder of the first build; line numbers and functions are the same).
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DDSCAM_SANITIZE=address,undefined -DDSCAM_FUZZ=ON -DDSCAM_BENCH=OFF >/dev/null
cmake --build build/asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
ctest --test-dir build/asan -j "$jobs" -LE 'reliability|umockdev' --output-on-failure
# Real libusb on umockdev's usbdevfs node, run under its preload
# (umockdev-wrapper), which comes before the sanitizer runtime.
echo "== The libusb device model on umockdev under the same sanitizers"
ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0 \
  ctest --test-dir build/asan -j "$jobs" -L umockdev --output-on-failure
# The low-resources sweep and the random-fault run spend their time waiting for
# the camera and the driver's delays, not computing: more of them run at once.
echo "== Reliability (low-resources sweep, random-fault run) under the same sanitizers"
ctest --test-dir build/asan -j "${DSCAM_RELIABILITY_JOBS:-10}" -L reliability --output-on-failure
unset ASAN_OPTIONS UBSAN_OPTIONS

# dscam serve (the sanitizer build) with its page in Debian's chromium, driven by
# playwright-core from the npm lockfile; never a browser download. The
# screenshot is kept in build/asan/web.
echo "== The live page in a real browser (dscam serve, chromium, playwright-core)"
scripts/deps.sh chromium nodejs
command -v npm >/dev/null || scripts/deps.sh npm
npm ci --prefix tests/web --no-audit --no-fund --prefer-offline
DSCAM_TOOL=build/asan/tools/dscam/dscam DSCAM_ARTEFACTS=build/asan/web node --test tests/web/serve.test.mjs

echo "== ThreadSanitizer (concurrency tests)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DDSCAM_SANITIZE=thread -DDSCAM_BENCH=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target dscam_stress_tests dscam_libusb_tests dscam_gst_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -j "$jobs" -L concurrency -LE 'umockdev|gst' --output-on-failure
# libudev and GLib (umockdev's preload and testbed) are not instrumented:
# their own synchronisation is invisible to ThreadSanitizer.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/libusb/tsan_suppressions.txt \
  ctest --test-dir build/tsan -j "$jobs" -L umockdev-concurrency --output-on-failure
# GLib and GStreamer (the element's tests) likewise.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/gst/tsan.supp \
  ctest --test-dir build/tsan -j "$jobs" -L gst-concurrency --output-on-failure

echo "== Release build under load (concurrency and reliability tests)"
cmake -S . -B build/gcc-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2 -DCMAKE_C_FLAGS_RELEASE=-O2 \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DDSCAM_BENCH=ON >/dev/null
cmake --build build/gcc-release -j "$jobs"
ctest --test-dir build/gcc-release -j "${DSCAM_LOAD_JOBS:-8}" -L 'concurrency|reliability' --output-on-failure

echo "== GStreamer element (Release build): gst-inspect-1.0, 30 frames to PNG"
export GST_PLUGIN_PATH=$PWD/build/gcc-release/tools/gstdscam
inspect=$(gst-inspect-1.0 dscamsrc)
for property in device zoom pictures camera-fps fault frames-dropped; do
  if ! grep -qE "^  $property +:" <<<"$inspect"; then
    echo "gst-inspect-1.0 dscamsrc does not list the property $property"
    exit 1
  fi
done
pngs=$(mktemp -d)
trap 'rm -rf "$pngs"' EXIT
gst-launch-1.0 -q -e dscamsrc num-buffers=30 ! videoconvert ! pngenc ! multifilesink location="$pngs/frame-%05d.png"
written=$(find "$pngs" -name 'frame-*.png' | wc -l)
if [ "$written" -ne 30 ]; then
  echo "gst-launch-1.0 wrote $written PNG files, not 30"
  exit 1
fi
pngcheck -q "$pngs"/frame-*.png
echo "30 valid PNG files"
