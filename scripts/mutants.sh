#!/usr/bin/env bash
# Plants faults in the driver and the platform, one at a time, and tells which
# of them the test suite catches: a check of the suite itself, not part of CI.
#
# Each fault is one small edit (a missing completion, a wrong status, an
# off-by-one, a skipped free, ...). For each: apply it, rebuild incrementally
# (build/mutants, gcc, -O2 with assertions), run the unit and concurrency tests
# (each test at most 60 s), undo it. A fault is caught when the build breaks or
# a test fails, and fails again when run alone (a timing failure under load is
# not a catch). The first line is the control: the suite without a fault.
# Prints one line per fault and a count.
#
# Usage: scripts/mutants.sh [NAME ...]   (default: every fault)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/mutants
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2 \
    -DCMAKE_C_FLAGS_RELEASE=-O2 -DDSCAM_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j 2 >/dev/null

# name | file | text to find (exactly once) | replacement; "\n" stands for a line break.
faults=$(cat <<'EOF'
no-fault|||
missing-completion|capture/transfer_thread.cpp|  CompleteStreamSRB(pSrb);\n  DubugMsg(4, "VELTRA_PictureBufferAddr Complete SRB|  DubugMsg(4, "VELTRA_PictureBufferAddr Complete SRB
cancel-completes-twice|stream/read_queue.cpp|  CompleteStreamSRB(pSrb);\n  return TRUE;|  CompleteStreamSRB(pSrb);\n  CompleteStreamSRB(pSrb);\n  return TRUE;
camera-lock-after-stop|controls/camera_commands.cpp|  (void)KeWaitForSingleObject(&pHwDevExt->CameraLockEvent, Executive, KernelMode, FALSE, NULL);\n  KeClearEvent(&pHwDevExt->CameraLockEvent);\n  VELTRA_PushStopTransferMode(pHwDevExt, pSavedTransferMode);|  VELTRA_PushStopTransferMode(pHwDevExt, pSavedTransferMode);\n  (void)KeWaitForSingleObject(&pHwDevExt->CameraLockEvent, Executive, KernelMode, FALSE, NULL);\n  KeClearEvent(&pHwDevExt->CameraLockEvent);
reply-length-off-by-one|protocol/packet_format.cpp|if (n + CAM_DATA_PACKET_OVERHEAD > ReceivedLength)|if (n + CAM_DATA_PACKET_OVERHEAD > ReceivedLength + 1)
cancelled-read-succeeds|stream/read_queue.cpp|  pSrb->Status = STATUS_CANCELLED;|  pSrb->Status = STATUS_SUCCESS;
in-pipe-not-reset|adapter/initialize_device.cpp|  (void)QRNUSB_ResetPipe(pHwDevExt->pRealPhysicalDeviceObject, &pipes[pHwDevExt->InPipeIndex]);\n|
mdl-not-freed|usb/usb_bulk.cpp|    IoFreeMdl(Context->Mdl);|    (void)Context->Mdl;
drop-count-off-by-one|capture/frame_delivery.cpp|Time / Interval - static_cast<LONGLONG>(FrameNumber);|Time / Interval - static_cast<LONGLONG>(FrameNumber) + 1;
rows-upside-down|image/image_synth.cpp|const ULONG row = pFrame->bTopDown ? index : pFrame->Rows - 1 - index;|const ULONG row = pFrame->bTopDown ? pFrame->Rows - 1 - index : index;
checksum-misses-last-byte|protocol/packet_format.cpp|  for (LONG i = 0; i < Count; ++i)|  for (LONG i = 0; i < Count - 1; ++i)
zoom-range-off-by-one|controls/camera_commands.cpp|if (Value < 0 \|\| Value > ZOOM_MAXIMUM)|if (Value < 0 \|\| Value > ZOOM_MAXIMUM + 1)
frame-number-not-counted|capture/frame_delivery.cpp|FrameNumber = ++pStrmEx->FrameCount;|FrameNumber = pStrmEx->FrameCount;
range-rows-swapped|stream/stream_tables.cpp|    &StreamFormatRGB24Bpp_Capture.DataRange,\n    &StreamFormatRGB24Bpp_Capture2.DataRange,|    &StreamFormatRGB24Bpp_Capture2.DataRange,\n    &StreamFormatRGB24Bpp_Capture.DataRange,
close-leaves-thread|adapter/stream_open.cpp|  (void)VELTRA_StopTransferThread(pStrmEx);\n  KeSetEvent|  KeSetEvent
bus-short-read-accepted|platform/usbbus/usb_bus_requests.cpp|else if (n < requested && !short_ok)|else if (n < requested && short_ok)
bus-removal-keeps-transfers|platform/usbbus/usb_bus.cpp|  end_pending_locked(core, USBD_STATUS_DEVICE_GONE, true, nullptr);\n|
pool-guards-unchecked|platform/kernel/pool.cpp|if (std::memcmp(header, &copy, sizeof copy) != 0 \|\| !guards_intact(header, copy.size))|if (std::memcmp(header, &copy, sizeof copy) != 0 \|\| (copy.size == 0 && !guards_intact(header, copy.size)))
host-double-completion-unseen|platform/streamclass/request.cpp|    if (sync.state != RequestState::Delivered) {|    if (sync.state == RequestState::Created) {
EOF
)

# Applies (or, with "undo", reverts) one fault: python does the exact replacement.
apply_fault() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, find, replace = sys.argv[1], sys.argv[2], sys.argv[3]
unescape = lambda s: s.replace('\\|', '|').replace('\\n', '\n')
find, replace = unescape(find), unescape(replace)
text = open(path).read()
if text.count(find) != 1:
    sys.exit(f"{path}: the text to replace occurs {text.count(find)} times")
open(path, 'w').write(text.replace(find, replace))
PY
}

# Runs the suite; a test that fails is run once more alone, and only one that
# fails again counts (a test that passes alone failed for its timing). Prints
# the verdict.
judge() {
  local log=/tmp/mutant-$1.log
  ctest --test-dir "$build" -L 'unit|concurrency' -LE reliability --timeout 60 -j 2 >"$log" 2>&1 && {
    echo "MISSED"
    return
  }
  local failed again=()
  mapfile -t failed < <(sed -n '/tests FAILED:/,$p' "$log" | sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \(.*$/\1/p')
  # Three tests that fail again alone are proof enough; a fault that breaks
  # the bus would otherwise spend a minute on each of dozens of hung tests.
  for test in "${failed[@]}"; do
    # A parameterised test's name goes on with "  # GetParam() = ...": the
    # name before it, its regular-expression characters escaped.
    test=${test%%  # *}
    local pattern
    pattern=$(printf '%s' "$test" | sed 's/[].[*^$()+?{}|]/\\&/g')
    ctest --test-dir "$build" -R "^${pattern}( |\$)" --timeout 60 >/dev/null 2>&1 || again+=("$test")
    [ ${#again[@]} -lt 3 ] || break
  done
  if [ ${#again[@]} -eq 0 ]; then
    echo "MISSED (failed only for its timing: ${failed[*]})"
  else
    local IFS=,
    echo "caught by ${again[*]} (${#failed[@]} failed in the suite run)"
  fi
}

wanted=" $* "
caught=0
total=0
while IFS= read -r line; do
  # Split on "|" not preceded by a backslash.
  mapfile -t parts < <(python3 -c 'import re,sys; [print(p) for p in re.split(r"(?<!\\)\|", sys.argv[1])]' "$line")
  name=${parts[0]} file=${parts[1]} find=${parts[2]} replace=${parts[3]:-}
  if [ $# -gt 0 ] && [[ "$wanted" != *" $name "* ]]; then
    continue
  fi
  if [ "$name" = no-fault ]; then
    # The control: the suite as it stands must pass.
    printf '%-30s %s\n' "$name" "$(judge "$name")"
    continue
  fi
  total=$((total + 1))
  git diff --quiet -- "$file" || { echo "$file has local changes: commit or stash them first"; exit 2; }
  apply_fault "$file" "$find" "$replace"
  verdict=""
  if ! cmake --build "$build" -j 2 >/tmp/mutant-build.log 2>&1; then
    verdict="caught (build fails)"
  else
    verdict=$(judge "$name")
  fi
  git checkout -q -- "$file"
  [[ "$verdict" == caught* ]] && caught=$((caught + 1))
  printf '%-30s %s\n' "$name" "$verdict"
done <<<"$faults"
cmake --build "$build" -j 2 >/dev/null
echo "caught $caught of $total"
