// A device model in front of another that stops the conversation at a chosen
// bulk transfer: the race tests and the whole-system fuzz targets use it to
// hold the camera silent, or to let a test act just as an answer arrives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

#include "platform/usbbus/usb_device_model.h"

namespace rig {

// A device model that hands everything to an inner model and counts the bulk
// and interrupt transfers submitted to it (steps, from 1). At the chosen step it
// signals whoever waits for it and, in Hold mode, keeps that transfer and every
// later one unanswered (the device falls silent there); in Pass mode it lets the
// conversation go on, so that what the test does next races with the answer.
// Held transfers end by the bus's cancel, reset or removal; a port reset ends
// the silence (the device answers again from its power-on state).
//
// Thread-safe; lock_ is a leaf taken around the counters and the held list, and
// the inner model is called without it.
class SteppedDevice : public usbbus::UsbDeviceModel {
public:
  enum class AtStep { Hold, Pass };

  explicit SteppedDevice(std::shared_ptr<usbbus::UsbDeviceModel> inner);

  // Arms the stop: `step` counts from the next transfer (1 = the next one);
  // 0 disarms it.
  void stop_at(size_t step, AtStep mode);
  // Waits until the armed step is reached; false after `timeout`.
  bool wait_step(std::chrono::milliseconds timeout);
  // Bulk and interrupt transfers submitted so far.
  size_t transfers() const;

  // usbbus::UsbDeviceModel
  std::span<const uint8_t> descriptor(uint8_t type, uint8_t index, uint16_t language_id) override;
  usbbus::TransferOutcome set_configuration(uint8_t configuration_value) override;
  void submit(const usbbus::TransferHandle &transfer) override;
  void cancel(const usbbus::TransferHandle &transfer) override;
  usbbus::TransferOutcome reset_pipe(uint8_t endpoint_address) override;
  usbbus::TransferOutcome reset_port() override;
  void removed() override;

private:
  std::shared_ptr<usbbus::UsbDeviceModel> inner_;
  mutable std::mutex lock_;     // guards the fields below
  std::condition_variable hit_; // signalled when the armed step is reached
  size_t transfers_ = 0;
  size_t stop_at_ = 0; // transfer number of the stop; 0: none
  AtStep mode_ = AtStep::Pass;
  bool reached_ = false;
  bool holding_ = false; // Hold mode reached: every transfer from here on is kept unanswered
};

} // namespace rig
