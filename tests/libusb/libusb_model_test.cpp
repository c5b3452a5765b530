// The libusb device model through real libusb and the kernel's USB file
// interface (umockdev), with the emulated camera behind the node, on the rig.
#include <cerrno>

#include "platform/usbbus/libusb_device.h"
#include "platform/usbbus/usb_status.h"
#include "tests/support/usbdevfs_camera.h"
#include "tests/usb/usb_fixture.h"
#include "tools/dscam/usb_descriptors.h"

namespace {

using usbbus::TransferOutcome;

class LibusbTest : public usbtest::UsbTest {
protected:
  // The camera behind a new node (one testbed at a time: a testbed's end
  // unsets the preload's directory), the model opened on it, plugged, started.
  void start_libusb() {
    camera_.reset();
    camera_ = std::make_unique<rig::UsbdevfsCamera>(rig::fast_camera());
    ASSERT_TRUE(camera_->ok()) << camera_->error();
    std::string error;
    usb_ = usbbus::LibusbDevice::open(usbbus::UsbSelector{false, 0x1209, 0x0001, 0, 0}, nullptr, &error);
    ASSERT_TRUE(usb_) << error;
    left_.store(false);
    usb_->set_unplug_handler([this] { left_.store(true); });
    ASSERT_TRUE(rig_.plug(usb_));
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
  }
  void TearDown() override {
    UsbTest::TearDown(); // the rig's bus lets go of the model first
    usb_.reset();
    camera_.reset();
  }

  std::unique_ptr<rig::UsbdevfsCamera> camera_;
  std::shared_ptr<usbbus::LibusbDevice> usb_;
  std::atomic<bool> left_{false};
};

// Makes sure every way a URB can end in the kernel reaches the driver with the
// USBD and NT statuses and the byte count that an emulated device's same
// outcome gets in process, that a cancel discards the URB, that a control
// request the device never answers times out and that clear halt and port
// reset go through (a status mapped to another, bytes counted that were not
// copied, a lost completion or a hang fails it).
TEST_F(LibusbTest, EveryWayAUrbEndsMapsAsInProcess) {
  ASSERT_NO_FATAL_FAILURE(start_libusb());
  const struct {
    int urb_status;
    uint32_t bytes;
    TransferOutcome outcome; // of an emulated device, in process
  } kRows[] = {{0, 5, TransferOutcome::Success},
               {-EOVERFLOW, 64, TransferOutcome::DataOverrun},
               {-EPROTO, 0, TransferOutcome::NoResponse},
               {-ESHUTDOWN, 0, TransferOutcome::DeviceGone},
               {-EPIPE, 0, TransferOutcome::Stall}};
  for (const auto &row : kRows) {
    camera_->fail_next_urb(emu::kCameraBulkIn, row.urb_status, row.bytes);
    usbtest::OwnTransfer read(pdo(), in_pipe());
    read.submit();
    ASSERT_TRUE(rig::wait_object(&read.done, std::chrono::seconds(5)) == STATUS_SUCCESS) << row.urb_status;
    const USBD_STATUS usbd = usbbus::usbd_status_from_outcome(row.outcome);
    EXPECT_EQ(read.urb->UrbHeader.Status, usbd) << row.urb_status;
    EXPECT_EQ(read.irp->IoStatus.Status, usbbus::nt_status_from_usbd(usbd)) << row.urb_status;
    EXPECT_EQ(read.urb->UrbBulkOrInterruptTransfer.TransferBufferLength, row.bytes) << row.urb_status;
    EXPECT_EQ(read.buffer[row.bytes > 0 ? row.bytes - 1 : 0], row.bytes > 0 ? 0xA5 : 0) << row.urb_status;
  }
  EXPECT_EQ(QRNUSB_ResetPipe(pdo(), in_pipe()), STATUS_SUCCESS); // the stall halted it
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_SUCCESS);
  camera_->fail_next_urb(emu::kCameraBulkIn, 0, 0, true);
  usbtest::OwnTransfer held(pdo(), in_pipe());
  ASSERT_EQ(held.submit(), STATUS_PENDING);
  IoCancelIrp(held.irp);
  ASSERT_TRUE(rig::wait_object(&held.done, std::chrono::seconds(5)) == STATUS_SUCCESS);
  EXPECT_EQ(held.urb->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(held.irp->IoStatus.Status, STATUS_CANCELLED);
  camera_->fail_next_urb(0, 0, 0, true);
  const dscam::DescriptorReply reply = dscam::get_usb_descriptor(pdo(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
  EXPECT_EQ(reply.usbd_status, USBD_STATUS_TIMEOUT);
  EXPECT_EQ(reply.status, STATUS_IO_TIMEOUT);
  // The cancelled and the timed-out URB were discarded and reaped.
  EXPECT_TRUE(rig::wait_until([&] { return camera_->urbs_in_flight() == 0; }, std::chrono::seconds(1)));
}

// Makes sure a camera unplugged while frames stream, after a different number
// of frames each round, is noticed within 2 s, reaches the driver as a
// surprise removal and leaves every transfer completed once, every URB reaped
// and nothing behind (a hang, a lost or doubled completion, a leak or a race
// fails it).
TEST_F(LibusbTest, UnplugWhileStreaming) {
  for (size_t round = 0; round < 4; ++round) {
    ASSERT_NO_FATAL_FAILURE(start_libusb());
    ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
    ASSERT_EQ(rig_.stream(), STATUS_SUCCESS);
    ASSERT_TRUE(rig_.frames().wait_frames(round + 1, std::chrono::seconds(10)));
    camera_->unplug();
    EXPECT_TRUE(rig::wait_until([&] { return left_.load(); }, std::chrono::seconds(2))) << "round " << round;
    rig_.unplug();
    EXPECT_EQ(rig_.remove(streamclass::RemovalKind::Surprise), STATUS_SUCCESS);
    end_round("round " + std::to_string(round));
    usb_.reset();
    EXPECT_EQ(camera_->urbs_in_flight(), 0u) << "round " << round;
  }
}

} // namespace
