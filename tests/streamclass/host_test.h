// The fixture of every test that goes through the stream class host: besides the
// platform's accounting (PlatformTest), TearDown checks the host's request
// accounting: every request delivered during the test was completed exactly once,
// through the right notification, and none is outstanding.
//
// A deriving fixture releases its adapters, pins and drivers in release_host_objects()
// (called first by TearDown), so that removal happens before the checks. A test that
// causes host misuse on purpose takes it with take_host_accounting().
//
// Also here: a stand-in physical device object (TestPdo) whose USB requests fail or
// succeed as the test chooses, and a debug log (DebugLog) that records every message
// of the driver.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/debugdev/debug_device.h"
#include "platform/debugdev/line_recorder.h"
#include "platform/streamclass/host.h"
#include "tests/support/platform_test.h"

class HostTest : public PlatformTest {
protected:
  void SetUp() override;
  void TearDown() override;

  // Releases what the test holds of the host (adapters before drivers); called first
  // by TearDown.
  virtual void release_host_objects() {}

  // Returns the host accounting so far and starts it afresh; the host's misuse
  // reports (category Request) are taken with it, so they no longer fail the test.
  streamclass::HostAccounting take_host_accounting();

  // The host options of the test: a 5 ms tick, no time limits, a 10 s wait limit.
  // A test changes them (before creating its adapter) with set_options().
  void set_options(const streamclass::HostOptions &options) { streamclass::set_host_options(options); }
  static streamclass::HostOptions test_options();

private:
  streamclass::HostOptions saved_options_;
};

// A bus device object standing in for the camera's physical device object: every
// internal device-control request (a USB request) is completed at once with
// `usb_status`. Other requests fail as the I/O manager's default does.
class TestPdo {
public:
  explicit TestPdo(NTSTATUS usb_status = STATUS_DEVICE_NOT_CONNECTED);
  ~TestPdo();
  TestPdo(const TestPdo &) = delete;
  TestPdo &operator=(const TestPdo &) = delete;
  PDEVICE_OBJECT device() const { return device_; }
  // Internal device-control requests seen so far.
  size_t usb_requests() const;

private:
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

// The debug device with a line recorder for the scope (a new one, or the one given),
// and the driver's debug channel opened on it (as device initialization does).
class DebugLog {
public:
  explicit DebugLog(std::shared_ptr<platform::LineRecorder> recorder = nullptr);
  ~DebugLog();
  DebugLog(const DebugLog &) = delete;
  DebugLog &operator=(const DebugLog &) = delete;
  platform::LineRecorder &recorder() { return *recorder_; }
  std::vector<std::string> lines() const { return recorder_->lines(); }
  bool contains(const std::string &line) const { return recorder_->contains(line); }
  // Messages equal to `line`, and messages containing `fragment`.
  size_t count_exact(const std::string &line) const;
  size_t count(const std::string &fragment) const { return recorder_->count(fragment); }
  void clear() { recorder_->clear(); }

private:
  std::shared_ptr<platform::LineRecorder> recorder_;
  std::unique_ptr<platform::DebugDeviceScope> device_;
};
