// The libusb tests' fixture: the emulated camera behind a umockdev usbdevfs
// node, the libusb device model opened on it through real libusb, plugged into
// the rig's bus and started, with the model's unplug notice recorded.
#pragma once

#include <atomic>
#include <memory>

#include "platform/usbbus/libusb_device.h"
#include "tests/support/usbdevfs_camera.h"
#include "tests/usb/usb_fixture.h"

class LibusbTest : public usbtest::UsbTest {
protected:
  void start_libusb(const emu::CameraConfig &config = rig::fast_camera()) {
    camera_ = std::make_unique<rig::UsbdevfsCamera>(config);
    ASSERT_TRUE(camera_->ok()) << camera_->error();
    std::string error;
    usb_ = usbbus::LibusbDevice::open(usbbus::UsbSelector{false, 0x1209, 0x0001, 0, 0}, nullptr, &error);
    ASSERT_TRUE(usb_) << error;
    left_.store(false);
    usb_->set_unplug_handler([this] { left_.store(true); });
    ASSERT_TRUE(rig_.plug(usb_));
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
  }
  // The model and the node go after the rig (and its bus) has let go of them.
  void TearDown() override {
    UsbTest::TearDown();
    usb_.reset();
    camera_.reset();
  }

  std::unique_ptr<rig::UsbdevfsCamera> camera_;
  std::shared_ptr<usbbus::LibusbDevice> usb_;
  std::atomic<bool> left_{false};
};
