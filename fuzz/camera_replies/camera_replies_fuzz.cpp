// Fuzzes the whole system with the fuzzer playing the camera: the input's
// bytes become the camera's replies on its bulk IN pipe, while the driver is
// started over the bus, its pin opened and run, a few frames read, the zoom
// and focus set, the pin closed and the device removed. Every reply past the
// end of the input ends with a transaction error, so a run never waits for a
// camera that has nothing more to say.
//
// Input layout:
//   byte 0   what the application does: bits 0-1 the number of reads less
//            one; bit 2 get the zoom; bit 3 set the zoom; bit 4 auto focus;
//            bit 5 surprise removal (else orderly); bit 6 unplug the camera
//            before the removal; bit 7 the 160x120 format (else 320x240)
//   rest     replies, each a u16 little-endian header then its bytes: a
//            header of 0xFFFF ends that IN transfer with a transaction error,
//            0xFFFE with a stall, any other value is the reply's length (cut
//            to the bytes left)
//
// Checked after every run (abort on a broken promise): each read completed
// once, with success and a whole frame (or none: a picture that did not
// decode), or with a failure and no data; every
// request completed once through the right notification; no pool block, IRP,
// device object, thread, thread object or work item left; no misuse.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "emulator/usb/scripted_device.h"
#include "platform/streamclass/host.h"
#include "tests/support/promises.h"
#include "tests/support/rig.h"

namespace {

using namespace std::chrono_literals;

// Replies left after the input are failures; more than any run asks for.
constexpr int kTrailingFailures = 256;

void fail(const char *what) {
  std::fprintf(stderr, "camera_replies: %s\n", what);
  std::abort();
}

// Queues the replies of the input on the device's bulk IN endpoint.
void script_replies(emu::ScriptedUsbDevice &device, std::span<const uint8_t> bytes) {
  while (bytes.size() >= 2) {
    const uint16_t header = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    bytes = bytes.subspan(2);
    if (header == 0xFFFF) {
      device.queue_in_failure(usbbus::TransferOutcome::NoResponse);
    } else if (header == 0xFFFE) {
      device.queue_in_failure(usbbus::TransferOutcome::Stall);
    } else {
      const size_t length = header < bytes.size() ? header : bytes.size();
      device.queue_in(bytes.first(length));
      bytes = bytes.subspan(length);
    }
  }
  for (int i = 0; i < kTrailingFailures; ++i)
    device.queue_in_failure(usbbus::TransferOutcome::NoResponse);
}

// Waits until the reads have completed or the conversation has come to rest
// (no transfer for a few milliseconds: the thread waits for a read, or has
// given up), at most 30 ms; the close ends whatever is still queued.
void settle(const std::vector<std::unique_ptr<streamclass::FrameBuffer>> &reads,
            const emu::ScriptedUsbDevice &device) {
  const auto until = std::chrono::steady_clock::now() + 30ms;
  size_t last = device.submitted();
  int quiet = 0;
  while (std::chrono::steady_clock::now() < until && quiet < 3) {
    bool all_done = true;
    for (const auto &read : reads)
      all_done = all_done && read->completed();
    if (all_done)
      return;
    std::this_thread::sleep_for(1ms);
    const size_t now = device.submitted();
    quiet = now == last ? quiet + 1 : 0;
    last = now;
  }
}

void check_reads(const std::vector<std::unique_ptr<streamclass::FrameBuffer>> &reads, ULONG frame_bytes) {
  for (const auto &read : reads) {
    if (!read->wait(10s))
      fail("a read never completed");
    if (read->request().completions() != 1)
      fail("a read completed more than once");
    const ULONG used = read->frame().header().DataUsed;
    // A picture that does not decode is delivered as an empty frame (DataUsed
    // 0); a failed read never carries data.
    if (read->status() == STATUS_SUCCESS ? (used != frame_bytes && used != 0) : used != 0) {
      std::fprintf(stderr, "camera_replies: read ended with status 0x%08X and %u of %u bytes\n",
                   static_cast<unsigned>(read->status()), static_cast<unsigned>(used),
                   static_cast<unsigned>(frame_bytes));
      fail("a read's status and data disagree");
    }
  }
}

// The application's part of one run.
void run(rig::Rig &system, const emu::ScriptedUsbDevice &device, uint8_t flags) {
  const bool half = (flags & 0x80) != 0;
  const LONG width = half ? 160 : 320;
  const LONG height = half ? 120 : 240;
  const ULONG frame_bytes = static_cast<ULONG>(width * height * 3);
  std::vector<std::unique_ptr<streamclass::FrameBuffer>> reads;
  if (system.open_pin(width, height, false) == STATUS_SUCCESS &&
      system.pin().set_state(KSSTATE_RUN) == STATUS_SUCCESS) {
    for (int i = 0; i <= (flags & 3); ++i) {
      std::unique_ptr<streamclass::FrameBuffer> read;
      if (system.pin().submit(frame_bytes, read) == STATUS_PENDING)
        reads.push_back(std::move(read));
    }
    settle(reads, device);
  }
  LONG zoom = 0;
  if (flags & 0x04)
    (void)rig::get_zoom(system.adapter(), &zoom);
  if (flags & 0x08)
    (void)rig::set_zoom(system.adapter(), 60);
  if (flags & 0x10)
    (void)rig::focus_auto(system.adapter());
  (void)system.close_pin();
  if (flags & 0x40)
    system.unplug();
  system.remove((flags & 0x20) ? streamclass::RemovalKind::Surprise : streamclass::RemovalKind::Orderly);
  check_reads(reads, frame_bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  static const bool options_set = [] {
    streamclass::set_host_options(rig::host_options());
    return true;
  }();
  (void)options_set;
  const rig::Baseline baseline = rig::promises_begin();
  {
    auto device = std::make_shared<emu::ScriptedUsbDevice>();
    device->set_loopback(false);
    script_replies(*device, std::span<const uint8_t>(data + 1, size - 1));
    rig::Rig system;
    if (system.plug(device) && system.start() == STATUS_SUCCESS)
      run(system, *device, data[0]);
  }
  rig::Failures failures;
  if (!rig::promises_check(baseline, "camera_replies", failures, 10s)) {
    std::fprintf(stderr, "camera_replies: broken promises:\n%s", failures.text().c_str());
    std::abort();
  }
  return 0;
}
