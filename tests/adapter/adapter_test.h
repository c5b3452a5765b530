// The adapter's dispatch on the rig's started device, the driver's log in a recorder that can hold the thread
// logging a chosen line: a test keeps one adapter request in progress so while it delivers others.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <semaphore>
#include <string>
#include <thread>

#include "tests/support/rig_test.h"

// A line recorder that holds the first thread logging `trigger` (once recorded) until open().
class GatedRecorder : public platform::LineRecorder {
public:
  void write(const char *text) override {
    platform::LineRecorder::write(text);
    if (observer)
      observer(text);
    if (armed_.load() && trigger_ == text && armed_.exchange(false))
      gate_.acquire();
  }
  // Set before the thread to hold runs.
  void arm(const std::string &trigger) {
    trigger_ = trigger;
    opened_ = false;
    armed_ = true;
  }
  void open() {
    if (!opened_.exchange(true))
      gate_.release();
  }
  // Sees every message on the logging thread; set before messages are logged concurrently.
  std::function<void(const char *)> observer;

private:
  std::string trigger_;
  std::atomic<bool> armed_{false}, opened_{true};
  std::binary_semaphore gate_{0};
};

class AdapterTest : public RigTest {
protected:
  AdapterTest() { recorder_ = gate_; }
  void release() override {
    gate_->open();
    if (busy_thread_.joinable())
      busy_thread_.join();
    first_.reset();
  }

  // The camera started, its start's lines forgotten.
  void start() {
    ASSERT_NO_FATAL_FAILURE(start_camera());
    clear_log();
  }
  streamclass::Adapter &adapter() const { return rig_.adapter(); }
  NTSTATUS send(SRB_COMMAND command) { return adapter().call(adapter().make_request(command)); }

  // Keeps the adapter busy with a power-state request, held on another thread as it logs its dispatch line,
  // and delivers `command` behind it: the request returned is queued, not yet completed.
  std::shared_ptr<streamclass::Request> queue_behind_busy_request(SRB_COMMAND command) {
    gate_->arm("SRB_CHANGE_POWER_STATE\n");
    first_ = adapter().make_request(SRB_CHANGE_POWER_STATE);
    busy_thread_ = std::thread([this] { adapter().deliver(first_); });
    EXPECT_TRUE(gate_->wait_for("SRB_CHANGE_POWER_STATE\n", std::chrono::seconds(10)));
    auto queued = adapter().make_request(command);
    EXPECT_EQ(adapter().deliver(queued), STATUS_PENDING);
    return queued;
  }
  // Lets the busy request go on; returns once its thread has left the adapter.
  void release_busy_request() {
    gate_->open();
    busy_thread_.join();
  }

  std::shared_ptr<GatedRecorder> gate_ = std::make_shared<GatedRecorder>();
  std::shared_ptr<streamclass::Request> first_;
  std::thread busy_thread_;
};
