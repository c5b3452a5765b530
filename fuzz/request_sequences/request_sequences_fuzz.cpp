// Fuzzes the whole system with random sequences of what applications ask:
// open the pin, submit reads, cancel them, change the stream state, set and
// get the zoom, focus, close the pin, remove the device; against the emulated
// camera answering at once over an unlimited link.
//
// Input: a sequence of operations, one byte each, some followed by one
// argument byte (at most kMaxOperations are run):
//   op % 10   0 open the pin (argument: bit 0 the 160x120 format) and run it
//             1 submit a read
//             2 cancel a read (argument: which of the reads kept)
//             3 set the stream state (argument % 3: stop, pause, run)
//             4 set the zoom (argument, less 20: -20 to 235)
//             5 get the zoom
//             6 set the focus (argument: bit 0 auto, else manual)
//             7 close the pin
//             8 wait for the oldest read kept, at most 20 ms
//             9 remove the device (argument: bit 0 surprise, which unplugs
//               the camera first; bit 1 unplug before an orderly removal)
//               and end the sequence
// A surprise removal always finds the camera unplugged: told of a removal
// while the camera is still there, the driver resets the port, the camera
// forgets the exchange in flight and the close needs its stop grace (a
// second) to end it: too slow for a fuzz run, and covered by the race tests.
// At the end the pin is closed and the device removed orderly (when still
// there).
//
// Checked after every run (abort on a broken promise): each read completed
// once, with success and a whole frame or with a failure and no data; every
// request completed once through the right notification; no pool block, IRP,
// device object, thread, thread object or work item left; no misuse.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "emulator/camera/usb_camera.h"
#include "platform/streamclass/host.h"
#include "tests/support/promises.h"
#include "tests/support/rig.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kMaxOperations = 48;
constexpr size_t kMaxReads = 8;

void fail(const char *what) {
  std::fprintf(stderr, "request_sequences: %s\n", what);
  std::abort();
}

// One submitted read and the size of the frame its pin delivers.
struct Read {
  std::unique_ptr<streamclass::FrameBuffer> buffer;
  ULONG frame_bytes;
};

void check_read(const Read &read) {
  if (!read.buffer->wait(10s))
    fail("a read never completed");
  if (read.buffer->request().completions() != 1)
    fail("a read completed more than once");
  const ULONG used = read.buffer->frame().header().DataUsed;
  if (read.buffer->status() == STATUS_SUCCESS ? used != read.frame_bytes : used != 0) {
    std::fprintf(stderr, "request_sequences: read ended with status 0x%08X and %u of %u bytes\n",
                 static_cast<unsigned>(read.buffer->status()), static_cast<unsigned>(used),
                 static_cast<unsigned>(read.frame_bytes));
    fail("a read's status and data disagree");
  }
}

// The application: its pin, its reads, the sequence so far.
class Sequence {
public:
  explicit Sequence(rig::Rig &system) : system_(system) {}

  // Runs one operation; false once the device is removed.
  bool step(uint8_t op, uint8_t argument) {
    switch (op % 10) {
    case 0:
      open((argument & 1) != 0);
      break;
    case 1:
      submit();
      break;
    case 2:
      if (!reads_.empty())
        reads_[argument % reads_.size()].buffer->cancel();
      break;
    case 3:
      if (open_)
        (void)system_.pin().set_state(argument % 3 == 0   ? KSSTATE_STOP
                                      : argument % 3 == 1 ? KSSTATE_PAUSE
                                                          : KSSTATE_RUN);
      break;
    case 4:
      (void)rig::set_zoom(system_.adapter(), static_cast<LONG>(argument) - 20);
      break;
    case 5: {
      LONG zoom = 0;
      (void)rig::get_zoom(system_.adapter(), &zoom);
      break;
    }
    case 6:
      (void)set_focus((argument & 1) != 0);
      break;
    case 7:
      close();
      break;
    case 8:
      if (!reads_.empty())
        (void)reads_.front().buffer->wait(20ms);
      break;
    default:
      close_and_remove((argument & 1) != 0, (argument & 3) != 0);
      return false;
    }
    return true;
  }

  void close_and_remove(bool surprise, bool unplug) {
    if (unplug)
      system_.unplug();
    system_.remove(surprise ? streamclass::RemovalKind::Surprise : streamclass::RemovalKind::Orderly);
    close();
  }

  void check() const {
    for (const Read &read : reads_)
      check_read(read);
  }

private:
  void open(bool half) {
    if (open_)
      return;
    width_ = half ? 160 : 320;
    height_ = half ? 120 : 240;
    open_ = system_.open_pin(width_, height_, false) == STATUS_SUCCESS;
    if (open_)
      (void)system_.pin().set_state(KSSTATE_RUN);
    else
      (void)system_.close_pin();
  }

  void submit() {
    if (!open_ || reads_.size() >= kMaxReads)
      return;
    const ULONG bytes = static_cast<ULONG>(width_ * height_ * 3);
    std::unique_ptr<streamclass::FrameBuffer> buffer;
    if (system_.pin().submit(bytes, buffer) == STATUS_PENDING)
      reads_.push_back(Read{std::move(buffer), bytes});
  }

  NTSTATUS set_focus(bool automatic) {
    if (automatic)
      return rig::focus_auto(system_.adapter());
    return STATUS_SUCCESS; // a manual focus asks nothing of the camera
  }

  void close() {
    (void)system_.close_pin();
    open_ = false;
  }

  rig::Rig &system_;
  bool open_ = false; // the system's pin is open
  LONG width_ = 320;
  LONG height_ = 240;
  std::vector<Read> reads_;
};

emu::CameraConfig camera_config() {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 2;
  config.jpeg_quality = 30;
  config.focus_ns = 1'000'000;
  return config;
}

// One sequence on a fresh system.
void run(const uint8_t *data, size_t size) {
  std::string error;
  rig::Rig system;
  if (!system.plug_camera(camera_config(), &error))
    fail(error.c_str());
  if (system.start() != STATUS_SUCCESS)
    fail("the device did not start");
  Sequence sequence(system);
  bool present = true;
  size_t at = 0;
  for (size_t done = 0; present && at < size && done < kMaxOperations; ++done) {
    const uint8_t op = data[at++];
    const uint8_t argument = at < size ? data[at] : 0;
    if (op % 10 == 0 || op % 10 == 2 || op % 10 == 3 || op % 10 == 4 || op % 10 == 6 || op % 10 == 9)
      ++at;
    present = sequence.step(op, argument);
  }
  if (present)
    sequence.close_and_remove(false, false);
  sequence.check();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool options_set = [] {
    streamclass::set_host_options(rig::host_options());
    return true;
  }();
  (void)options_set;
  const rig::Baseline baseline = rig::promises_begin();
  run(data, size);
  rig::Failures failures;
  if (!rig::promises_check(baseline, "request_sequences", failures, 10s)) {
    std::fprintf(stderr, "request_sequences: broken promises:\n%s", failures.text().c_str());
    std::abort();
  }
  return 0;
}
