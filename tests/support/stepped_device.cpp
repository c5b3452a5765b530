// The stepped device.
#include "tests/support/stepped_device.h"

namespace rig {

SteppedDevice::SteppedDevice(std::shared_ptr<usbbus::UsbDeviceModel> inner) : inner_(std::move(inner)) {}

void SteppedDevice::stop_at(size_t step, AtStep mode) {
  std::lock_guard hold(lock_);
  stop_at_ = step == 0 ? 0 : transfers_ + step;
  mode_ = mode;
  reached_ = false;
  holding_ = false;
}

bool SteppedDevice::wait_step(std::chrono::milliseconds timeout) {
  std::unique_lock hold(lock_);
  return hit_.wait_for(hold, timeout, [this] { return reached_; });
}

size_t SteppedDevice::transfers() const {
  std::lock_guard hold(lock_);
  return transfers_;
}

std::span<const uint8_t> SteppedDevice::descriptor(uint8_t type, uint8_t index, uint16_t language_id) {
  return inner_->descriptor(type, index, language_id);
}

usbbus::TransferOutcome SteppedDevice::set_configuration(uint8_t configuration_value) {
  return inner_->set_configuration(configuration_value);
}

void SteppedDevice::submit(const usbbus::TransferHandle &transfer) {
  {
    std::lock_guard hold(lock_);
    ++transfers_;
    if (stop_at_ != 0 && transfers_ == stop_at_) {
      reached_ = true;
      holding_ = mode_ == AtStep::Hold;
      hit_.notify_all();
    }
    if (holding_)
      return;
  }
  inner_->submit(transfer);
}

void SteppedDevice::cancel(const usbbus::TransferHandle &transfer) {
  inner_->cancel(transfer);
}

usbbus::TransferOutcome SteppedDevice::reset_pipe(uint8_t endpoint_address) {
  return inner_->reset_pipe(endpoint_address);
}

usbbus::TransferOutcome SteppedDevice::reset_port() {
  {
    std::lock_guard hold(lock_);
    holding_ = false;
  }
  return inner_->reset_port();
}

void SteppedDevice::removed() {
  inner_->removed();
}

} // namespace rig
