// The dscam program, unchanged, with --usb: under umockdev's preload, with the
// emulated camera behind the usbdevfs node in this process.
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/pictures.h"
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
  void SetUp() override {
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("dscam-libusb-" + std::to_string(getpid()) + "-" + test->name());
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  ToolRun run(const std::vector<std::string> &args, const RunControl &control = {}) {
    return tooltest::run_tool(args, dir_, control);
  }
  // The distinct files of a folder, and how many there are.
  std::set<std::string> files(const std::string &folder, size_t *count) const {
    std::set<std::string> distinct;
    *count = 0;
    for (const auto &entry : fs::directory_iterator(dir_ / folder)) {
      std::ostringstream bytes;
      bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
      distinct.insert(bytes.str());
      ++*count;
    }
    return distinct;
  }

  fs::path dir_;
};

std::string describe(const ToolRun &run) {
  return "exit " + std::to_string(run.exit_code) + " after " + std::to_string(run.seconds) + " s:\n" +
         run.err;
}

// Makes sure a capture through libusb gives, byte for byte, the frames the
// in-process path gives of the same pictures, traces the camera's traffic, and
// that zoom and focus reach the camera named by IDs or by place (a damaged or
// lost frame, a missing trace or a control lost on the way fails it).
TEST_F(LibusbToolTest, CaptureAndControlsAsInProcess) {
  fs::create_directories(dir_ / "pictures");
  for (uint32_t seed : {1u, 2u, 3u}) {
    rig::PictureOptions picture;
    picture.seed = seed;
    const std::vector<uint8_t> jpeg = rig::make_picture(picture);
    std::ofstream(dir_ / "pictures" / (std::to_string(seed) + ".jpg"), std::ios::binary)
        .write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  }
  emu::CameraConfig config = rig::fast_camera();
  config.pictures = emu::PictureMode::Files;
  config.picture_path = (dir_ / "pictures").string();
  rig::UsbdevfsCamera camera(config);
  ASSERT_TRUE(camera.ok()) << camera.error();
  const ToolRun usb = run({"capture", "--usb", "1209:0001", "-n", "30", "-o", "usb", "--trace", "usb.txt"});
  ASSERT_EQ(usb.exit_code, 0) << describe(usb);
  const ToolRun local = run({"capture", "-n", "30", "-o", "in-process", "--pictures", "pictures",
                             "--camera-fps", "0", "--link", "unlimited"});
  ASSERT_EQ(local.exit_code, 0) << describe(local);
  size_t usb_frames = 0;
  size_t local_frames = 0;
  const std::set<std::string> distinct = files("usb", &usb_frames);
  EXPECT_EQ(usb_frames, 30u);
  EXPECT_EQ(distinct.size(), 3u);
  EXPECT_EQ(distinct, files("in-process", &local_frames));
  std::ifstream trace(dir_ / "usb.txt");
  const std::string text((std::istreambuf_iterator<char>(trace)), std::istreambuf_iterator<char>());
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
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - unplugged).count(), 2.0) << describe(result);
  EXPECT_EQ(result.exit_code, 4) << describe(result);
  ASSERT_FALSE(result.err_lines().empty());
  EXPECT_EQ(result.err_lines().back(), "dscam: the camera was disconnected");
  size_t written = 0;
  files("out", &written);
  EXPECT_NE(result.err.find("frames:   " + std::to_string(written) + "\n"), std::string::npos) << result.err;
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
  EXPECT_EQ(waited.exit_code, 0) << describe(waited);
  EXPECT_NE(waited.out.find("endpoint 0x81 IN bulk"), std::string::npos) << waited.out;
}

} // namespace
