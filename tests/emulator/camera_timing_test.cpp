// The emulated camera's timing on its own clock (the test host moves it), never on the wall clock. (Options
// the camera cannot run: the tool's command-line tests.)
#include "tests/emulator/camera_host.h"
#include "tests/support/rig_test.h"

namespace camtest {
namespace {

constexpr int64_t kPeriod15 = 66'666'667; // one frame at 15 fps, ns

class CameraTimingTest : public RigTest {};

// Makes sure at 15 fps an eager host gets one picture per period, the size answer waiting for it, and a host
// that looks away five periods gets the latest at once, four counted as dropped. Catches a tick served twice,
// an early answer, stale pictures queued.
TEST_F(CameraTimingTest, FifteenFramesPerSecondAndDropsForASlowHost) {
  emu::CameraConfig config = quick_config();
  config.fps = 15;
  TestHost host(config);
  host.now = 5'000'000; // just after power-on
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(host.next_picture().ok);
  const auto &pictures = host.camera.pictures();
  for (size_t i = 0; i < pictures.size(); ++i)
    EXPECT_TRUE(pictures[i].tick == i && pictures[i].capture_ns == int64_t(i) * kPeriod15) << i;
  EXPECT_TRUE(host.now >= 29 * kPeriod15 && host.now < 30 * kPeriod15) << host.now;
  EXPECT_EQ(host.camera.counters().frames_dropped, 0u);
  const int64_t asked = (host.now += 5 * kPeriod15 + 1000);
  ASSERT_TRUE(host.next_picture().ok);
  EXPECT_TRUE(pictures.back().tick == 29 + 5 && pictures.back().capture_ns <= asked);
  EXPECT_EQ(host.camera.counters().frames_dropped, 4u);
}

// Makes sure a packet arrives once its bytes crossed the link at its rate plus the latency, faster links
// fetch sooner and an unlimited one at once. Catches a link model ignoring the packet's size, the latency or
// the link.
TEST_F(CameraTimingTest, LinkSpeedAndLatencyDelayPackets) {
  emu::CameraConfig config = quick_config();
  config.link_bytes_per_second = emu::kFullSpeedBytesPerSecond;
  config.latency_ns = 125'000;
  config.chunk = 6080; // 6,086 bytes on the wire: 5 ms at full speed
  TestHost fetch(config);
  ASSERT_TRUE(fetch.sent(kSizeCommand) && fetch.read() && fetch.sent(kAck));
  const int64_t t0 = fetch.now;
  int64_t ready = 0;
  ASSERT_TRUE(fetch.sent(kPictureCommand) && fetch.camera.in_state(fetch.now, &ready) == emu::InState::Later);
  EXPECT_EQ(ready - t0,
            125'000 + 8 * 1'000'000'000ll / 1'216'000 + 125'000 + 6086 * 1'000'000'000ll / 1'216'000);
  int64_t took[3] = {};
  const uint64_t speeds[3] = {emu::kFullSpeedBytesPerSecond, emu::kHighSpeedBytesPerSecond,
                              emu::kUnlimitedLink};
  for (int i = 0; i < 3; ++i) {
    config = quick_config();
    config.pictures = emu::PictureMode::Prerendered;
    config.prerendered = 1;
    config.link_bytes_per_second = speeds[i];
    TestHost timed(config);
    for (int n = 0; n < 3; ++n)
      ASSERT_TRUE(timed.next_picture().ok);
    took[i] = timed.now;
  }
  EXPECT_TRUE(took[0] > took[1] && took[1] > took[2] && took[2] == 0);
}

} // namespace
} // namespace camtest
