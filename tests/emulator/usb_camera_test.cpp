// The emulated camera as a USB device model: its identity, the readiness
// contract (an IN transfer completes inside submit only when its packet has
// arrived, else later from the camera's thread), resets, removal and the
// bus-level faults.
#include <atomic>

#include <gtest/gtest.h>

#include "emulator/camera/usb_camera.h"
#include "tests/emulator/camera_test_host.h"
#include "tests/emulator/fake_transfer.h"
#include "tests/support/platform_test.h"

using namespace camtest;
using usbbus::TransferOutcome;

namespace {

class UsbCameraTest : public PlatformTest {
protected:
  std::unique_ptr<emu::UsbCamera> make(emu::CameraConfig config) {
    std::string error;
    auto camera = emu::UsbCamera::create(config, &error, clock);
    EXPECT_TRUE(camera) << error;
    return camera;
  }
  std::shared_ptr<FakeTransfer> write(emu::UsbCamera &camera, const Bytes &bytes) {
    auto t = FakeTransfer::out(emu::kCameraBulkOut, bytes);
    camera.submit(t);
    return t;
  }
  std::shared_ptr<FakeTransfer> read(emu::UsbCamera &camera) {
    auto t = FakeTransfer::in(emu::kCameraBulkIn);
    camera.submit(t);
    return t;
  }

  std::shared_ptr<emu::ManualCameraClock> clock = std::make_shared<emu::ManualCameraClock>();
};

// Makes sure the camera reports its USB identity. Catches a device model not
// wired to the identity tables.
TEST_F(UsbCameraTest, DescriptorsAreTheCamerasIdentity) {
  auto camera = make(quick_config());
  const auto device = camera->descriptor(1, 0, 0);
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(device[1], 1);
  const auto config = camera->descriptor(2, 0, 0);
  ASSERT_GE(config.size(), 9u);
  EXPECT_EQ(config.size(), static_cast<size_t>(config[2] | (config[3] << 8)));
  EXPECT_TRUE(camera->descriptor(3, 1, 0x409).empty());
}

// Makes sure an IN transfer whose packet has arrived completes inside submit
// and one whose packet is still on the link completes later from the
// camera's thread once the clock gets there. Catches a model that answers
// early (ignoring the link) or never (no thread).
TEST_F(UsbCameraTest, ReadyNowOrLaterFromTheCamerasThread) {
  emu::CameraConfig config = quick_config();
  config.link_bytes_per_second = emu::kFullSpeedBytesPerSecond;
  auto camera = make(config);
  auto out = write(*camera, kSizeCommand);
  ASSERT_EQ(out->outcome(), TransferOutcome::Success);
  EXPECT_EQ(out->accepted(), 8u);
  auto in = read(*camera);
  EXPECT_TRUE(in->is_active()) << "the size answer is still crossing the link";
  EXPECT_EQ(camera->snapshot().waiting_in, 1u);
  clock->advance(1'000'000); // 1 ms: 10 bytes need about 15 us
  ASSERT_TRUE(in->wait());
  EXPECT_EQ(in->outcome(), TransferOutcome::Success);
  EXPECT_NE(in->ended_on(), std::this_thread::get_id());
  EXPECT_EQ(in->data().size(), 10u);

  // With an unlimited link the ACK's reply is there at once.
  emu::CameraConfig fast = quick_config();
  auto camera2 = make(fast);
  write(*camera2, kZoomGetCommand);
  auto now = read(*camera2);
  EXPECT_EQ(now->outcome(), TransferOutcome::Success);
  EXPECT_EQ(now->ended_on(), std::this_thread::get_id());
  EXPECT_EQ(now->data().size(), 18u);
}

// Makes sure a read with nothing coming waits, a cancel takes it away, and a
// pipe reset ends a silence so that the next command is answered. Catches a
// model that keeps a cancelled transfer or cannot leave a silence.
TEST_F(UsbCameraTest, SilenceEndsWithAPipeReset) {
  emu::CameraConfig config = quick_config();
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "stop-answering@1"), "");
  auto camera = make(config);
  write(*camera, kSizeCommand);
  auto in = read(*camera);
  EXPECT_TRUE(in->is_active());
  EXPECT_TRUE(camera->snapshot().silent);
  in->end_by_bus(TransferOutcome::Cancelled);
  camera->cancel(in);
  EXPECT_EQ(camera->snapshot().waiting_in, 0u);
  camera->reset_pipe(emu::kCameraBulkIn);
  EXPECT_FALSE(camera->snapshot().silent);
  write(*camera, kSizeCommand);
  EXPECT_EQ(read(*camera)->outcome(), TransferOutcome::Success);
}

// Makes sure a disconnect fails the transfers in flight, calls the unplug
// handler once from the camera's thread, and fails every later transfer.
// Catches a fault that leaves the host waiting for a device that is gone.
TEST_F(UsbCameraTest, DisconnectFailsTransfersAndCallsTheUnplugHandler) {
  emu::CameraConfig config = quick_config();
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "disconnect@2"), "");
  auto camera = make(config);
  std::atomic<int> unplugs{0};
  std::atomic<bool> on_camera_thread{false};
  const auto test_thread = std::this_thread::get_id();
  camera->set_unplug_handler([&] {
    on_camera_thread = std::this_thread::get_id() != test_thread;
    ++unplugs;
  });
  write(*camera, kFocusCommand);
  EXPECT_EQ(read(*camera)->outcome(), TransferOutcome::Success); // ACK
  auto enq = read(*camera);                                      // waits for the ENQ
  EXPECT_TRUE(enq->is_active());
  auto out = write(*camera, kSizeCommand); // picture 1's size command: no fault yet
  EXPECT_EQ(out->outcome(), TransferOutcome::Success);
  // The new command abandoned the focus reply: the waiting read gets the size answer.
  ASSERT_TRUE(enq->wait());
  write(*camera, kAck);
  auto pending = read(*camera);
  EXPECT_TRUE(pending->is_active());
  auto gone = write(*camera, kSizeCommand); // picture 2: unplugged
  EXPECT_EQ(gone->outcome(), TransferOutcome::NoResponse);
  EXPECT_EQ(pending->outcome(), TransferOutcome::NoResponse);
  for (int i = 0; i < 500 && unplugs == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(unplugs, 1);
  EXPECT_TRUE(on_camera_thread);
  EXPECT_EQ(read(*camera)->outcome(), TransferOutcome::NoResponse);
  camera->removed();
  EXPECT_EQ(read(*camera)->outcome(), TransferOutcome::NoResponse);
}

// Makes sure write and read errors end their transfers with a bus error.
// Catches faults that never reach the bus.
TEST_F(UsbCameraTest, WriteAndReadErrorsEndTransfers) {
  emu::CameraConfig config = quick_config();
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "write-error@1"), "");
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "read-error@2"), "");
  auto camera = make(config);
  EXPECT_EQ(write(*camera, kSizeCommand)->outcome(), TransferOutcome::NoResponse);
  write(*camera, kSizeCommand);
  auto size = read(*camera);
  EXPECT_EQ(size->outcome(), TransferOutcome::Success);
  write(*camera, kAck);
  write(*camera, kSizeCommand); // picture 2's answer is lost on the bus
  EXPECT_EQ(read(*camera)->outcome(), TransferOutcome::NoResponse);
  EXPECT_EQ(camera->snapshot().faults_injected[static_cast<size_t>(emu::Fault::ReadError)], 1u);
}

} // namespace
