// The race tests' fixture: the rig with the fast camera behind a SteppedDevice,
// and repetition counts scaled to the build (ThreadSanitizer runs a tenth of
// the rounds).
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>

#include "tests/support/rig_test.h"
#include "tests/support/stepped_device.h"

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

class RaceTest : public RigTest {
protected:
  // Plugs the fast camera behind a SteppedDevice (device_) and starts the
  // device; with `open`, the capture pin (320x240) is opened and running.
  void start_stepped(bool open = true) {
    std::string error;
    std::shared_ptr<emu::UsbCamera> camera = emu::UsbCamera::create(rig::fast_camera(), &error);
    ASSERT_TRUE(camera) << error;
    device_ = std::make_shared<rig::SteppedDevice>(std::move(camera));
    ASSERT_TRUE(rig_.plug(device_));
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
    if (open) {
      ASSERT_EQ(rig_.open_pin(320, 240), STATUS_SUCCESS);
    }
  }
  void release() override { device_.reset(); }

  std::shared_ptr<rig::SteppedDevice> device_;
};
