// The emulated camera's timing: frame pacing and link speed, measured on the
// camera's own clock (the test host moves it), never on the wall clock.
#include "tests/emulator/camera_host.h"
#include "tests/support/rig_test.h"

namespace camtest {
namespace {

constexpr int64_t kPeriod15 = 66'666'667; // one frame at 15 fps, ns

class CameraTimingTest : public RigTest {
protected:
  static emu::CameraConfig at_15_fps() {
    emu::CameraConfig config = quick_config();
    config.fps = 15;
    return config;
  }
};

// Makes sure that at 15 fps a host that asks at once gets one picture per frame
// period, each size answer waiting for the next picture, and a host that looks
// away for five periods gets the latest picture at once, the four it missed
// counted as dropped. Catches a camera that serves a tick twice, answers early, or
// queues stale pictures.
TEST_F(CameraTimingTest, FifteenFramesPerSecondAndDropsForASlowHost) {
  TestHost host(at_15_fps());
  host.now = 5'000'000; // just after power-on
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(host.next_picture().ok);
  const auto &pictures = host.camera.pictures();
  for (size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_EQ(pictures[i].tick, i);
    EXPECT_EQ(pictures[i].capture_ns, static_cast<int64_t>(i) * kPeriod15);
  }
  EXPECT_GE(host.now, 29 * kPeriod15);
  EXPECT_LT(host.now, 30 * kPeriod15);
  EXPECT_EQ(host.camera.counters().frames_dropped, 0u);

  host.now += 5 * kPeriod15 + 1000;
  const int64_t asked = host.now;
  ASSERT_TRUE(host.next_picture().ok);
  EXPECT_EQ(pictures.back().tick, 29u + 5);
  EXPECT_LE(pictures.back().capture_ns, asked);
  EXPECT_EQ(host.camera.counters().frames_dropped, 4u);
}

// Makes sure each packet arrives after its bytes crossed the link at the
// configured rate plus the per-transfer latency, that faster links fetch sooner,
// and that an unlimited link at 0 fps answers without any wait. Catches a link
// model that ignores the packet's size, the latency or the link option.
TEST_F(CameraTimingTest, LinkSpeedAndLatencyDelayPackets) {
  emu::CameraConfig config = quick_config();
  config.link_bytes_per_second = emu::kFullSpeedBytesPerSecond;
  config.latency_ns = 125'000;
  config.chunk = 6080; // 6,086 bytes on the wire: 5 ms at full speed
  TestHost fetch(config);
  fetch.send(kSizeCommand);
  ASSERT_TRUE(fetch.read());
  fetch.send(kAck);
  const int64_t t0 = fetch.now;
  fetch.send(kPictureCommand);
  int64_t ready = 0;
  ASSERT_EQ(fetch.camera.in_state(fetch.now, &ready), emu::InState::Later);
  const int64_t command = 125'000 + 8 * 1'000'000'000ll / 1'216'000;
  const int64_t packet = 125'000 + 6086 * 1'000'000'000ll / 1'216'000;
  EXPECT_EQ(ready - t0, command + packet);

  int64_t took[3] = {};
  const uint64_t speeds[3] = {emu::kFullSpeedBytesPerSecond, emu::kHighSpeedBytesPerSecond,
                              emu::kUnlimitedLink};
  for (int i = 0; i < 3; ++i) {
    emu::CameraConfig link = quick_config();
    link.pictures = emu::PictureMode::Prerendered;
    link.prerendered = 1;
    link.link_bytes_per_second = speeds[i];
    TestHost timed(link);
    for (int n = 0; n < 3; ++n)
      ASSERT_TRUE(timed.next_picture().ok);
    took[i] = timed.now;
  }
  EXPECT_GT(took[0], took[1]);
  EXPECT_GT(took[1], took[2]);
  EXPECT_EQ(took[2], 0);
}

// Makes sure a configuration the camera cannot run is refused. Catches options
// that reach the camera unchecked (a packet size of 0 would send empty packets for
// ever). (The link names are the tool's: tests/tool.)
TEST_F(CameraTimingTest, UnusableConfigurationsAreRefused) {
  EXPECT_EQ(emu::camera_config_check(emu::CameraConfig{}), "");
  for (auto change :
       {+[](emu::CameraConfig &c) { c.chunk = 0; }, +[](emu::CameraConfig &c) { c.chunk = 65531; },
        +[](emu::CameraConfig &c) { c.fps = -1; },
        +[](emu::CameraConfig &c) { c.pictures = emu::PictureMode::Files; }}) {
    emu::CameraConfig config;
    change(config);
    EXPECT_NE(emu::camera_config_check(config), "");
  }
}

} // namespace
} // namespace camtest
