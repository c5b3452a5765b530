// The race tests' fixture: the rig with the fast camera behind a SteppedDevice,
// and race loops bounded by rounds (a tenth under sanitizers) and by time.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>

#include "tests/support/rig_test.h"
#include "tests/support/stepped_device.h"

// A number of rounds and a time budget; a race loop runs while both last.
class RaceBudget {
public:
  RaceBudget(int rounds, std::chrono::milliseconds budget)
      : rounds_(std::max(1, rig::under_sanitizer() ? rounds / 10 : rounds)),
        end_(std::chrono::steady_clock::now() + budget) {}
  ~RaceBudget() { std::printf("race rounds: %d\n", done_); } // for the record of a run
  RaceBudget(const RaceBudget &) = delete;
  RaceBudget &operator=(const RaceBudget &) = delete;
  // True while another round may run (the first one always may).
  bool next() {
    if (done_ > 0 && (done_ >= rounds_ || std::chrono::steady_clock::now() >= end_))
      return false;
    return ++done_ > 0;
  }
  int done() const { return done_; }

private:
  int rounds_;
  std::chrono::steady_clock::time_point end_;
  int done_ = 0;
};

class RaceTest : public RigTest {
protected:
  // Plugs the fast camera behind a SteppedDevice (device_), starts the device
  // and, with `open`, opens the capture pin (320x240) running.
  void start_stepped(bool open = true) {
    std::string error;
    std::shared_ptr<emu::UsbCamera> camera = emu::UsbCamera::create(rig::fast_camera(), &error);
    ASSERT_TRUE(camera) << error;
    device_ = std::make_shared<rig::SteppedDevice>(std::move(camera));
    ASSERT_TRUE(rig_.plug(device_));
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
    ASSERT_EQ(open ? rig_.open_pin(320, 240) : STATUS_SUCCESS, STATUS_SUCCESS);
  }
  void release() override { device_.reset(); }

  std::shared_ptr<rig::SteppedDevice> device_;
};
