// A transfer as the bus would hand it to a device model, for testing the
// camera's USB side without the bus: it records how it ended and on which
// thread, and lets a test wait for that.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/usbbus/usb_device_model.h"

namespace camtest {

class FakeTransfer final : public usbbus::Transfer {
public:
  static std::shared_ptr<FakeTransfer> in(uint8_t endpoint, uint32_t length = 65536) {
    return std::make_shared<FakeTransfer>(endpoint, length, std::vector<uint8_t>{});
  }
  static std::shared_ptr<FakeTransfer> out(uint8_t endpoint, std::vector<uint8_t> data) {
    const auto length = static_cast<uint32_t>(data.size());
    return std::make_shared<FakeTransfer>(endpoint, length, std::move(data));
  }

  FakeTransfer(uint8_t endpoint, uint32_t length, std::vector<uint8_t> data)
      : endpoint_(endpoint), length_(length), out_(std::move(data)) {}

  uint8_t endpoint_address() const override { return endpoint_; }
  uint32_t length() const override { return length_; }
  std::span<const uint8_t> out_data() const override { return out_; }
  uint64_t id() const override { return 0; }

  bool complete_in(std::span<const uint8_t> data) override {
    return end(usbbus::TransferOutcome::Success, std::vector<uint8_t>(data.begin(), data.end()));
  }
  bool complete_out(uint32_t accepted) override {
    std::vector<uint8_t> none;
    accepted_ = accepted;
    return end(usbbus::TransferOutcome::Success, std::move(none));
  }
  bool fail(usbbus::TransferOutcome outcome, uint32_t) override { return end(outcome, {}); }
  bool is_active() const override {
    std::lock_guard guard(mutex_);
    return !outcome_.has_value();
  }

  // The bus ending the transfer itself (cancel, reset, removal).
  bool end_by_bus(usbbus::TransferOutcome outcome) { return end(outcome, {}); }

  // Waits up to `limit` of real time for the end; false if it did not come.
  bool wait(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    std::unique_lock guard(mutex_);
    return cv_.wait_for(guard, limit, [&] { return outcome_.has_value(); });
  }

  std::optional<usbbus::TransferOutcome> outcome() const {
    std::lock_guard guard(mutex_);
    return outcome_;
  }
  std::vector<uint8_t> data() const {
    std::lock_guard guard(mutex_);
    return data_;
  }
  std::thread::id ended_on() const {
    std::lock_guard guard(mutex_);
    return thread_;
  }
  uint32_t accepted() const { return accepted_; }

private:
  bool end(usbbus::TransferOutcome outcome, std::vector<uint8_t> data) {
    std::lock_guard guard(mutex_);
    if (outcome_)
      return false;
    outcome_ = outcome;
    data_ = std::move(data);
    thread_ = std::this_thread::get_id();
    cv_.notify_all();
    return true;
  }

  uint8_t endpoint_;
  uint32_t length_;
  std::vector<uint8_t> out_;
  mutable std::mutex mutex_;   // guards outcome_, data_, thread_
  std::condition_variable cv_; // signals the end
  std::optional<usbbus::TransferOutcome> outcome_;
  std::vector<uint8_t> data_;
  std::thread::id thread_;
  uint32_t accepted_ = 0;
};

} // namespace camtest
