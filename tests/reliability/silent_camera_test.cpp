// Camera commands against a camera that never answers them: the adapter
// request that carries the command must still come back, and a removal must
// still get through, within the time a user would wait.
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/reliability/camera_plug.h"
#include "tests/reliability/camera_steps.h"
#include "tests/reliability/reliability_test.h"

using namespace std::chrono_literals;

namespace {

class SilentCameraTest : public ReliabilityTest {
protected:
  // A camera on which `fault` strikes every bulk transfer; the device is
  // started (its start uses no bulk transfer).
  void plug(const char *fault) {
    emu::CameraConfig config;
    config.fps = 0;
    config.link_bytes_per_second = emu::kUnlimitedLink;
    ASSERT_EQ(emu::fault_plan_apply(&config.faults, fault), "");
    std::string error;
    plug_ = std::make_unique<reliability::CameraPlug>(config, &error);
    ASSERT_TRUE(plug_->ok()) << error;
    device_ = std::make_unique<reliability::CameraDevice>();
    ASSERT_EQ(device_->start(*plug_), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (plug_)
      plug_->bus().remove_device(); // ends whatever still waits for the camera
    device_.reset();
    plug_.reset();
    ReliabilityTest::TearDown();
  }
  // Runs `command` as step `where`; a step still waiting after its limit is a
  // failure, and the camera is unplugged then so that the test ends.
  void expect_returns(const std::string &where, std::chrono::milliseconds limit,
                      const std::function<void()> &command) {
    reliability::Failures failures;
    {
      reliability::StepWatch watch(failures, ::testing::UnitTest::GetInstance()->current_test_info()->name());
      usbbus::UsbBus *bus = &plug_->bus();
      watch.run(where, limit, command, [bus] { bus->remove_device(); });
    }
    EXPECT_TRUE(failures.empty()) << failures.text();
  }

  std::unique_ptr<reliability::CameraPlug> plug_;
  std::unique_ptr<reliability::CameraDevice> device_;
};

} // namespace

// A zoom reading whose command never reaches the camera (the OUT transfer
// fails) or whose answer never comes: the Get must come back with a failure.
// Catches a command exchange that waits for the camera without limit, which
// holds the adapter's serialised dispatch (and every request behind it).
TEST_F(SilentCameraTest, ZoomGetReturnsWhenTheCommandCannotBeSent) {
  ASSERT_NO_FATAL_FAILURE(plug("write-error"));
  NTSTATUS status = STATUS_PENDING;
  LONG value = -1;
  expect_returns("zoom get", reliability::kWaitLimit,
                 [&] { status = reliability::camera_zoom_get(device_->adapter(), &value); });
}

TEST_F(SilentCameraTest, AutoFocusReturnsWhenTheCameraStopsAnswering) {
  ASSERT_NO_FATAL_FAILURE(plug("stop-answering"));
  expect_returns("auto focus", reliability::kWaitLimit,
                 [&] { (void)reliability::camera_focus_auto(device_->adapter()); });
}

// A surprise removal while a command waits for a silent camera: the removal
// must get through in time (it resets the port, which ends the command's
// transfers). Catches a removal queued behind the stuck command.
TEST_F(SilentCameraTest, SurpriseRemovalGetsThroughAWaitingCommand) {
  ASSERT_NO_FATAL_FAILURE(plug("stop-answering"));
  std::promise<void> started;
  std::thread command([&] {
    started.set_value();
    (void)reliability::camera_focus_auto(device_->adapter());
  });
  started.get_future().wait();
  std::this_thread::sleep_for(100ms); // the focus command is waiting for its answer now
  expect_returns("surprise removal", reliability::teardown_limit(),
                 [&] { device_->remove(streamclass::RemovalKind::Surprise); });
  command.join();
}

// A stream close while the transfer thread waits for a camera that never
// answers (a reset of the pipes brings it back only for its next transfer):
// the close must return in time. Catches a stop of the transfer thread that
// needs its grace period and then several rounds of pipe resets.
TEST_F(SilentCameraTest, StreamCloseReturnsInTimeWhenTheCameraNeverAnswers) {
  ASSERT_NO_FATAL_FAILURE(plug("stop-answering"));
  std::unique_ptr<streamclass::Pin> pin;
  ULONG image_bytes = 0;
  ASSERT_EQ(device_->open_pin(320, 240, pin, &image_bytes), STATUS_SUCCESS);
  ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  std::this_thread::sleep_for(200ms); // the thread waits for its first answer now
  expect_returns("stream close", reliability::teardown_limit(), [&] { (void)pin->close(); });
}
