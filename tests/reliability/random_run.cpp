// The random-fault run.
#include "tests/reliability/random_run.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

#include "platform/kernel/control.h"
#include "tests/support/rig.h"

namespace reliability {

using namespace std::chrono_literals;

namespace {

using rig::kWaitLimit;

// Camera faults: the rate per trial of each fault, by the fault's unit.
constexpr double kTransferFaultRate = 0.005;
constexpr double kPictureFaultRate = 0.01;
constexpr double kCommandFaultRate = 0.05; // per auto focus or zoom reading
// Pool: in every device life, after its first 200 allocations, each one (of
// any tag: the driver's blocks, the bus's transfers, the host's request IRPs)
// fails with this probability. The host makes a stream's close and a device's
// removal requests in advance, so neither depends on the pool.
constexpr double kPoolFailureRate = 0.06;
constexpr uint64_t kPoolFailureAfter = 200;

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
  Run(const RandomRunOptions &options, rig::Failures &failures)
      : options(options), failures(failures), random(options.seed), watch(failures, "seed"),
        ledger(failures) {}

  const RandomRunOptions &options;
  rig::Failures &failures;
  std::mt19937_64 random;
  rig::StepWatch watch;
  rig::CompletionLedger ledger;
  std::map<std::string, uint64_t> counts; // of RandomRunStats
  std::string name;                       // "seed S, life L"
  std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point deadline;
  std::chrono::steady_clock::time_point last_report = began;
  rig::Rig *system = nullptr; // the device life under way, with its camera

  // Runs a step of the run; a step that overruns its limit is a failure, and
  // the camera is then unplugged from its bus (which ends every transfer the
  // driver waits for) so that the run can go on and check the rest.
  void step(const std::string &where, std::chrono::milliseconds limit, const std::function<void()> &fn) {
    usbbus::UsbBus *plugged = system != nullptr && system->plugged() ? &system->bus() : nullptr;
    const auto began = std::chrono::steady_clock::now();
    watch.run(where, limit, fn, [plugged] {
      if (plugged != nullptr)
        plugged->remove_device();
    });
    // The slowest of each step, in milliseconds: what a user would have waited.
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    uint64_t &slowest = counts["slowest " + where + " (ms)"];
    slowest = std::max<uint64_t>(slowest, static_cast<uint64_t>(took.count()));
  }
  // A blocking request as a step; its status is checked for the truth.
  NTSTATUS request(const std::string &what, const std::function<NTSTATUS()> &fn) {
    NTSTATUS status = STATUS_PENDING;
    step(what, kWaitLimit, [&] { status = fn(); });
    ledger.request_returned(what, status, name);
    return status;
  }
  unsigned between(unsigned low, unsigned high) {
    return low + static_cast<unsigned>(random() % (high - low + 1));
  }
  bool time_up() const { return std::chrono::steady_clock::now() >= deadline; }
};

// The stats as of now.
RandomRunStats snapshot(const Run &run) {
  RandomRunStats stats;
  stats.seed = run.options.seed;
  stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.began).count();
  stats.counts = run.counts;
  const platform::PoolCounts pool = platform::pool_counts();
  stats.counts["pool failed"] = pool.failed;
  stats.counts["pool peak bytes"] = pool.peak_bytes;
  stats.counts["frames"] = run.ledger.frames();
  stats.counts["failures"] = run.failures.size();
  stats.reads_by_status = run.ledger.reads_by_status();
  stats.requests_by_status = run.ledger.requests_by_status();
  return stats;
}

void maybe_report(Run &run) {
  const auto now = std::chrono::steady_clock::now();
  if (run.options.report_every.count() == 0 || !run.options.report ||
      now - run.last_report < run.options.report_every)
    return;
  run.last_report = now;
  run.options.report(snapshot(run));
}

// A camera answering as fast as asked over an unlimited link, with every
// fault that can strike at random at the rate of its unit.
emu::CameraConfig life_camera(const RandomRunOptions &options, uint64_t seed) {
  emu::CameraConfig config = rig::fast_camera();
  config.prerendered = 6;
  config.chunk = (seed & 1) != 0 ? 65530 : config.chunk; // pictures in packets, or each in one
  config.slow_focus_ns = 1'500'000'000; // slow, but well inside the time any single wait may take
  config.faults.seed = seed;
  for (const emu::FaultInfo &info : emu::kFaultTable) {
    const bool excluded = std::find(options.excluded_faults.begin(), options.excluded_faults.end(),
                                    info.fault) != options.excluded_faults.end();
    const double rate = info.unit == emu::FaultUnit::Transfer  ? kTransferFaultRate
                        : info.unit == emu::FaultUnit::Picture ? kPictureFaultRate
                                                               : kCommandFaultRate;
    config.faults.knobs[static_cast<size_t>(info.fault)].rate = excluded ? 0 : rate;
  }
  return config;
}

// One camera control, chosen at random. A zoom Set out of range completes
// before the value is applied; the zoom change refuses it later, unseen, and
// the camera must not move.
void random_control(Run &run, streamclass::Adapter &adapter) {
  run.counts["controls"]++;
  const unsigned choice = run.between(0, 99);
  if (choice < 50) {
    const LONG value = static_cast<LONG>(run.between(0, 120)) - 10;
    run.request("zoom set", [&] { return rig::set_zoom(adapter, value); });
  } else if (choice < 75) {
    LONG value = -1;
    if (NT_SUCCESS(run.request("zoom get", [&] { return rig::get_zoom(adapter, &value); })) &&
        (value < 0 || value > 100))
      run.failures.add(run.name + ": zoom get succeeded with " + std::to_string(value));
  } else {
    run.request("auto focus", [&] { return rig::focus_auto(adapter); });
  }
}

// Submits one more read and cancels it after a moment: it must come back
// (cancelled, or filled if a frame came first) at once.
void random_cancel(Run &run, streamclass::Pin &pin, ULONG image_bytes) {
  std::unique_ptr<streamclass::FrameBuffer> buffer;
  rig::CompletionLedger &ledger = run.ledger;
  const std::string name = run.name;
  if (pin.submit(image_bytes, buffer, [&ledger, name, image_bytes](const streamclass::Frame &frame) {
        ledger.read_completed(frame, image_bytes, name);
      }) != STATUS_PENDING)
    return;
  run.counts["cancels tried"]++;
  std::this_thread::sleep_for(std::chrono::microseconds(run.between(0, 3000)));
  run.step("cancelled read", kWaitLimit, [&] {
    buffer->cancel();
    if (!buffer->wait(kWaitLimit))
      run.failures.add(name + ": a cancelled read was not completed");
  });
  if (buffer->completed() && buffer->status() == STATUS_CANCELLED)
    run.counts["cancels"]++;
}

// Streams on the open pin until a removal is due, the camera unplugged
// itself, frames stopped coming (then a control, a reopen or a removal, at
// random) or the run's time is up; then closes the pin, or removes the device
// with the pin open.
PinEnd pin_life(Run &run, rig::Rig &system, uint64_t &life_frames, uint64_t removal_at) {
  // Frames come every few milliseconds from an unpaced camera: this long
  // without a completion is a stall.
  const std::chrono::milliseconds stall_time = rig::under_sanitizer() ? 400ms : 200ms;
  rig::CompletionLedger &ledger = run.ledger;
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
  run.request("run state", [&] { return system.pin().set_state(KSSTATE_RUN); });
  (void)system.stream(options);
  rig::RecordedStream &stream = system.frames();
  PinEnd end = PinEnd::Deadline;
  const uint64_t frames_before = life_frames;
  uint64_t control_at = life_frames + run.between(20, 60);
  auto last_progress = std::chrono::steady_clock::now();
  size_t last_completions = 0;
  while (!run.time_up()) {
    std::this_thread::sleep_for(2ms);
    maybe_report(run);
    life_frames = frames_before + stream.frames();
    if (system.camera().snapshot().gone || life_frames >= removal_at) {
      run.counts["disconnects"] += life_frames < removal_at ? 1 : 0;
      end = PinEnd::Removed;
      break;
    }
    if (life_frames >= control_at) {
      random_control(run, system.adapter());
      random_cancel(run, system.pin(), image_bytes);
      control_at = life_frames + run.between(20, 60);
      last_progress = std::chrono::steady_clock::now(); // a control holds the frames back
      continue;
    }
    if (stream.completions() != last_completions) {
      last_completions = stream.completions();
      last_progress = std::chrono::steady_clock::now();
      continue;
    }
    if (std::chrono::steady_clock::now() - last_progress < stall_time && !thread_ended)
      continue;
    // Frames stopped: a silent camera or a transfer thread that gave up.
    run.counts["stalls"]++;
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
    run.counts["surprise removals"]++;
    run.step("surprise removal", rig::teardown_limit(),
             [&] { (void)system.remove(streamclass::RemovalKind::Surprise); });
    (void)system.close_pin(); // closed by the removal: drops the stream
  } else {
    NTSTATUS closed = STATUS_PENDING;
    run.step("stream close", rig::teardown_limit(), [&] { closed = system.close_pin(); });
    ledger.request_returned("close", closed, name);
  }
  return end;
}

// Opens the pin again and again until the device is removed or the time is
// up. A refused open (no pool) leaves the device: the open is tried again, or
// the device removed in order.
void device_streams(Run &run, rig::Rig &system) {
  uint64_t life_frames = 0;
  const uint64_t removal_at = run.between(200, 600);
  for (;;) {
    const bool small = run.between(0, 3) == 0;
    NTSTATUS status = STATUS_PENDING;
    run.counts["opens"]++;
    run.step("stream open", kWaitLimit,
             [&] { status = system.open_pin(small ? 160 : 320, small ? 120 : 240, false); });
    if (NT_SUCCESS(status)) {
      if (pin_life(run, system, life_frames, removal_at) != PinEnd::Reopen)
        return;
      continue;
    }
    run.counts["failed opens"]++;
    (void)system.close_pin();
    if (run.time_up() || run.between(0, 1) == 0)
      return;
  }
}

// One device life on a new camera: plug, start, stream, removal, unplug, check.
void device_life(Run &run) {
  const uint64_t life = ++run.counts["lives"];
  run.name = "seed " + std::to_string(run.options.seed) + ", life " + std::to_string(life);
  run.watch.set_run_name(run.name);
  const uint64_t life_seed = mix(run.options.seed ^ mix(life));
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
    platform::pool_fail_random(kPoolFailureAfter, kPoolFailureRate, mix(life_seed), 0);
    NTSTATUS status = STATUS_PENDING;
    run.step("device start", kWaitLimit, [&] { status = system.start(); });
    if (NT_SUCCESS(status)) {
      device_streams(run, system);
      run.step("device removal", rig::teardown_limit(), [&] { (void)system.remove(); });
    } else {
      run.counts["failed starts"]++;
    }
    platform::pool_faults_clear();
    const emu::CameraSnapshot camera = system.camera().snapshot();
    for (const emu::FaultInfo &info : emu::kFaultTable)
      run.counts[info.name] += camera.faults_injected[static_cast<size_t>(info.fault)];
    run.system = nullptr;
  }
  rig::promises_check(baseline, run.name, run.failures);
}

} // namespace

RandomRunStats random_run(const RandomRunOptions &options, rig::Failures &failures) {
  Run run(options, failures);
  run.deadline = run.began + options.duration;
  platform::pool_reset_peaks();
  for (int extensions = 2;; --extensions) {
    while (!run.time_up()) {
      device_life(run);
      maybe_report(run);
    }
    if (run.ledger.frames() >= options.min_frames || extensions == 0)
      break;
    run.deadline += options.duration;
  }
  const RandomRunStats stats = snapshot(run);
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
  std::string text =
      std::to_string(static_cast<long long>(stats.seconds)) + " s, seed " + std::to_string(stats.seed);
  for (const auto &[name, count] : stats.counts)
    text += ", " + name + " " + std::to_string(count);
  text += "\n  reads:";
  for (const auto &[status, count] : stats.reads_by_status)
    text += " " + rig::status_text(status) + "=" + std::to_string(count);
  text += "\n  requests:";
  for (const auto &[status, count] : stats.requests_by_status)
    text += " " + rig::status_text(status) + "=" + std::to_string(count);
  return text + "\n";
}

} // namespace reliability
