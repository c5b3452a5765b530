// The fixture of every test: the rig (tests/support/rig.h), the driver's debug
// messages recorded, and at the end of every test one set of checks of every
// promise the platform keeps account of (rig::promises_check: the host's
// request accounting, the pool by tag, IRPs, system threads, work items,
// thread and device objects, misuse reports), and that the test thread is back
// at PASSIVE_LEVEL. A test that causes misuse on purpose takes its reports.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/debugdev/debug_device.h"
#include "platform/debugdev/line_recorder.h"
#include "platform/kernel/misuse.h"
#include "tests/support/promises.h"
#include "tests/support/rig.h"

class RigTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  // Releases what a deriving fixture holds itself (pins, adapters, buses),
  // before the rig is taken apart and the checks run.
  virtual void release() {}

  // Plugs a camera made from `config` and starts the device; fails the test
  // (fatally) when either does not work.
  void start_camera(const emu::CameraConfig &config = rig::fast_camera());
  // start_camera, the pin opened at width x height and running, and a
  // recorded stream of `buffers` buffers on it.
  void start_streaming(LONG width = 320, LONG height = 240, unsigned buffers = 4,
                       const emu::CameraConfig &config = rig::fast_camera());

  // Takes the rig apart (after release()) and checks every promise now; the
  // checks start afresh from here. For a test of several rounds.
  void end_round(const std::string &where = "end of round");

  // The driver's messages (levels up to 3) recorded so far, and how many of
  // them equal `line`.
  std::vector<std::string> log() const { return recorder_->lines(); }
  size_t log_count(const std::string &line) const;
  void clear_log() { recorder_->clear(); }

  // Takes the misuse reports so far (they no longer fail the test) and counts
  // those of `category`; a report of another category fails the test.
  size_t take_misuse_reports(platform::MisuseCategory category);
  // No stderr echo of misuse reports until the end of the test.
  void quiet_misuse();
  // The host's accounting so far, started afresh; its misuse reports (category
  // Request) are taken with it.
  streamclass::HostAccounting take_host_accounting();

  rig::Rig rig_;
  std::shared_ptr<platform::LineRecorder> recorder_ = std::make_shared<platform::LineRecorder>();

private:
  rig::Baseline baseline_;
  streamclass::HostOptions saved_options_;
  std::unique_ptr<platform::DebugDeviceScope> debug_device_;
};
