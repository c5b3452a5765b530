// The low-resources scenario.
#include "tests/reliability/low_resources.h"

#include <memory>

#include "platform/kernel/control.h"
#include "platform/streamclass/frame_stream.h"
#include "tests/reliability/camera_plug.h"
#include "tests/reliability/camera_steps.h"

namespace reliability {

namespace {

constexpr LONG kZoom = 60;
constexpr size_t kFrames = 30;

// A camera that answers as fast as asked over an unlimited link, with each
// picture in one packet and a quick focus: the fewest allocations and the
// least time per run, so that the sweep stays short.
emu::CameraConfig scenario_camera() {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 4;
  config.chunk = 65530;
  config.focus_ns = 50'000'000;
  return config;
}

bool injected_since(uint64_t failed_before) {
  return platform::pool_counts().failed > failed_before;
}

// Waits until `done` holds, at most kWaitLimit; once a failure was injected,
// also gives up after `quiet` without progress (`progress` unchanged): a step
// the failure broke is not waited for to the end.
bool wait_for(const std::function<bool()> &done, const std::function<size_t()> &progress,
              uint64_t failed_before, std::chrono::milliseconds quiet) {
  const auto start = std::chrono::steady_clock::now();
  auto last_change = start;
  size_t last = progress();
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now - start >= kWaitLimit)
      return false;
    if (progress() != last) {
      last = progress();
      last_change = now;
    } else if (now - last_change >= quiet && injected_since(failed_before)) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The zoom Set, waited for until it reaches the camera. It comes before the
// stream opens: with the stream open, the transfer thread fetches pictures
// without pause for the whole 0.5 s delay, which would multiply the
// allocations of a run, and with them the number of runs.
void zoom_steps(CameraPlug &plug, CameraDevice &device, uint64_t failed_before, ScenarioOutcome &outcome,
                const std::string &run, Failures &failures, StepWatch &watch) {
  CompletionLedger ledger(failures);
  // The camera zooms 0.5 s after the Set; give it a second more.
  const std::chrono::milliseconds quiet = 1500ms;
  watch.run("zoom set", kWaitLimit,
            [&] { ledger.request_returned("zoom set", camera_zoom_set(device.adapter(), kZoom), run); });
  watch.run("zoom reaching the camera", kWaitLimit + 1s, [&] {
    outcome.zoom_reached = wait_for([&] { return plug.camera().snapshot().zoom == kZoom; },
                                    [] { return size_t{0}; }, failed_before, quiet);
  });
}

// Streaming on the open pin: 30 frames, the focus, the close.
void stream_steps(CameraDevice &device, streamclass::Pin &pin, ULONG image_bytes, uint64_t failed_before,
                  ScenarioOutcome &outcome, const std::string &run, Failures &failures, StepWatch &watch) {
  CompletionLedger ledger(failures);
  // Frames come every few milliseconds; this long without any read completing
  // means the failure stopped the stream.
  const std::chrono::milliseconds quiet = under_sanitizer() ? 400ms : 200ms;
  {
    streamclass::FrameStream::Options options;
    options.buffers = 4;
    options.buffer_bytes = image_bytes;
    streamclass::FrameStream stream(pin, options, [&](const streamclass::Frame &frame) {
      ledger.read_completed(frame, image_bytes, run);
    });
    watch.run("stream run", kWaitLimit,
              [&] { ledger.request_returned("run state", pin.set_state(KSSTATE_RUN), run); });
    stream.start();
    watch.run("30 frames", kWaitLimit + 1s, [&] {
      wait_for([&] { return stream.frames() >= kFrames; }, [&] { return stream.completions(); },
               failed_before, quiet);
    });
    outcome.frames = stream.frames();
    watch.run("auto focus", kWaitLimit, [&] {
      outcome.focus = camera_focus_auto(device.adapter());
      ledger.request_returned("focus", outcome.focus, run);
    });
    stream.stop();
    NTSTATUS closed = STATUS_PENDING;
    watch.run("stream close", teardown_limit(), [&] { closed = pin.close(); });
    ledger.request_returned("close", closed, run);
  }
}

} // namespace

ScenarioOutcome low_resources_run(uint64_t fail_nth, Failures &failures) {
  const std::string run = "N=" + std::to_string(fail_nth);
  ScenarioOutcome outcome;
  StepWatch watch(failures, run);
  const Baseline baseline = promises_begin();
  const uint64_t failed_before = platform::pool_counts().failed;
  {
    std::string error;
    CameraPlug plug(scenario_camera(), &error);
    if (!plug.ok()) {
      failures.add(run + ": the camera could not be plugged in: " + error);
      return outcome;
    }
    CameraDevice device;
    if (fail_nth != 0)
      platform::pool_fail_nth(fail_nth);
    watch.run("device start", kWaitLimit, [&] { outcome.start = device.start(plug); });
    if (NT_SUCCESS(outcome.start)) {
      zoom_steps(plug, device, failed_before, outcome, run, failures, watch);
      std::unique_ptr<streamclass::Pin> pin;
      ULONG image_bytes = 0;
      watch.run("stream open", kWaitLimit,
                [&] { outcome.open = device.open_pin(320, 240, pin, &image_bytes); });
      if (NT_SUCCESS(outcome.open))
        stream_steps(device, *pin, image_bytes, failed_before, outcome, run, failures, watch);
      watch.run("device removal", teardown_limit(),
                [&] { device.remove(streamclass::RemovalKind::Orderly); });
    }
    platform::pool_faults_clear();
    outcome.injected = injected_since(failed_before);
    outcome.allocations = platform::pool_sequence() - baseline.pool_sequence;
  }
  if (!outcome.injected) {
    // Nothing failed: the scenario must have done all of its work.
    if (outcome.start != STATUS_SUCCESS || outcome.open != STATUS_SUCCESS)
      failures.add(run + ": with no failure injected the start or open failed");
    else if (outcome.frames < kFrames || !outcome.zoom_reached || outcome.focus != STATUS_SUCCESS)
      failures.add(run + ": with no failure injected: " + std::to_string(outcome.frames) + " frames, zoom " +
                   (outcome.zoom_reached ? "reached" : "not reached") + ", focus " +
                   status_text(outcome.focus));
  }
  promises_check(baseline, run, failures);
  return outcome;
}

} // namespace reliability
