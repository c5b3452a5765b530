// The emulated camera's timing: frame pacing and link speed, measured on the
// camera's own clock (the test host moves it), never on the wall clock.
#include <gtest/gtest.h>

#include "tests/emulator/camera_test_host.h"
#include "tests/support/platform_test.h"

using namespace camtest;

namespace {

constexpr int64_t kPeriod15 = 66'666'667; // one frame at 15 fps, ns

class CameraTimingTest : public PlatformTest {};

// Makes sure that at 15 fps a host that asks at once gets one picture per
// frame period: each size answer waits for the next picture. Catches a
// camera that serves the same tick twice or answers early.
TEST_F(CameraTimingTest, FifteenFramesPerSecondForAnEagerHost) {
  emu::CameraConfig config = quick_config();
  config.fps = 15;
  TestHost host(config);
  host.now = 5'000'000; // just after power-on
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(host.next_picture().ok);
  const auto &pictures = host.camera.pictures();
  ASSERT_EQ(pictures.size(), 30u);
  for (size_t i = 1; i < pictures.size(); ++i) {
    EXPECT_EQ(pictures[i].tick, pictures[i - 1].tick + 1);
    EXPECT_EQ(pictures[i].capture_ns, static_cast<int64_t>(pictures[i].tick) * kPeriod15);
  }
  // 30 pictures from tick 0: the last is taken at 29 periods.
  EXPECT_EQ(pictures.back().tick, 29u);
  EXPECT_GE(host.now, 29 * kPeriod15);
  EXPECT_LT(host.now, 30 * kPeriod15);
  EXPECT_EQ(host.camera.counters().frames_dropped, 0u);
}

// Makes sure a slow host gets the latest picture at once and the pictures it
// missed are counted as dropped. Catches a camera that queues stale pictures.
TEST_F(CameraTimingTest, SlowHostGetsLatestPictureAndDropsAreCounted) {
  emu::CameraConfig config = quick_config();
  config.fps = 15;
  TestHost host(config);
  ASSERT_TRUE(host.next_picture().ok);
  host.now += 5 * kPeriod15 + 1000; // the host looks away for five periods
  const int64_t asked = host.now;
  ASSERT_TRUE(host.next_picture().ok);
  const auto &pictures = host.camera.pictures();
  EXPECT_EQ(pictures[1].tick, pictures[0].tick + 5);
  EXPECT_LE(pictures[1].capture_ns, asked);
  EXPECT_EQ(host.camera.counters().frames_dropped, 4u);
}

// Makes sure a frame rate of 0 gives a picture whenever asked, without
// waiting. Catches a camera that paces anyway.
TEST_F(CameraTimingTest, FrameRateZeroAnswersAtOnce) {
  TestHost host(quick_config());
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(host.next_picture().ok);
  EXPECT_EQ(host.now, 0);
  EXPECT_EQ(host.camera.pictures().back().number, 5u);
}

// Makes sure each packet arrives after its bytes crossed the link at the
// configured rate plus the per-transfer latency. Catches a link model that
// ignores the packet's size or the latency.
TEST_F(CameraTimingTest, LinkSpeedAndLatencyDelayPackets) {
  emu::CameraConfig config = quick_config();
  config.link_bytes_per_second = emu::kFullSpeedBytesPerSecond;
  config.latency_ns = 125'000;
  config.chunk = 6080; // 6,086 bytes on the wire: 5 ms at full speed
  TestHost host(config);
  std::optional<uint32_t> size = host.picture_size();
  ASSERT_TRUE(size);
  ASSERT_GT(*size, 6080u);
  // The command crosses the link, then the first packet does.
  const int64_t t0 = host.now;
  host.send(kPictureCommand);
  int64_t ready = 0;
  ASSERT_EQ(host.camera.in_state(host.now, &ready), emu::InState::Later);
  const int64_t command = 125'000 + 8 * 1'000'000'000ll / 1'216'000;
  const int64_t packet = 125'000 + 6086 * 1'000'000'000ll / 1'216'000;
  EXPECT_EQ(ready - t0, command + packet);
}

// Makes sure a high-speed and an unlimited link are faster than full speed
// for the same picture. Catches the link option not reaching the model.
TEST_F(CameraTimingTest, FasterLinksFetchSooner) {
  int64_t took[3] = {};
  const uint64_t speeds[3] = {emu::kFullSpeedBytesPerSecond, emu::kHighSpeedBytesPerSecond,
                              emu::kUnlimitedLink};
  for (int i = 0; i < 3; ++i) {
    emu::CameraConfig config = quick_config();
    config.pictures = emu::PictureMode::Prerendered;
    config.prerendered = 1;
    config.link_bytes_per_second = speeds[i];
    TestHost host(config);
    ASSERT_TRUE(host.next_picture().ok);
    took[i] = host.now;
  }
  EXPECT_GT(took[0], took[1]);
  EXPECT_GT(took[1], took[2]);
  EXPECT_EQ(took[2], 0);
}

} // namespace

namespace {

// Makes sure the tool's names for links and the configuration checks work,
// and a bad configuration makes no camera. Catches options that reach the
// camera unchecked (a packet size of 0 would send empty packets forever).
TEST_F(CameraTimingTest, LinkNamesAndConfigurationChecks) {
  uint64_t speed = 1;
  EXPECT_TRUE(emu::link_speed_by_name("full", &speed));
  EXPECT_EQ(speed, emu::kFullSpeedBytesPerSecond);
  EXPECT_TRUE(emu::link_speed_by_name("high", &speed));
  EXPECT_EQ(speed, emu::kHighSpeedBytesPerSecond);
  EXPECT_TRUE(emu::link_speed_by_name("unlimited", &speed));
  EXPECT_EQ(speed, emu::kUnlimitedLink);
  EXPECT_FALSE(emu::link_speed_by_name("super", &speed));

  emu::CameraConfig config;
  EXPECT_EQ(emu::camera_config_check(config), "");
  config.chunk = 0;
  EXPECT_NE(emu::camera_config_check(config), "");
  config.chunk = 65531;
  EXPECT_NE(emu::camera_config_check(config), "");
  config.chunk = 65530;
  config.fps = -1;
  EXPECT_NE(emu::camera_config_check(config), "");
  config.fps = 0;
  config.pictures = emu::PictureMode::Files;
  EXPECT_NE(emu::camera_config_check(config), "");
}

} // namespace
