// The race-test fixture.
#include "tests/races/race_fixture.h"

void RaceTest::SetUp() {
  HostTest::SetUp();
  log_ = std::make_unique<DebugLog>();
  baseline_ = races::platform_baseline();
}

void RaceTest::release_host_objects() {
  if (pin_)
    pin_->close();
  pin_.reset();
  rig_.reset();
}

void RaceTest::TearDown() {
  release_host_objects();
  log_.reset();
  EXPECT_EQ(races::broken_promises(baseline_, quiesce_timeout_), "");
  HostTest::TearDown();
}

emu::CameraConfig RaceTest::fast_camera() {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 3;
  config.focus_ns = 5'000'000;
  return config;
}

void RaceTest::start(std::shared_ptr<usbbus::UsbDeviceModel> device) {
  rig_ = std::make_unique<races::SystemRig>();
  ASSERT_EQ(rig_->start(std::move(device)), STATUS_SUCCESS);
}

std::shared_ptr<races::SteppedDevice> RaceTest::stepped_camera(const emu::CameraConfig &config) {
  std::string error;
  std::shared_ptr<emu::UsbCamera> camera = emu::UsbCamera::create(config, &error);
  EXPECT_TRUE(camera) << error;
  if (!camera)
    return nullptr;
  return std::make_shared<races::SteppedDevice>(std::move(camera));
}

void RaceTest::open_running() {
  ASSERT_EQ(rig_->open_pin(320, 240, pin_), STATUS_SUCCESS);
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
}

void RaceTest::end_round() {
  pin_.reset();
  rig_.reset();
  std::string broken = races::broken_promises(baseline_, quiesce_timeout_);
  ASSERT_EQ(broken, "");
}
