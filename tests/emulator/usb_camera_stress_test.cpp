// The emulated camera under concurrent use through the rig's bus, as the bus and the driver may call it.
#include <cstdio>

#include "tests/emulator/camera_host.h"
#include "tests/usb/usb_fixture.h"

namespace camtest {
namespace {

using namespace std::chrono_literals;

class UsbCameraStressTest : public usbtest::UsbTest {};

// Makes sure reads, commands, ACKs, pipe resets and clock moves from three threads leave the camera
// consistent: each transfer ends once, every packet handed out is received. Catches races on the camera's
// state.
TEST_F(UsbCameraStressTest, ConcurrentTransfersResetsAndClock) {
  auto clock = std::make_shared<emu::ManualCameraClock>();
  emu::CameraConfig config = quick_config();
  config.fps = 15;
  config.link_bytes_per_second = emu::kFullSpeedBytesPerSecond;
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 2;
  config.chunk = 512;
  config.faults.seed = 3;
  for (const char *fault : {"lost-packet=2%", "nak=2%"})
    ASSERT_EQ(emu::fault_plan_apply(&config.faults, fault), "");
  std::string error;
  ASSERT_TRUE(rig_.plug_camera(config, &error, clock)) << error;
  ASSERT_EQ(rig_.start(), STATUS_SUCCESS);

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> packets{0};
  auto send = [&](const Bytes &bytes) {
    usbtest::TransferResult result;
    Bytes copy = bytes;
    (void)transfer(result, copy.data(), static_cast<ULONG>(copy.size()), 0);
    EXPECT_TRUE(result.wait());
  };
  std::thread reader([&] {
    std::vector<uint8_t> buffer(65536);
    while (!stop) {
      usbtest::TransferResult in;
      (void)transfer(in, buffer.data(), 65536);
      if (!rig::wait_until([&] { return in.calls.load() != 0; }, 20ms)) // gives up on it
        (void)QRNUSB_ResetPipe(pdo(), in_pipe());
      ASSERT_TRUE(in.wait());
      EXPECT_EQ(in.calls.load(), 1);
      if (in.status != STATUS_SUCCESS)
        continue;
      ++packets;
      if (buffer[0] == 0x02 || buffer[0] == 0x03)
        send(kAck);
    }
  });
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      send(i % 3 == 0 ? kSizeCommand : i % 3 == 1 ? kPictureCommand : kZoomGetCommand);
      if (i % 50 == 49)
        (void)QRNUSB_ResetPipe(pdo(), out_pipe());
      std::this_thread::sleep_for(300us);
    }
  });
  std::thread ticker([&] {
    while (!stop) {
      clock->advance(2'000'000);
      (void)rig_.camera().snapshot();
      std::this_thread::sleep_for(200us);
    }
  });
  std::this_thread::sleep_for(1500ms);
  stop = true;
  reader.join();
  writer.join();
  ticker.join();
  const emu::CameraSnapshot snapshot = rig_.camera().snapshot();
  EXPECT_GT(packets.load(), 50u);
  EXPECT_EQ(snapshot.counters.in_transfers, packets.load());
  std::printf("camera stress: %llu packets\n", static_cast<unsigned long long>(packets.load()));
}

} // namespace
} // namespace camtest
