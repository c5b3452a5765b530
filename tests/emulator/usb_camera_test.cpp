// The emulated camera as a USB device on the rig's bus, with the driver started
// over it and the camera's clock in the test's hand: when an IN transfer
// completes, and how a silence ends. (Its faults on the bus, seen through the
// driver's picture commands, are in tests/protocol/camera_pictures_test.cpp.)
#include "tests/emulator/camera_host.h"
#include "tests/usb/usb_fixture.h"

namespace camtest {
namespace {

class UsbCameraTest : public usbtest::UsbTest {
protected:
  // Plugs a camera made from `config` on the manual clock and starts the driver.
  void start(const emu::CameraConfig &config) {
    std::string error;
    ASSERT_TRUE(rig_.plug_camera(config, &error, clock_)) << error;
    ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
  }
  // Sends `bytes` on the bulk OUT pipe; true when the camera took them.
  bool write(const Bytes &bytes) {
    usbtest::TransferResult result;
    Bytes copy = bytes;
    (void)transfer(result, copy.data(), static_cast<ULONG>(copy.size()), 0);
    return result.wait() && result.status == STATUS_SUCCESS;
  }

  std::shared_ptr<emu::ManualCameraClock> clock_ = std::make_shared<emu::ManualCameraClock>();
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(65536);
};

// Makes sure an IN transfer whose packet is still crossing the link pends and
// completes from the camera's thread once the clock gets there, and one whose
// packet has arrived completes inside the call. Catches a camera that answers
// early (ignoring the link) or never (no thread).
TEST_F(UsbCameraTest, ReadCompletesWhenItsPacketHasArrived) {
  emu::CameraConfig config = quick_config();
  config.link_bytes_per_second = emu::kFullSpeedBytesPerSecond;
  ASSERT_NO_FATAL_FAILURE(start(config));
  ASSERT_TRUE(write(kSizeCommand));
  usbtest::TransferResult size;
  EXPECT_EQ(transfer(size, buffer_.data(), 65536), STATUS_PENDING);
  EXPECT_EQ(rig_.camera().snapshot().waiting_in, 1u);
  clock_->advance(1'000'000); // 1 ms: 10 bytes need about 15 us
  ASSERT_TRUE(size.wait());
  EXPECT_EQ(size.status, STATUS_SUCCESS);
  EXPECT_EQ(size.bytes, 10u);
  EXPECT_NE(size.thread, std::this_thread::get_id());
  ASSERT_TRUE(write(kAck));
  ASSERT_TRUE(write(kZoomGetCommand));
  clock_->advance(1'000'000);
  usbtest::TransferResult zoom;
  EXPECT_EQ(transfer(zoom, buffer_.data(), 65536), STATUS_SUCCESS);
  EXPECT_EQ(zoom.bytes, 18u);
}

// Makes sure a read with nothing coming from a silent camera waits, a pipe reset
// ends it and the silence, and the next command is answered. Catches a camera that
// cannot leave a silence or keeps a transfer the bus ended.
TEST_F(UsbCameraTest, PipeResetEndsASilence) {
  emu::CameraConfig config = quick_config();
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "stop-answering@1"), "");
  ASSERT_NO_FATAL_FAILURE(start(config));
  ASSERT_TRUE(write(kSizeCommand));
  usbtest::TransferResult silent, answered;
  EXPECT_EQ(transfer(silent, buffer_.data(), 65536), STATUS_PENDING);
  EXPECT_TRUE(rig_.camera().snapshot().silent);
  EXPECT_EQ(QRNUSB_ResetPipe(pdo(), in_pipe()), STATUS_SUCCESS);
  ASSERT_TRUE(silent.wait());
  EXPECT_EQ(silent.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(rig_.camera().snapshot().waiting_in, 0u);
  EXPECT_FALSE(rig_.camera().snapshot().silent);
  ASSERT_TRUE(write(kSizeCommand));
  EXPECT_EQ(transfer(answered, buffer_.data(), 65536), STATUS_SUCCESS);
  EXPECT_EQ(answered.bytes, 10u);
}

} // namespace
} // namespace camtest
