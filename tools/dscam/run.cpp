// The streaming run's main loop.
#include "tools/dscam/run.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>

#include "image/image.h"
#include "platform/streamclass/frame_stream.h"
#include "tools/dscam/controls.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/frame_pump.h"
#include "tools/dscam/picture_counts.h"
#include "tools/dscam/report.h"

namespace dscam {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kBuffers = 4;       // reads kept queued in the driver
constexpr size_t kQueueLimit = 16;     // frames waiting for the sink
constexpr double kWatchdogFloor = 3.0; // seconds without a frame before the run is given up
constexpr auto kPollInterval = std::chrono::milliseconds(200); // of the driver's picture counts
// Pictures refused in a row (too large, longer than announced) before the run
// is given up: a camera whose every picture is refused delivers nothing.
constexpr uint64_t kRefusedInARow = 5;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The watchdog's limit: --watchdog, else 3 s or three picture intervals of a
// slower camera.
double watchdog_limit(const Options &options) {
  if (options.watchdog > 0)
    return options.watchdog;
  if (options.camera.fps > 0)
    return std::max(kWatchdogFloor, 3.0 / options.camera.fps);
  return kWatchdogFloor;
}

// The counts of two pumps together (driver_drops: the sum of each pin's last).
PumpCounts add_counts(PumpCounts sum, const PumpCounts &more) {
  sum.frames += more.frames;
  sum.failed_reads += more.failed_reads;
  sum.short_frames += more.short_frames;
  if (more.last_error != STATUS_SUCCESS)
    sum.last_error = more.last_error;
  sum.queue_drops += more.queue_drops;
  sum.driver_drops += std::max<int64_t>(more.driver_drops, 0);
  return sum;
}

// The state of one run, shared by the steps of the loop.
struct Loop {
  Loop(Session &session, const Options &options, const RunPlan &plan, FrameSink &sink,
       const SignalWatch &signals, Wakeup &wakeup)
      : session(session), options(options), plan(plan), sink(sink), signals(signals), wakeup(wakeup),
        progress(plan.progress && !options.quiet, plan.frames, plan.duration) {}
  Session &session;
  const Options &options;
  const RunPlan &plan;
  FrameSink &sink;
  const SignalWatch &signals;
  Wakeup &wakeup;
  std::unique_ptr<FramePump> pump; // of the open pin
  PumpCounts closed;               // the pumps of the pins closed so far
  PictureCounter pictures;
  Progress progress;
  Clock::time_point start = Clock::now();
  Clock::time_point alive =
      Clock::now(); // the last frame, or the end of the last control change or reopening
  Clock::time_point polled = Clock::now(); // the last reading of the picture counts
  size_t next_change = 0;
  uint64_t written = 0;
  uint64_t write_errors = 0;
  uint64_t damaged_written = 0;  // of the frames written, those marked damaged
  uint64_t skipped = 0;          // damaged frames skipped (--skip-damaged)
  uint64_t skipped_at_alive = 0; // of them, by the last frame written
  uint64_t retries = 0;
  long retries_in_row = 0;       // reopenings since the last pin that delivered a frame
  uint64_t frames_at_poll = 0;   // frames delivered by the last reading of the picture counts
  uint64_t refused_at_frame = 0; // pictures refused (too large, longer) by the last frame seen
  LONGLONG pin_time = 0;         // when the open pin's clock started, 100 ns on the run's clock
  LONGLONG last_time = -1;       // time of the last frame on the run's clock (--frames-info)
  LONGLONG last_drop_count = 0;  // the open pin's driver drops at its last frame
  PumpFrame frame;

  // Every frame delivered so far, on every pin.
  uint64_t frames_delivered() const { return closed.frames + (pump ? pump->counts().frames : 0); }
  // A note on stderr with the time into the run ("dscam: 1.20 s: zoom 70"), unless -q.
  void note(const std::string &text) {
    progress.clear();
    if (!options.quiet)
      std::fprintf(stderr, "dscam: %.2f s: %s\n", seconds_since(start), text.c_str());
  }
};

// The --frames-info line of a frame; `number` 0 when it was skipped.
void show_frame(Loop &loop, uint64_t number) {
  const PumpFrame &frame = loop.frame;
  FrameLine line;
  line.number = number;
  line.sequence = frame.picture_number;
  line.time_valid = frame.time_valid;
  line.time = loop.pin_time + frame.time;
  if (frame.time_valid && loop.last_time >= 0)
    line.interval = line.time - loop.last_time;
  line.bytes = frame.bytes.size();
  line.dropped = static_cast<uint64_t>(std::max<LONGLONG>(frame.drop_count - loop.last_drop_count, 0)) +
                 frame.tool_drops;
  line.damaged = frame.damaged;
  loop.progress.clear();
  print_frame_line(stderr, line);
}

// Hands the queued frames to the sink, skipping damaged ones when asked.
// kExitOk to go on; -1 when the run is complete.
int drain_frames(Loop &loop, std::string *error) {
  while (loop.pump && loop.pump->pop(loop.frame)) {
    const bool skip = loop.frame.damaged && loop.options.skip_damaged;
    if (loop.options.frames_info)
      show_frame(loop, skip ? 0 : loop.written + 1);
    if (loop.frame.time_valid)
      loop.last_time = loop.pin_time + loop.frame.time;
    loop.last_drop_count = loop.frame.drop_count;
    if (skip) {
      loop.skipped++;
      continue;
    }
    loop.alive = Clock::now();
    std::string why;
    const FrameSink::Result result = loop.sink.write(loop.frame.bytes, loop.written + 1, &why);
    if (result == FrameSink::Result::Closed)
      return -1;
    if (result == FrameSink::Result::Failed) {
      loop.write_errors++;
      *error = why;
      return kExitOutput;
    }
    loop.written++;
    loop.damaged_written += loop.frame.damaged ? 1 : 0;
    loop.skipped_at_alive = loop.skipped;
    if (loop.plan.frames > 0 && loop.written >= loop.plan.frames)
      return -1;
  }
  return kExitOk;
}

// Opens the capture pin and starts a pump on it. kExitOk or the exit code.
int open_stream(Loop &loop, std::string *error) {
  const Options &options = loop.options;
  int result = loop.session.open_pin(options.width, options.height, options.top_down, error);
  if (result != kExitOk)
    return result;
  const ULONG bytes = streamclass::video_image_size(loop.session.format());
  loop.pump = std::make_unique<FramePump>(*loop.session.pin(), bytes, kBuffers, kQueueLimit, loop.wakeup);
  loop.last_drop_count = 0;
  loop.pin_time = std::chrono::duration_cast<std::chrono::duration<LONGLONG, std::ratio<1, 10'000'000>>>(
                      loop.session.pin_opened() - loop.start)
                      .count();
  loop.alive = Clock::now();
  if (bytes == 0 || !loop.pump->start()) {
    *error = "the capture pin took no frame buffer";
    return kExitDevice;
  }
  return kExitOk;
}

// Stops the pump, reads the pin's picture counts and closes it; with `drain`,
// the frames that came before the close go to the sink. Returns drain_frames'
// result (kExitOk without).
int close_stream(Loop &loop, bool drain, std::string *error) {
  if (!loop.pump)
    return kExitOk;
  loop.pump->stop();
  if (streamclass::Pin *pin = loop.session.pin(); pin != nullptr && pin->is_open())
    (void)loop.pictures.poll(*pin);
  (void)loop.session.close_pin();
  loop.pictures.pin_closed();
  const int result = drain ? drain_frames(loop, error) : kExitOk;
  loop.closed = add_counts(loop.closed, loop.pump->counts());
  loop.pump.reset();
  return result;
}

// Applies the control changes that are due, on this thread: a focus holds it
// (and the frames) for the whole focusing cycle, within the driver's limit. A
// failed change ends the run.
int apply_changes(Loop &loop, std::string *error) {
  const std::vector<ControlChange> &changes = loop.options.changes;
  streamclass::Adapter &adapter = loop.session.adapter();
  while (loop.next_change < changes.size() &&
         changes[loop.next_change].at_seconds <= seconds_since(loop.start)) {
    const ControlChange &change = changes[loop.next_change++];
    const bool zoom = change.control == ControlChange::Control::Zoom;
    const NTSTATUS status = zoom ? streamclass::set_camera_control(adapter, KSPROPERTY_CAMERACONTROL_ZOOM,
                                                                   static_cast<LONG>(change.value),
                                                                   KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL)
                                 : streamclass::set_camera_control(adapter, KSPROPERTY_CAMERACONTROL_FOCUS, 0,
                                                                   KSPROPERTY_CAMERACONTROL_FLAGS_AUTO);
    if (loop.signals.caught() != 0)
      return kExitOk; // check_end reports the signal
    if (!NT_SUCCESS(status)) {
      *error = control_failure(zoom ? "setting the zoom" : "the auto focus", status);
      return kExitCapture;
    }
    loop.note(zoom ? "zoom " + std::to_string(change.value) : std::string("auto focus done"));
    // A focus holds the camera (and the frames) for its whole run.
    loop.alive = Clock::now();
  }
  return kExitOk;
}

// What failed reads say of the camera: the driver fails reads with
// STATUS_IO_DEVICE_ERROR when the picture size exchange failed.
std::string read_failure_cause(NTSTATUS status) {
  if (status == STATUS_IO_DEVICE_ERROR)
    return "device error on the picture size exchange (" + status_text(status) + ")";
  return "reads failed with " + status_text(status);
}

// Reads of the open pin failed, or its picture counts show a failed size
// exchange: the driver's transfer thread has given up. The pin is closed and
// reopened (a new transfer thread), unless --retries pins in a row have failed
// without a frame. kExitOk to go on; -1 when the run is complete (with the
// frames that came before the failure).
int retry_failed_reads(Loop &loop, std::string *error) {
  const PumpCounts counts = loop.pump ? loop.pump->counts() : PumpCounts{};
  if (counts.failed_reads == 0 && !loop.pictures.size_exchange_failed())
    return kExitOk;
  if (loop.session.camera_gone_now()) {
    loop.session.unplug();
    *error = "the camera was disconnected";
    return kExitCapture;
  }
  if (counts.frames > 0)
    loop.retries_in_row = 0;
  const std::string cause =
      read_failure_cause(counts.failed_reads > 0 ? counts.last_error : STATUS_IO_DEVICE_ERROR);
  if (loop.retries_in_row >= loop.options.retries) {
    *error = cause + (loop.options.retries == 0
                          ? "; no retries (--retries 0)"
                          : "; " + std::to_string(loop.retries_in_row) + " retries in a row did not help");
    return kExitCapture;
  }
  const int drained = close_stream(loop, true, error);
  if (drained != kExitOk)
    return drained;
  loop.retries++;
  loop.retries_in_row++;
  loop.note(cause + "; capture pin reopened (retry " + std::to_string(loop.retries_in_row) + " of " +
            std::to_string(loop.options.retries) + ")");
  return open_stream(loop, error);
}

// Reads the driver's picture counts now and then; a camera whose pictures the
// driver refuses kRefusedInARow times without a frame between ends the run
// with the reason. kExitOk to go on.
int check_refusals(Loop &loop, bool now, std::string *error) {
  if (!now && Clock::now() - loop.polled < kPollInterval)
    return kExitOk;
  loop.polled = Clock::now();
  if (loop.session.pin() == nullptr || !loop.pictures.poll(*loop.session.pin()))
    return kExitOk;
  const PictureTotals totals = loop.pictures.totals();
  const uint64_t refused = totals.too_large + totals.longer_than_announced;
  const uint64_t frames = loop.frames_delivered();
  if (frames != loop.frames_at_poll) {
    loop.frames_at_poll = frames;
    loop.refused_at_frame = refused;
  }
  if (refused - loop.refused_at_frame >= (now ? 1 : kRefusedInARow)) {
    *error = refusal_text(totals);
    return kExitCapture;
  }
  return kExitOk;
}

// The watchdog: no frame written for its limit. The reason names what came
// instead: refused pictures, damaged frames skipped, frames short of a whole
// image, or nothing.
int watchdog_expired(Loop &loop, double quiet, std::string *error) {
  if (check_refusals(loop, true, error) != kExitOk)
    return kExitCapture;
  const PumpCounts counts = add_counts(loop.closed, loop.pump ? loop.pump->counts() : PumpCounts{});
  char text[160];
  if (loop.skipped > loop.skipped_at_alive)
    std::snprintf(text, sizeof(text),
                  "no whole frame for %.1f s: %llu damaged frames skipped (--skip-damaged)", quiet,
                  static_cast<unsigned long long>(loop.skipped - loop.skipped_at_alive));
  else if (counts.short_frames > 0)
    std::snprintf(
        text, sizeof(text),
        "no usable frame for %.1f s: %llu frames came empty or short (pictures that do not decode?)", quiet,
        static_cast<unsigned long long>(counts.short_frames));
  else
    std::snprintf(text, sizeof(text), "the camera stopped answering: no frame for %.1f s", quiet);
  *error = text;
  return kExitCapture;
}

// Why the run must end now, other than frames: a signal, the camera, time.
// kExitOk to go on; -1 when the run is complete.
int check_end(Loop &loop, std::string *error) {
  if (const int signal = loop.signals.caught()) {
    *error = signal == SIGTERM ? "terminated" : "interrupted";
    return signal == SIGTERM ? kExitTerminated : kExitInterrupted;
  }
  if (loop.session.camera_gone()) {
    loop.session.unplug();
    *error = "the camera was disconnected";
    return kExitCapture;
  }
  if (loop.plan.duration > 0 && seconds_since(loop.start) >= loop.plan.duration)
    return -1;
  int result = check_refusals(loop, false, error);
  if (result == kExitOk)
    result = retry_failed_reads(loop, error);
  if (result != kExitOk)
    return result;
  const double quiet = seconds_since(loop.alive);
  return quiet >= watchdog_limit(loop.options) ? watchdog_expired(loop, quiet, error) : kExitOk;
}

// The loop itself. Returns the exit code (kExitOk when the run is complete).
int loop_frames(Loop &loop, std::string *error) {
  for (;;) {
    int result = drain_frames(loop, error);
    if (result == kExitOk)
      result = check_end(loop, error);
    if (result == kExitOk)
      result = apply_changes(loop, error);
    if (result != kExitOk)
      return result < 0 ? kExitOk : result;
    loop.progress.update(loop.written, seconds_since(loop.start));
    loop.wakeup.wait(std::chrono::milliseconds(50));
  }
}

// The driver's decode counts so far.
IMAGE_DECODE_COUNTS decode_counts() {
  IMAGE_DECODE_COUNTS counts;
  ImageGetDecodeCounts(&counts);
  return counts;
}

// Checks the --set zoom values against the range the device publishes.
int check_changes(Session &session, const Options &options, std::string *error) {
  for (const ControlChange &change : options.changes) {
    if (change.control != ControlChange::Control::Zoom)
      continue;
    *error = zoom_check(session.adapter(), change.value);
    if (!error->empty())
      return kExitUsage;
  }
  return kExitOk;
}

// The summary of a finished run.
RunSummary summarize(const Loop &loop, double elapsed, const IMAGE_DECODE_COUNTS &decode_start) {
  RunSummary summary;
  summary.frames = loop.written;
  summary.damaged = loop.damaged_written + loop.skipped;
  summary.skip_damaged = loop.options.skip_damaged;
  summary.driver_drops = static_cast<uint64_t>(loop.closed.driver_drops);
  summary.tool_drops = loop.closed.queue_drops;
  summary.failed_reads = loop.closed.failed_reads;
  summary.short_frames = loop.closed.short_frames;
  summary.failed_writes = loop.write_errors;
  summary.pictures = loop.pictures.totals();
  summary.retries = loop.retries;
  summary.retry_limit = loop.options.retries;
  summary.elapsed = elapsed;
  const IMAGE_DECODE_COUNTS decode_end = decode_counts();
  summary.decoded = decode_end.Pictures - decode_start.Pictures;
  summary.decode_seconds = static_cast<double>(decode_end.DecodeTime - decode_start.DecodeTime) / 1e7;
  return summary;
}

} // namespace

int run_stream(Session &session, const Options &options, const RunPlan &plan, FrameSink &sink,
               const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  int result = check_changes(session, options, error);
  if (result != kExitOk)
    return result;
  Loop loop(session, options, plan, sink, signals, wakeup);
  const IMAGE_DECODE_COUNTS decode_start = decode_counts();
  result = open_stream(loop, error);
  if (result != kExitOk) {
    std::string ignored;
    (void)close_stream(loop, false, &ignored);
    return result;
  }
  result = loop_frames(loop, error);
  const double elapsed = seconds_since(loop.start);
  std::string ignored;
  (void)close_stream(loop, false, &ignored);
  loop.progress.clear();
  std::string why;
  if (sink.finish(&why) == FrameSink::Result::Failed && result == kExitOk) {
    *error = why;
    result = kExitOutput;
  }
  if (result == kExitOk && plan.need_all && loop.written < plan.frames) {
    *error = "only " + std::to_string(loop.written) + " of " + std::to_string(plan.frames) + " frames";
    result = kExitCapture;
  }
  const RunSummary summary = summarize(loop, elapsed, decode_start);
  if (options.json)
    print_summary_json(plan.json_out, summary, result, result == kExitOk ? std::string() : *error);
  else if (!options.quiet)
    print_summary(stderr, summary);
  return result;
}

} // namespace dscam
