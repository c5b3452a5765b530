// The emulated camera under concurrent use: reads pending on one thread,
// writes, resets and clock moves on others, as the bus may call it.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "emulator/camera/usb_camera.h"
#include "tests/emulator/camera_test_host.h"
#include "tests/emulator/fake_transfer.h"
#include "tests/support/platform_test.h"

using namespace camtest;

namespace {

class UsbCameraStressTest : public PlatformTest {};

// Makes sure the camera stays consistent when transfers, cancels, resets and
// the clock come from several threads at once, and every transfer ends once
// (by the camera or by the test's "bus"). Catches races on the camera's state
// and completions from a destroyed camera.
TEST_F(UsbCameraStressTest, ConcurrentTransfersResetsAndClock) {
  auto clock = std::make_shared<emu::ManualCameraClock>();
  emu::CameraConfig config = quick_config();
  config.fps = 15;
  config.link_bytes_per_second = emu::kFullSpeedBytesPerSecond;
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 2;
  config.chunk = 512;
  config.faults.seed = 3;
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "lost-packet=2%"), "");
  ASSERT_EQ(emu::fault_plan_apply(&config.faults, "nak=2%"), "");
  std::string error;
  auto camera = emu::UsbCamera::create(config, &error, clock);
  ASSERT_TRUE(camera) << error;

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> packets{0};
  std::thread reader([&] {
    while (!stop) {
      auto in = FakeTransfer::in(emu::kCameraBulkIn);
      camera->submit(in);
      if (!in->wait(std::chrono::milliseconds(20))) {
        // The bus gives up on it (as a reset or a cancel would).
        if (in->end_by_bus(usbbus::TransferOutcome::Cancelled))
          camera->cancel(in);
        continue;
      }
      if (in->outcome() == usbbus::TransferOutcome::Success) {
        ++packets;
        const auto data = in->data();
        if (!data.empty() && (data[0] == 0x02 || data[0] == 0x03))
          camera->submit(FakeTransfer::out(emu::kCameraBulkOut, kAck));
      }
    }
  });
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      const Bytes &command = (i % 3 == 0) ? kSizeCommand : (i % 3 == 1) ? kPictureCommand : kZoomGetCommand;
      camera->submit(FakeTransfer::out(emu::kCameraBulkOut, command));
      if (i % 50 == 49)
        camera->reset_pipe(emu::kCameraBulkOut);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::thread ticker([&] {
    while (!stop) {
      clock->advance(2'000'000);
      (void)camera->snapshot();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  stop = true;
  reader.join();
  writer.join();
  ticker.join();
  const emu::CameraSnapshot snap = camera->snapshot();
  EXPECT_GT(packets.load(), 50u);
  EXPECT_EQ(snap.counters.in_transfers,
            packets.load() + snap.faults_injected[static_cast<size_t>(emu::Fault::ReadError)]);
  camera.reset();
}

} // namespace
