// A device extension connected through the USB bus driver to a device model
// (a scripted device or the emulated camera), configured as device
// initialization would leave it: configuration selected, bulk pipes found.
// The debug channel goes to a line recorder. Tests of the packet exchange and
// the picture commands derive from it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "emulator/camera/usb_camera.h"
#include "emulator/usb/scripted_device.h"
#include "platform/debugdev/line_recorder.h"
#include "platform/usbbus/usb_bus.h"
#include "tests/support/platform_test.h"

namespace prototest {

using Bytes = std::vector<UCHAR>;

// A data packet (STX or ETX) with its checksum.
Bytes data_packet(UCHAR type, const Bytes &data);
// `n` bytes counting up from `first`.
Bytes counting(size_t n, UCHAR first = 0);

class CameraLinkTest : public PlatformTest {
protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs a scripted device (loopback off) and configures the extension.
  emu::ScriptedUsbDevice &attach_scripted();
  // Plugs an emulated camera; its unplug handler removes it from the bus.
  emu::UsbCamera &attach_camera(const emu::CameraConfig &config);

  // The text trace of every transfer so far.
  std::vector<std::string> trace_lines() const;
  // The recorder's lines that contain fragment.
  size_t log_count(const std::string &fragment) const { return recorder_->count(fragment); }

  PHW_DEVICE_EXTENSION ext() { return ext_.get(); }

  std::shared_ptr<platform::LineRecorder> recorder_ = std::make_shared<platform::LineRecorder>();
  std::shared_ptr<emu::ScriptedUsbDevice> scripted_;
  std::shared_ptr<emu::UsbCamera> camera_;
  std::unique_ptr<usbbus::UsbBus> bus_;

private:
  void configure();

  struct ExtensionDeleter {
    void operator()(HW_DEVICE_EXTENSION *p) const { ::operator delete(p); }
  };
  std::unique_ptr<HW_DEVICE_EXTENSION, ExtensionDeleter> ext_;
  mutable std::mutex trace_lock_; // guards trace_
  std::vector<std::string> trace_;
};

} // namespace prototest
