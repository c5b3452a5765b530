// The streaming run's main loop.
#include "tools/dscam/run.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "image/image.h"
#include "platform/streamclass/frame_stream.h"
#include "tools/dscam/controls.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/frame_pump.h"
#include "tools/dscam/report.h"

namespace dscam {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kBuffers = 4;       // reads kept queued in the driver
constexpr size_t kQueueLimit = 16;     // frames waiting for the sink
constexpr double kWatchdogFloor = 3.0; // seconds without a frame before the run is given up

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

// The state of one run, shared by the steps of the loop.
struct Loop {
  Loop(Session &session, const Options &options, const RunPlan &plan, FrameSink &sink,
       const SignalWatch &signals, FramePump &pump)
      : session(session), options(options), plan(plan), sink(sink), signals(signals), pump(pump),
        progress(plan.progress, plan.frames, plan.duration) {}
  Session &session;
  const Options &options;
  const RunPlan &plan;
  FrameSink &sink;
  const SignalWatch &signals;
  FramePump &pump;
  Progress progress;
  Clock::time_point start = Clock::now();
  Clock::time_point alive = Clock::now(); // the last frame, or the end of the last control change
  size_t next_change = 0;
  uint64_t written = 0;
  uint64_t write_errors = 0;
  std::vector<uint8_t> frame;
};

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
    loop.progress.clear();
    if (loop.signals.caught() != 0)
      return kExitOk; // check_end reports the signal
    if (!NT_SUCCESS(status)) {
      *error = control_failure(zoom ? "setting the zoom" : "the auto focus", status);
      return kExitCapture;
    }
    if (zoom)
      std::fprintf(stderr, "dscam: %.2f s: zoom %ld\n", seconds_since(loop.start), change.value);
    else
      std::fprintf(stderr, "dscam: %.2f s: auto focus done\n", seconds_since(loop.start));
    // A focus holds the camera (and the frames) for its whole run.
    loop.alive = Clock::now();
  }
  return kExitOk;
}

// Hands the queued frames to the sink. kExitOk to go on; -1 when the run is complete.
int drain_frames(Loop &loop, std::string *error) {
  while (loop.pump.pop(loop.frame)) {
    loop.alive = Clock::now();
    std::string why;
    const FrameSink::Result result = loop.sink.write(loop.frame, loop.written + 1, &why);
    if (result == FrameSink::Result::Closed)
      return -1;
    if (result == FrameSink::Result::Failed) {
      loop.write_errors++;
      *error = why;
      return kExitOutput;
    }
    loop.written++;
    if (loop.plan.frames > 0 && loop.written >= loop.plan.frames)
      return -1;
  }
  return kExitOk;
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
  const double quiet = std::chrono::duration<double>(Clock::now() - loop.alive).count();
  if (quiet >= watchdog_limit(loop.options)) {
    const PumpCounts counts = loop.pump.counts();
    char text[160];
    if (counts.short_frames > 0)
      std::snprintf(
          text, sizeof(text),
          "no usable frame for %.1f s: %llu frames came empty or short (pictures that do not decode?)", quiet,
          static_cast<unsigned long long>(counts.short_frames));
    else
      std::snprintf(text, sizeof(text), "the camera stopped answering: no frame for %.1f s", quiet);
    *error = text;
    if (counts.short_frames == 0 && counts.last_error != STATUS_SUCCESS)
      *error += " (last read failed: " + status_text(counts.last_error) + ")";
    return kExitCapture;
  }
  return kExitOk;
}

// The loop itself. Returns the exit code (kExitOk when the run is complete).
int loop_frames(Loop &loop, Wakeup &wakeup, std::string *error) {
  for (;;) {
    int result = check_end(loop, error);
    if (result == kExitOk)
      result = drain_frames(loop, error);
    if (result == kExitOk)
      result = apply_changes(loop, error);
    if (result != kExitOk)
      return result < 0 ? kExitOk : result;
    loop.progress.update(loop.written, seconds_since(loop.start));
    wakeup.wait(std::chrono::milliseconds(50));
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

} // namespace

int run_stream(Session &session, const Options &options, const RunPlan &plan, FrameSink &sink,
               const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  int result = check_changes(session, options, error);
  if (result == kExitOk)
    result = session.open_pin(options.width, options.height, options.top_down, error);
  if (result != kExitOk)
    return result;
  const ULONG bytes = streamclass::video_image_size(session.format());
  FramePump pump(*session.pin(), bytes, kBuffers, kQueueLimit, wakeup);
  Loop loop(session, options, plan, sink, signals, pump);
  const IMAGE_DECODE_COUNTS decode_start = decode_counts();
  if (bytes == 0 || !pump.start()) {
    *error = "the capture pin took no frame buffer";
    result = kExitDevice;
  } else {
    result = loop_frames(loop, wakeup, error);
  }
  const double elapsed = seconds_since(loop.start);
  pump.stop();
  (void)session.close_pin();
  loop.progress.clear();

  const PumpCounts counts = pump.counts();
  RunSummary summary;
  summary.frames = loop.written;
  summary.dropped = static_cast<uint64_t>(std::max<int64_t>(counts.driver_drops, 0)) + counts.queue_drops;
  summary.errors = counts.errors + loop.write_errors;
  summary.elapsed = elapsed;
  const IMAGE_DECODE_COUNTS decode_end = decode_counts();
  summary.decoded = decode_end.Pictures - decode_start.Pictures;
  summary.decode_seconds = static_cast<double>(decode_end.DecodeTime - decode_start.DecodeTime) / 1e7;
  print_summary(stderr, summary);
  if (result == kExitOk && plan.need_all && loop.written < plan.frames) {
    *error = "only " + std::to_string(loop.written) + " of " + std::to_string(plan.frames) + " frames";
    result = kExitCapture;
  }
  return result;
}

} // namespace dscam
