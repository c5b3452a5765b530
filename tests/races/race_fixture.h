// The fixture of the race tests: the whole system (driver, host, bus, a camera
// model) with the driver's messages recorded, repetition counts scaled to the
// sanitizer the build runs under, and a check at the end of every test (and of
// every round, where a test asks) of every promise the platform keeps account
// of: requests completed once, pool clean by tag, no thread, work item, IRP or
// pending transfer left.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "emulator/camera/usb_camera.h"
#include "tests/races/system_rig.h"
#include "tests/streamclass/host_test.h"

// How much slower the build runs races: ThreadSanitizer's runs are given a
// tenth of the rounds.
#if defined(__SANITIZE_THREAD__)
#define DSCAM_RACES_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DSCAM_RACES_UNDER_TSAN 1
#endif
#endif

#ifdef DSCAM_RACES_UNDER_TSAN
inline constexpr int kRaceRoundDivisor = 10;
#else
inline constexpr int kRaceRoundDivisor = 1;
#endif

// A number of rounds and a time budget; a race loop runs while both last.
class RaceBudget {
public:
  RaceBudget(int rounds, std::chrono::milliseconds budget)
      : rounds_(rounds / kRaceRoundDivisor > 0 ? rounds / kRaceRoundDivisor : 1),
        end_(std::chrono::steady_clock::now() + budget) {}
  // Says how many rounds ran, for the record of a run.
  ~RaceBudget() { std::printf("race rounds: %d\n", done_); }
  RaceBudget(const RaceBudget &) = delete;
  RaceBudget &operator=(const RaceBudget &) = delete;
  // True while another round may run (the first one always may).
  bool next() {
    if (done_ > 0 && (done_ >= rounds_ || std::chrono::steady_clock::now() >= end_))
      return false;
    ++done_;
    return true;
  }
  int done() const { return done_; }

private:
  int rounds_;
  std::chrono::steady_clock::time_point end_;
  int done_ = 0;
};

class RaceTest : public HostTest {
protected:
  void SetUp() override;
  void TearDown() override;
  void release_host_objects() override;

  // A camera that answers at once over an unlimited link with a few pictures
  // encoded at power-on, and a short focus.
  static emu::CameraConfig fast_camera();

  // Starts a rig over `device` (fails the test when it does not start).
  void start(std::shared_ptr<usbbus::UsbDeviceModel> device);
  // The emulated camera made from `config`, behind a SteppedDevice.
  std::shared_ptr<races::SteppedDevice> stepped_camera(const emu::CameraConfig &config);
  // Opens the capture pin (320x240) and sets it running.
  void open_running();
  // Ends the round: pin and rig released, then every promise checked (fails
  // the test with the list of broken ones).
  void end_round();
  // Driver messages equal to `line`.
  size_t log_count(const std::string &line) const { return log_->count_exact(line); }

  std::unique_ptr<DebugLog> log_;
  std::unique_ptr<races::SystemRig> rig_;
  std::unique_ptr<streamclass::Pin> pin_;
  races::PlatformBaseline baseline_;
};
