// The random-fault run.
#include "tests/reliability/random_run.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "platform/kernel/control.h"
#include "platform/streamclass/frame_stream.h"
#include "tests/support/rig.h"

namespace reliability {

namespace {

using rig::CompletionLedger;
using rig::Failures;
using rig::kWaitLimit;

// splitmix64, to derive independent seeds for each life and each knob.
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// How a pin's life ended.
enum class PinEnd {
  Deadline, // the run's time is up: close, orderly removal
  Reopen,   // closed after a stall; open it again
  Removed,  // the device was removed (surprise) while the pin was open
};

// Everything one run keeps. Used by the run's thread only, except the ledger
// and the failures, which completion callbacks also feed.
struct Run {
  Run(const RandomRunOptions &options, Failures &failures)
      : options(options), failures(failures), random(options.seed), watch(failures, "seed"),
        ledger(failures) {}

  const RandomRunOptions &options;
  Failures &failures;
  std::mt19937_64 random;
  rig::StepWatch watch;
  CompletionLedger ledger;
  RandomRunStats stats;
  std::string name; // "seed S, life L"
  std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point deadline;
  std::chrono::steady_clock::time_point last_report = began;
  std::array<uint64_t, emu::kFaultCount> faults_done{}; // of cameras already unplugged
  rig::Rig *system = nullptr;                           // the device life under way, with its camera

  // Runs a step of the run; a step that overruns its limit is a failure, and
  // the camera is then unplugged from its bus (which ends every transfer the
  // driver waits for) so that the run can go on and check the rest.
  void step(const std::string &where, std::chrono::milliseconds limit, const std::function<void()> &fn) {
    usbbus::UsbBus *plugged = system != nullptr && system->plugged() ? &system->bus() : nullptr;
    watch.run(where, limit, fn, [plugged] {
      if (plugged != nullptr)
        plugged->remove_device();
    });
  }

  unsigned between(unsigned low, unsigned high) {
    return low + static_cast<unsigned>(random() % (high - low + 1));
  }
  bool time_up() const { return std::chrono::steady_clock::now() >= deadline; }
};

// The stats as of now (faults of the plugged camera included).
RandomRunStats snapshot(Run &run) {
  RandomRunStats stats = run.stats;
  stats.seed = run.options.seed;
  stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.began).count();
  stats.faults = run.faults_done;
  if (run.system != nullptr) {
    const emu::CameraSnapshot camera = run.system->camera().snapshot();
    for (size_t i = 0; i < emu::kFaultCount; ++i)
      stats.faults[i] += camera.faults_injected[i];
  }
  const platform::PoolCounts pool = platform::pool_counts();
  stats.pool_failed = pool.failed;
  stats.pool_peak_bytes = pool.peak_bytes;
  stats.frames = run.ledger.frames();
  stats.reads_by_status = run.ledger.reads_by_status();
  stats.requests_by_status = run.ledger.requests_by_status();
  stats.failures = run.failures.size();
  return stats;
}

void maybe_report(Run &run) {
  if (run.options.report_every.count() == 0 || !run.options.report)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (now - run.last_report < run.options.report_every)
    return;
  run.last_report = now;
  run.options.report(snapshot(run));
}

// A camera answering as fast as asked over an unlimited link, with every
// fault that can strike at random at the rate of its unit.
emu::CameraConfig life_camera(const RandomRunOptions &options, uint64_t seed) {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 6;
  // Pictures in packets of the default size, or each in one packet.
  config.chunk = (seed & 1) != 0 ? 65530 : config.chunk;
  // A slow focus is slow, but well inside the time any single wait may take.
  config.slow_focus_ns = 1'500'000'000;
  config.faults.seed = seed;
  for (const emu::FaultInfo &info : emu::kFaultTable) {
    double rate = options.command_fault_rate;
    if (info.unit == emu::FaultUnit::Transfer)
      rate = options.transfer_fault_rate;
    else if (info.unit == emu::FaultUnit::Picture)
      rate = options.picture_fault_rate;
    for (emu::Fault excluded : options.excluded_faults)
      if (excluded == info.fault)
        rate = 0;
    config.faults.knobs[static_cast<size_t>(info.fault)].rate = rate;
  }
  return config;
}

// One camera control, chosen at random; its status is checked for the truth.
void random_control(Run &run, streamclass::Adapter &adapter) {
  run.stats.controls++;
  const unsigned choice = run.between(0, 99);
  if (choice < 40) {
    const LONG value = static_cast<LONG>(run.between(0, 100));
    run.step("zoom set", kWaitLimit,
             [&] { run.ledger.request_returned("zoom set", rig::set_zoom(adapter, value), run.name); });
  } else if (choice < 50) {
    // The Set completes before the value is applied; the zoom change refuses
    // it later, unseen by the application, and the camera must not move.
    const LONG value = run.between(0, 1) == 0 ? -1 - static_cast<LONG>(run.between(0, 9))
                                              : 101 + static_cast<LONG>(run.between(0, 9));
    run.step("zoom set out of range", kWaitLimit, [&] {
      run.ledger.request_returned("zoom set out of range", rig::set_zoom(adapter, value), run.name);
    });
  } else if (choice < 75) {
    LONG value = -1;
    NTSTATUS status = STATUS_PENDING;
    run.step("zoom get", kWaitLimit, [&] { status = rig::get_zoom(adapter, &value); });
    run.ledger.request_returned("zoom get", status, run.name);
    if (NT_SUCCESS(status) && (value < 0 || value > 100))
      run.failures.add(run.name + ": zoom get succeeded with " + std::to_string(value));
  } else {
    run.step("auto focus", kWaitLimit,
             [&] { run.ledger.request_returned("auto focus", rig::focus_auto(adapter), run.name); });
  }
}

// Submits one more read and cancels it after a moment: it must come back
// (cancelled, or filled if a frame came first) at once.
void random_cancel(Run &run, streamclass::Pin &pin, ULONG image_bytes) {
  std::unique_ptr<streamclass::FrameBuffer> buffer;
  const std::string name = run.name;
  CompletionLedger &ledger = run.ledger;
  const NTSTATUS status =
      pin.submit(image_bytes, buffer, [&ledger, name, image_bytes](const streamclass::Frame &frame) {
        ledger.read_completed(frame, image_bytes, name);
      });
  if (status != STATUS_PENDING)
    return;
  run.stats.cancels_tried++;
  std::this_thread::sleep_for(std::chrono::microseconds(run.between(0, 3000)));
  run.step("cancelled read", kWaitLimit, [&] {
    buffer->cancel();
    if (!buffer->wait(kWaitLimit))
      run.failures.add(name + ": a cancelled read was not completed");
  });
  if (buffer->completed() && buffer->status() == STATUS_CANCELLED)
    run.stats.cancels++;
}

// Streams on the open pin until a removal is due, the camera unplugged
// itself, frames stopped coming (then a control, a reopen or a removal, at
// random) or the run's time is up; then closes the pin, or removes the device
// with the pin open.
PinEnd pin_life(Run &run, rig::Rig &system, uint64_t &life_frames, uint64_t removal_at) {
  // Frames come every few milliseconds from an unpaced camera: this long
  // without a completion is a stall.
  const std::chrono::milliseconds stall_time = rig::under_sanitizer() ? 400ms : 200ms;
  CompletionLedger &ledger = run.ledger;
  const std::string name = run.name;
  const ULONG image_bytes = system.image_bytes();
  // A read failed with a device error: the transfer thread has given up on
  // the camera and ended; nothing more will come on this pin.
  std::atomic<bool> thread_ended{false};
  rig::StreamOptions options;
  options.keep_records = false;
  options.hook = [&ledger, &thread_ended, name, image_bytes](const streamclass::Frame &frame) {
    if (frame.status() == STATUS_IO_DEVICE_ERROR)
      thread_ended = true;
    ledger.read_completed(frame, image_bytes, name);
  };
  run.step("stream run", kWaitLimit,
           [&] { run.ledger.request_returned("run state", system.pin().set_state(KSSTATE_RUN), run.name); });
  (void)system.stream(options);
  rig::RecordedStream &stream = system.frames();
  PinEnd end = PinEnd::Deadline;
  const uint64_t frames_before = life_frames;
  uint64_t control_at =
      life_frames + run.between(run.options.control_frames_min, run.options.control_frames_max);
  auto last_progress = std::chrono::steady_clock::now();
  size_t last_completions = 0;
  while (!run.time_up()) {
    std::this_thread::sleep_for(2ms);
    maybe_report(run);
    life_frames = frames_before + stream.frames();
    if (system.camera().snapshot().gone) {
      run.stats.disconnects++;
      end = PinEnd::Removed;
      break;
    }
    if (life_frames >= removal_at) {
      end = PinEnd::Removed;
      break;
    }
    if (life_frames >= control_at) {
      random_control(run, system.adapter());
      random_cancel(run, system.pin(), image_bytes);
      control_at = life_frames + run.between(run.options.control_frames_min, run.options.control_frames_max);
      last_progress = std::chrono::steady_clock::now(); // a control holds the frames back
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (stream.completions() != last_completions) {
      last_completions = stream.completions();
      last_progress = now;
      continue;
    }
    if (now - last_progress < stall_time && !thread_ended)
      continue;
    // Frames stopped: a silent camera or a transfer thread that gave up.
    run.stats.stalls++;
    const unsigned recovery = run.between(0, 2);
    if (recovery == 0 && !thread_ended) {
      random_cancel(run, system.pin(), image_bytes);
      random_control(run, system.adapter());
      last_progress = std::chrono::steady_clock::now();
      continue;
    }
    end = recovery == 2 ? PinEnd::Removed : PinEnd::Reopen;
    break;
  }
  stream.stop();
  if (end == PinEnd::Removed) {
    run.stats.surprise_removals++;
    run.step("surprise removal", rig::teardown_limit(),
             [&] { (void)system.remove(streamclass::RemovalKind::Surprise); });
    (void)system.close_pin(); // closed by the removal: drops the stream
  } else {
    run.step("stream close", rig::teardown_limit(),
             [&] { run.ledger.request_returned("close", system.close_pin(), run.name); });
  }
  return end;
}

// Opens the pin again and again until the device is removed or the time is up.
void device_streams(Run &run, rig::Rig &system) {
  uint64_t life_frames = 0;
  const uint64_t removal_at = run.between(run.options.removal_frames_min, run.options.removal_frames_max);
  for (;;) {
    const bool small = run.between(0, 3) == 0;
    NTSTATUS status = STATUS_PENDING;
    run.stats.opens++;
    run.step("stream open", kWaitLimit,
             [&] { status = system.open_pin(small ? 160 : 320, small ? 120 : 240, false); });
    if (!NT_SUCCESS(status)) {
      // The pool refused the open: the device stays, try the open again unless
      // the time is up (then remove the device in order).
      run.stats.failed_opens++;
      (void)system.close_pin();
      if (run.time_up() || run.between(0, 1) == 0)
        return;
      continue;
    }
    if (pin_life(run, system, life_frames, removal_at) != PinEnd::Reopen)
      return;
  }
}

// One device life on a new camera: plug, start, stream, removal, unplug, check.
void device_life(Run &run) {
  run.stats.lives++;
  run.name = "seed " + std::to_string(run.options.seed) + ", life " + std::to_string(run.stats.lives);
  run.watch.set_run_name(run.name);
  const uint64_t life_seed = mix(run.options.seed ^ mix(run.stats.lives));
  const rig::Baseline baseline = rig::promises_begin();
  {
    // The camera is plugged before the pool failures are armed, so that they
    // land in the driver's life rather than in building the emulated hardware.
    rig::Rig system;
    std::string error;
    if (!system.plug_camera(life_camera(run.options, life_seed), &error)) {
      run.failures.add(run.name + ": the camera could not be plugged in: " + error);
      return;
    }
    run.system = &system;
    platform::pool_fail_random(run.options.pool_failure_after, run.options.pool_failure_rate, mix(life_seed),
                               run.options.pool_failure_tag);
    NTSTATUS status = STATUS_PENDING;
    run.step("device start", kWaitLimit, [&] { status = system.start(); });
    if (NT_SUCCESS(status)) {
      device_streams(run, system);
      run.step("device removal", rig::teardown_limit(),
               [&] { (void)system.remove(streamclass::RemovalKind::Orderly); });
    } else {
      run.stats.failed_starts++;
    }
    platform::pool_faults_clear();
    const emu::CameraSnapshot camera = system.camera().snapshot();
    for (size_t i = 0; i < emu::kFaultCount; ++i)
      run.faults_done[i] += camera.faults_injected[i];
    run.system = nullptr;
  }
  rig::promises_check(baseline, run.name, run.failures);
}

} // namespace

RandomRunStats random_run(const RandomRunOptions &options, Failures &failures) {
  Run run(options, failures);
  run.deadline = run.began + options.duration;
  platform::pool_reset_peaks();
  int extensions = 2;
  for (;;) {
    while (!run.time_up()) {
      device_life(run);
      maybe_report(run);
    }
    if (run.stats.frames >= options.min_frames || extensions-- == 0)
      break;
    run.deadline += options.duration;
  }
  RandomRunStats stats = snapshot(run);
  if (options.report)
    options.report(stats);
  return stats;
}

uint64_t random_run_seed() {
  if (const char *text = std::getenv("DSCAM_SEED"); text != nullptr && *text != '\0')
    return std::strtoull(text, nullptr, 0);
  return mix(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
}

std::string random_run_text(const RandomRunStats &stats) {
  std::string text;
  char line[512];
  std::snprintf(
      line, sizeof(line),
      "%.0f s: %llu frames, %llu lives (%llu failed starts, %llu surprise removals, %llu disconnects), "
      "%llu opens (%llu failed), %llu stalls, %llu controls, %llu of %llu extra reads cancelled\n",
      stats.seconds, static_cast<unsigned long long>(stats.frames),
      static_cast<unsigned long long>(stats.lives), static_cast<unsigned long long>(stats.failed_starts),
      static_cast<unsigned long long>(stats.surprise_removals),
      static_cast<unsigned long long>(stats.disconnects), static_cast<unsigned long long>(stats.opens),
      static_cast<unsigned long long>(stats.failed_opens), static_cast<unsigned long long>(stats.stalls),
      static_cast<unsigned long long>(stats.controls), static_cast<unsigned long long>(stats.cancels),
      static_cast<unsigned long long>(stats.cancels_tried));
  text += line;
  auto add_count = [&text](const std::string &name, uint64_t count) {
    text += ' ';
    text += name;
    text += '=';
    text += std::to_string(count);
  };
  text += "  camera faults:";
  for (const emu::FaultInfo &info : emu::kFaultTable)
    add_count(info.name, stats.faults[static_cast<size_t>(info.fault)]);
  text += "\n  reads:";
  for (const auto &[status, count] : stats.reads_by_status)
    add_count(rig::status_text(status), count);
  text += "\n  requests:";
  for (const auto &[status, count] : stats.requests_by_status)
    add_count(rig::status_text(status), count);
  std::snprintf(line, sizeof(line),
                "\n  pool: %llu allocations refused, high-water mark %zu bytes; %zu failure(s)\n",
                static_cast<unsigned long long>(stats.pool_failed), stats.pool_peak_bytes, stats.failures);
  text += line;
  return text;
}

} // namespace reliability
