// The low-resources scenario.
#include "tests/reliability/low_resources.h"

#include <memory>

#include "platform/kernel/control.h"
#include "platform/streamclass/frame_stream.h"
#include "tests/support/rig.h"

namespace reliability {

using namespace std::chrono_literals;

namespace {

using rig::CompletionLedger;
using rig::Failures;
using rig::kWaitLimit;
using rig::StepWatch;

constexpr LONG kZoom = 60;
constexpr size_t kFrames = 30;

// The fast camera with each picture in one packet: the fewest allocations and
// the least time per run, so that the sweep stays short.
emu::CameraConfig scenario_camera() {
  emu::CameraConfig config = rig::fast_camera();
  config.chunk = 65530;
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
void zoom_steps(rig::Rig &system, uint64_t failed_before, ScenarioOutcome &outcome, const std::string &run,
                Failures &failures, StepWatch &watch) {
  CompletionLedger ledger(failures);
  // The camera zooms 0.5 s after the Set; give it a second more.
  const std::chrono::milliseconds quiet = 1500ms;
  watch.run("zoom set", kWaitLimit,
            [&] { ledger.request_returned("zoom set", rig::set_zoom(system.adapter(), kZoom), run); });
  watch.run("zoom reaching the camera", kWaitLimit + 1s, [&] {
    outcome.zoom_reached = wait_for([&] { return system.camera().snapshot().zoom == kZoom; },
                                    [] { return size_t{0}; }, failed_before, quiet);
  });
}

// Streaming on the open pin: 30 frames, the focus, the close.
void stream_steps(rig::Rig &system, uint64_t failed_before, ScenarioOutcome &outcome, const std::string &run,
                  Failures &failures, StepWatch &watch) {
  CompletionLedger ledger(failures);
  const ULONG image_bytes = system.image_bytes();
  // Frames come every few milliseconds; this long without any read completing
  // means the failure stopped the stream.
  const std::chrono::milliseconds quiet = rig::under_sanitizer() ? 400ms : 200ms;
  watch.run("stream run", kWaitLimit,
            [&] { ledger.request_returned("run state", system.pin().set_state(KSSTATE_RUN), run); });
  rig::StreamOptions options;
  options.keep_records = false;
  options.hook = [&](const streamclass::Frame &frame) { ledger.read_completed(frame, image_bytes, run); };
  (void)system.stream(options);
  rig::RecordedStream &stream = system.frames();
  watch.run("30 frames", kWaitLimit + 1s, [&] {
    wait_for([&] { return stream.frames() >= kFrames; }, [&] { return stream.completions(); }, failed_before,
             quiet);
  });
  outcome.frames = stream.frames();
  watch.run("auto focus", kWaitLimit, [&] {
    outcome.focus = rig::focus_auto(system.adapter());
    ledger.request_returned("focus", outcome.focus, run);
  });
  stream.stop();
  NTSTATUS closed = STATUS_PENDING;
  watch.run("stream close", rig::teardown_limit(), [&] { closed = system.close_pin(); });
  ledger.request_returned("close", closed, run);
}

} // namespace

ScenarioOutcome low_resources_run(uint64_t fail_nth, Failures &failures) {
  const std::string run = "N=" + std::to_string(fail_nth);
  ScenarioOutcome outcome;
  StepWatch watch(failures, run);
  const rig::Baseline baseline = rig::promises_begin();
  const uint64_t failed_before = platform::pool_counts().failed;
  {
    // The camera is plugged before the failure is armed, so that it lands in
    // the driver's life rather than in building the emulated hardware.
    rig::Rig system;
    std::string error;
    if (!system.plug_camera(scenario_camera(), &error)) {
      failures.add(run + ": the camera could not be plugged in: " + error);
      return outcome;
    }
    if (fail_nth != 0)
      platform::pool_fail_nth(fail_nth);
    watch.run("device start", kWaitLimit, [&] { outcome.start = system.start(); });
    if (NT_SUCCESS(outcome.start)) {
      zoom_steps(system, failed_before, outcome, run, failures, watch);
      watch.run("stream open", kWaitLimit, [&] { outcome.open = system.open_pin(320, 240, false); });
      if (NT_SUCCESS(outcome.open))
        stream_steps(system, failed_before, outcome, run, failures, watch);
      watch.run("device removal", rig::teardown_limit(),
                [&] { (void)system.remove(streamclass::RemovalKind::Orderly); });
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
                   rig::status_text(outcome.focus));
  }
  rig::promises_check(baseline, run, failures);
  return outcome;
}

} // namespace reliability
