// The libusb device model through real libusb and the kernel's USB file
// interface (umockdev), with the emulated camera behind the node.
#include <cerrno>

#include "platform/usbbus/usb_status.h"
#include "tests/libusb/libusb_fixture.h"
#include "tools/dscam/usb_descriptors.h"

namespace {

using usbbus::TransferOutcome;

// Runs one 64-byte bulk read; false when it did not complete within 5 s.
bool read_once(usbtest::OwnTransfer &transfer) {
  transfer.submit();
  return usbtest::wait_event(transfer.done);
}

// Makes sure every way a URB can end in the kernel reaches the driver with the
// USBD and NT statuses and the byte count that a device model's same outcome
// gets in process, that a cancel discards the URB and that a control request
// the device never answers times out (a status mapped to another, data counted
// that was not copied, a lost completion or a hang fails it).
TEST_F(LibusbTest, EveryWayAUrbEndsMapsAsInProcess) {
  start_libusb();
  const struct {
    const char *name;
    int urb_status;
    uint32_t bytes;
    TransferOutcome outcome; // of an emulated device, in process
    uint32_t moved;
  } kRows[] = {
      {"short read", 0, 5, TransferOutcome::Success, 5},
      {"babble", -EOVERFLOW, 64, TransferOutcome::DataOverrun, 64},
      {"bus error", -EPROTO, 0, TransferOutcome::NoResponse, 0},
      {"device gone", -ESHUTDOWN, 0, TransferOutcome::DeviceGone, 0},
      {"stall", -EPIPE, 0, TransferOutcome::Stall, 0},
  };
  for (const auto &row : kRows) {
    camera_->fail_next_urb(emu::kCameraBulkIn, row.urb_status, row.bytes);
    usbtest::OwnTransfer transfer(pdo(), in_pipe());
    ASSERT_TRUE(read_once(transfer)) << row.name;
    const USBD_STATUS usbd = usbbus::usbd_status_from_outcome(row.outcome);
    EXPECT_EQ(transfer.urb->UrbHeader.Status, usbd) << row.name;
    EXPECT_EQ(transfer.irp->IoStatus.Status, usbbus::nt_status_from_usbd(usbd)) << row.name;
    EXPECT_EQ(transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength, row.moved) << row.name;
    EXPECT_EQ(transfer.buffer[row.moved > 0 ? row.moved - 1 : 0], row.moved > 0 ? 0xA5 : 0) << row.name;
  }
  // The stall halted the pipe; a clear halt and a port reset through libusb
  // bring the camera back.
  EXPECT_EQ(QRNUSB_ResetPipe(pdo(), in_pipe()), STATUS_SUCCESS);
  EXPECT_EQ(QRNUSB_ResetPort(pdo()), STATUS_SUCCESS);
  camera_->fail_next_urb(emu::kCameraBulkIn, 0, 0, true);
  usbtest::OwnTransfer held(pdo(), in_pipe());
  ASSERT_EQ(held.submit(), STATUS_PENDING);
  IoCancelIrp(held.irp);
  ASSERT_TRUE(usbtest::wait_event(held.done));
  EXPECT_EQ(held.urb->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(held.irp->IoStatus.Status, STATUS_CANCELLED);
  camera_->fail_next_urb(0, 0, 0, true);
  const dscam::DescriptorReply reply = dscam::get_usb_descriptor(pdo(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
  EXPECT_EQ(reply.usbd_status, USBD_STATUS_TIMEOUT);
  EXPECT_EQ(reply.status, STATUS_IO_TIMEOUT);
  EXPECT_TRUE(rig_.bus().wait_idle(std::chrono::seconds(5)));
  EXPECT_EQ(camera_->urbs_discarded(), 2u); // the cancelled read and the timed-out request
}

} // namespace
