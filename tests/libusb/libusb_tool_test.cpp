// The dscam tool, unchanged, on a real camera: the built program under
// umockdev's preload with --usb, and the emulated camera behind the usbdevfs
// node in this process.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/pictures.h"
#include "tests/support/rig.h"
#include "tests/support/usbdevfs_camera.h"
#include "tests/tool/tool_runner.h"

namespace {

namespace fs = std::filesystem;
using tooltest::RunControl;
using tooltest::ToolRun;

class LibusbToolTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dscam-libusb-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  ToolRun run(const std::vector<std::string> &args, const RunControl &control = {}) {
    return tooltest::run_tool(args, dir_, control);
  }
  // The distinct frames of a capture folder, and how many files it holds.
  std::set<std::vector<uint8_t>> frames(const std::string &folder, size_t *files) const {
    std::set<std::vector<uint8_t>> distinct;
    *files = 0;
    for (const auto &entry : fs::directory_iterator(dir_ / folder)) {
      std::ifstream in(entry.path(), std::ios::binary);
      distinct.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      ++*files;
    }
    return distinct;
  }

  fs::path dir_;
};

std::string last_line(const ToolRun &run) {
  const std::vector<std::string> lines = run.err_lines();
  return lines.empty() ? "" : lines.back();
}

// A run's outcome: its status, the frames and errors it counted and its
// reason, without the times the reason quotes.
std::string outcome(const ToolRun &run) {
  std::string text = std::to_string(run.exit_code);
  for (std::string line : run.err_lines()) {
    if (line.starts_with("dscam: "))
      std::erase_if(line, [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
    if (line.starts_with("frames:") || line.starts_with("errors:") || line.starts_with("dscam: "))
      text += "\n" + line;
  }
  return text;
}

std::string describe(const ToolRun &run) {
  return "exit " + std::to_string(run.exit_code) + " after " + std::to_string(run.seconds) + " s:\n" +
         run.err;
}

// Makes sure a capture through libusb gives the frames the in-process path
// gives of the same pictures, byte for byte, and traces the real device's
// traffic (a frame damaged or lost on the way, or a missing trace, fails it).
TEST_F(LibusbToolTest, CaptureMatchesTheInProcessFrames) {
  fs::create_directories(dir_ / "pictures");
  for (uint32_t seed : {1u, 2u, 3u}) {
    image_test::PictureOptions picture;
    picture.seed = seed;
    const std::vector<uint8_t> jpeg = image_test::make_picture(picture);
    std::ofstream(dir_ / "pictures" / ("p" + std::to_string(seed) + ".jpg"), std::ios::binary)
        .write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  }
  emu::CameraConfig config = rig::fast_camera();
  config.pictures = emu::PictureMode::Files;
  config.picture_path = (dir_ / "pictures").string();
  rig::UsbdevfsCamera camera(config);
  ASSERT_TRUE(camera.ok()) << camera.error();
  const ToolRun usb = run({"capture", "--usb", "1209:0001", "-n", "30", "-o", "usb", "--trace", "usb.txt"});
  ASSERT_EQ(usb.exit_code, 0) << describe(usb);
  const ToolRun local = run({"capture", "-n", "30", "-o", "local", "--pictures", "pictures", "--camera-fps",
                             "0", "--link", "unlimited"});
  ASSERT_EQ(local.exit_code, 0) << describe(local);
  size_t usb_files = 0;
  size_t local_files = 0;
  const auto usb_frames = frames("usb", &usb_files);
  EXPECT_EQ(usb_files, 30u);
  EXPECT_EQ(usb_frames, frames("local", &local_files));
  EXPECT_EQ(usb_frames.size(), 3u);
  std::ifstream trace(dir_ / "usb.txt");
  const std::string text((std::istreambuf_iterator<char>(trace)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(" C Bi:1:002:1 status=0x00000000 bytes="), std::string::npos) << text.substr(0, 400);
}

// Makes sure zoom and focus reach the camera through libusb, named by its IDs
// or by its place (a control lost on the way or a wrong reading fails it).
TEST_F(LibusbToolTest, ZoomAndFocus) {
  rig::UsbdevfsCamera camera(rig::fast_camera());
  ASSERT_TRUE(camera.ok()) << camera.error();
  const ToolRun zoom = run({"zoom", "70", "--usb", "1209:0001"});
  EXPECT_EQ(zoom.out, "zoom: 70\n") << describe(zoom);
  EXPECT_EQ(camera.camera().snapshot().zoom, 70u);
  const ToolRun focus = run({"focus", "auto", "--usb", "1-2"});
  EXPECT_EQ(focus.out, "focus: auto (flags 0x1)\n") << describe(focus);
}

// Makes sure a camera unplugged mid-capture ends the run within 2 s with the
// reason, a summary that counts the files written, no platform misuse and
// every URB reaped (a hang, a success, a wrong count or a leak fails it).
TEST_F(LibusbToolTest, UnplugMidCaptureEndsTheRun) {
  emu::CameraConfig config = rig::fast_camera();
  config.fps = 30;
  rig::UsbdevfsCamera camera(config);
  ASSERT_TRUE(camera.ok()) << camera.error();
  std::chrono::steady_clock::time_point unplugged{};
  RunControl control;
  control.limit = std::chrono::seconds(30);
  control.send_when = [&] {
    if (unplugged == std::chrono::steady_clock::time_point{} &&
        fs::exists(dir_ / "out" / "frame-000005.bmp")) {
      camera.unplug();
      unplugged = std::chrono::steady_clock::now();
    }
    return false;
  };
  const ToolRun result = run({"capture", "--usb", "1209:0001", "-n", "100000", "-o", "out"}, control);
  const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - unplugged).count();
  EXPECT_EQ(result.exit_code, 4) << describe(result);
  EXPECT_LT(after, 2.0) << describe(result);
  EXPECT_EQ(last_line(result), "dscam: the camera was disconnected") << result.err;
  size_t files = 0;
  frames("out", &files);
  EXPECT_NE(result.err.find("frames:   " + std::to_string(files) + "\n"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("misuse"), std::string::npos) << result.err;
  EXPECT_EQ(camera.urbs_in_flight(), 0u);
}

// Makes sure the camera faults end a run through libusb as they end it in
// process: the same status and the same reason (a fault lost or mapped to
// another outcome on the way fails it).
TEST_F(LibusbToolTest, CameraFaultsEndTheRunAsInProcess) {
  for (const char *fault : {"stop-answering@3", "read-error@2", "truncated@2"}) {
    emu::CameraConfig config = rig::fast_camera();
    config.pictures = emu::PictureMode::Synthetic;
    ASSERT_EQ(emu::fault_plan_apply(&config.faults, fault), "");
    rig::UsbdevfsCamera camera(config);
    ASSERT_TRUE(camera.ok()) << camera.error();
    const ToolRun usb = run({"capture", "--usb", "1209:0001", "-n", "10", "-o", "usb"});
    const ToolRun local = run(
        {"capture", "-n", "10", "-o", "local", "--fault", fault, "--camera-fps", "0", "--link", "unlimited"});
    EXPECT_EQ(outcome(usb), outcome(local)) << fault;
  }
}

// Makes sure dscam list shows the camera, that a node the user may not open
// gets the one-line fix, and that --wait starts a camera plugged in later (a
// missing camera, a wrong cause or a run that does not wait fails it).
TEST_F(LibusbToolTest, ListPermissionAndWait) {
  {
    rig::UsbdevfsCamera camera(rig::fast_camera());
    ASSERT_TRUE(camera.ok()) << camera.error();
    EXPECT_NE(run({"list"}).out.find("\nBus 001 Device 002: ID 1209:0001\n"), std::string::npos);
    ASSERT_EQ(chmod(camera.node_file().c_str(), 0), 0);
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
  rig::UsbdevfsCamera later(rig::fast_camera(), false);
  const auto start = std::chrono::steady_clock::now();
  RunControl control;
  control.send_when = [&] {
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500))
      later.plug();
    return false;
  };
  const ToolRun waited = run({"info", "--usb", "1209:0001", "--wait"}, control);
  EXPECT_EQ(waited.exit_code, 0) << describe(waited);
  EXPECT_NE(waited.out.find("endpoint 0x81 IN bulk"), std::string::npos) << waited.out;
}

} // namespace
