// The libusb device model's threads under a surprise removal: the camera
// unplugged (umockdev) while frames stream through real libusb.
#include <chrono>
#include <thread>

#include "tests/libusb/libusb_fixture.h"

namespace {

// Waits at most `limit` for `done`.
template <typename Condition> bool wait_for(Condition done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return done();
}

// Makes sure a camera unplugged while frames stream, at a different point each
// round, is noticed within 2 s, reaches the driver as a surprise removal and
// leaves every transfer completed once and nothing behind (a hang, a transfer
// lost or completed twice, a leak or a race fails it).
TEST_F(LibusbTest, UnplugWhileStreaming) {
  for (size_t round = 0; round < 4; ++round) {
    ASSERT_NO_FATAL_FAILURE(start_libusb());
    ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
    ASSERT_EQ(rig_.stream(), STATUS_SUCCESS);
    ASSERT_TRUE(wait_for([&] { return rig_.frames().frames() > round; }, std::chrono::seconds(10)));
    camera_->unplug();
    EXPECT_TRUE(wait_for([&] { return left_.load(); }, std::chrono::seconds(2))) << "round " << round;
    rig_.unplug();
    EXPECT_EQ(rig_.remove(streamclass::RemovalKind::Surprise), STATUS_SUCCESS);
    end_round("round " + std::to_string(round));
    usb_.reset();
    EXPECT_EQ(camera_->urbs_in_flight(), 0u) << "round " << round;
    camera_.reset();
  }
}

} // namespace
