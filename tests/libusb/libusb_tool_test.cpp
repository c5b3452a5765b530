// The dscam program, unchanged, with --usb: under umockdev's preload, with the
// emulated camera behind the usbdevfs node in this process.
#include <filesystem>
#include <set>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/rig.h"
#include "tests/support/usbdevfs_camera.h"
#include "tests/tool/tool_runner.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tooltest::RunControl;
using tooltest::ToolRun;

class LibusbToolTest : public ::testing::Test {
protected:
  ToolRun run(const std::vector<std::string> &args, const RunControl &control = {}) {
    return tooltest::run_tool(args, dir_.path(), control);
  }
  // The distinct contents of the files in a folder.
  std::set<std::string> distinct_files(const std::string &folder) const {
    std::set<std::string> distinct;
    for (const auto &entry : fs::directory_iterator(dir_ / folder))
      distinct.insert(tooltest::read_file(entry.path()));
    return distinct;
  }

  tooltest::TestFolder dir_;
};

// Makes sure a capture through libusb gives, byte for byte, the frames the
// in-process path gives of the same pictures, traces the camera's traffic, and
// that zoom and focus reach the camera named by IDs or by place (a damaged or
// lost frame, a missing trace or a control lost on the way fails it).
TEST_F(LibusbToolTest, CaptureAndControlsAsInProcess) {
  fs::create_directories(dir_ / "pictures");
  for (uint32_t seed : {1u, 2u, 3u}) {
    tooltest::write_picture(dir_ / "pictures" / (std::to_string(seed) + ".jpg"), {.seed = seed});
  }
  emu::CameraConfig config = rig::fast_camera();
  config.pictures = emu::PictureMode::Files;
  config.picture_path = (dir_ / "pictures").string();
  rig::UsbdevfsCamera camera(config);
  ASSERT_TRUE(camera.ok()) << camera.error();
  const ToolRun usb = run({"capture", "--usb", "1209:0001", "-n", "30", "-o", "usb", "--trace", "usb.txt"});
  ASSERT_EQ(usb.exit_code, 0) << usb.describe();
  const ToolRun local = run({"capture", "-n", "30", "-o", "in-process", "--pictures", "pictures",
                             "--camera-fps", "0", "--link", "unlimited"});
  ASSERT_EQ(local.exit_code, 0) << local.describe();
  EXPECT_EQ(tooltest::files_in(dir_ / "usb"), 30);
  EXPECT_EQ(distinct_files("usb").size(), 3u);
  EXPECT_EQ(distinct_files("usb"), distinct_files("in-process"));
  const std::string text = tooltest::read_file(dir_ / "usb.txt");
  EXPECT_NE(text.find(" C Bi:1:002:1 status=0x00000000 bytes="), std::string::npos) << text.substr(0, 300);
  EXPECT_EQ(run({"zoom", "70", "--usb", "1209:0001"}).out, "zoom: 70\n");
  EXPECT_EQ(camera.camera().snapshot().zoom, 70u);
  EXPECT_EQ(run({"focus", "auto", "--usb", "1-2"}).out, "focus: auto (flags 0x1)\n");
}

// Makes sure a camera unplugged mid-capture ends the run within 2 s with the
// reason, a summary counting the files written, no platform misuse and every
// URB reaped (a hang, a success, a wrong count or a leak fails it).
TEST_F(LibusbToolTest, UnplugMidCaptureEndsTheRun) {
  emu::CameraConfig config = rig::fast_camera();
  config.fps = 30;
  rig::UsbdevfsCamera camera(config);
  ASSERT_TRUE(camera.ok()) << camera.error();
  Clock::time_point unplugged{};
  RunControl control;
  control.send_when = [&] {
    if (unplugged == Clock::time_point{} && fs::exists(dir_ / "out" / "frame-000005.bmp")) {
      camera.unplug();
      unplugged = Clock::now();
    }
    return false;
  };
  const ToolRun result = run({"capture", "--usb", "1209:0001", "-n", "100000", "-o", "out"}, control);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - unplugged).count(), 2.0) << result.describe();
  EXPECT_EQ(result.exit_code, 4) << result.describe();
  ASSERT_FALSE(result.err_lines().empty());
  EXPECT_EQ(result.err_lines().back(), "dscam: the camera was disconnected");
  const long written = tooltest::files_in(dir_ / "out");
  EXPECT_NE(result.err.find("frames:   " + std::to_string(written) + " written\n"), std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("misuse"), std::string::npos) << result.err;
  EXPECT_EQ(camera.urbs_in_flight(), 0u);
}

// Makes sure dscam list shows the camera and that a node the user may not
// open gets the one-line fix (a missing camera or a wrong cause fails it).
TEST_F(LibusbToolTest, ListAndPermission) {
  rig::UsbdevfsCamera camera(rig::fast_camera());
  ASSERT_TRUE(camera.ok()) << camera.error();
  EXPECT_NE(run({"list"}).out.find("\nBus 001 Device 002: ID 1209:0001\n"), std::string::npos);
  ASSERT_EQ(chmod((std::string(getenv("UMOCKDEV_DIR")) + "/dev/bus/usb/001/002").c_str(), 0), 0);
  RunControl user;
  user.without_file_override = true;
  const ToolRun denied = run({"info", "--usb", "1209:0001"}, user);
  EXPECT_EQ(denied.exit_code, 3);
  EXPECT_EQ(denied.err,
            "dscam: no permission to open the USB device 1209:0001 (bus 001 device 002): install "
            "contrib/udev/70-dscam.rules with its IDs, then plug it in again (README: Using a real "
            "camera)\n");
  EXPECT_NE(run({"list"}, user).out.find("ID 1209:0001 (no permission"), std::string::npos);
}

// Makes sure --wait starts a camera plugged in after the run began (a run that
// does not wait, or waits on, fails it).
TEST_F(LibusbToolTest, WaitForTheCamera) {
  rig::UsbdevfsCamera later(rig::fast_camera(), false);
  const Clock::time_point start = Clock::now();
  RunControl control;
  control.send_when = [&] {
    if (Clock::now() - start > std::chrono::milliseconds(500))
      later.plug(); // once: it does nothing when plugged
    return false;
  };
  const ToolRun waited = run({"info", "--usb", "1209:0001", "--wait"}, control);
  EXPECT_EQ(waited.exit_code, 0) << waited.describe();
  EXPECT_NE(waited.out.find("endpoint 0x81 IN bulk"), std::string::npos) << waited.out;
}

} // namespace
