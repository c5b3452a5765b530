// The synthetic scene: JPEG pictures of 320 x 240 that the JPEG library
// decodes, and that change with the picture number, the zoom and the focus.
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "emulator/camera/picture_source.h"
#include "tests/emulator/camera_test_host.h"
#include "tests/support/platform_test.h"

using namespace camtest;

namespace {

class CameraSceneTest : public PlatformTest {
protected:
  static Bytes decode(const Bytes &jpeg) {
    int w = 0, h = 0;
    Bytes rgb;
    EXPECT_TRUE(decode_jpeg(jpeg, &w, &h, &rgb));
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    return rgb;
  }
  // Mean absolute difference of two pictures' pixels, over a region.
  static double difference(const Bytes &a, const Bytes &b, int x0, int y0, int x1, int y1) {
    double sum = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        for (int c = 0; c < 3; ++c) {
          const size_t i = (static_cast<size_t>(y) * 320 + x) * 3 + c;
          sum += std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
        }
    return sum / ((x1 - x0) * (y1 - y0) * 3);
  }
  // Sum of squared differences between horizontal neighbours: sharpness (a
  // blur keeps the total variation of an edge but spreads it, so squares tell).
  static double sharpness(const Bytes &rgb) {
    double sum = 0;
    for (int y = 0; y < 240; ++y)
      for (int x = 1; x < 320; ++x) {
        const double d = rgb[(y * 320 + x) * 3] - rgb[(y * 320 + x - 1) * 3];
        sum += d * d;
      }
    return sum;
  }
};

// Makes sure the scene's pictures decode to 320 x 240, fit the camera's
// 65,536-byte picture buffer, and show their number. Catches an encoder
// producing something the driver's decoder cannot read.
TEST_F(CameraSceneTest, PicturesDecodeAndShowTheirNumber) {
  emu::SceneView view;
  view.number = 1;
  const Bytes one = emu::scene_picture(view, 85);
  view.number = 8;
  const Bytes eight = emu::scene_picture(view, 85);
  ASSERT_LT(one.size(), 65536u);
  const Bytes a = decode(one);
  const Bytes b = decode(eight);
  // Only the number's corner differs: the scene itself did not move.
  EXPECT_GT(difference(a, b, 0, 0, 40, 40), 5.0);
  EXPECT_LT(difference(a, b, 100, 100, 320, 240), 0.5);
}

// Makes sure the scene moves with time, narrows with zoom and sharpens with
// focus. Catches a scene that ignores the camera's state.
TEST_F(CameraSceneTest, SceneFollowsTimeZoomAndFocus) {
  emu::SceneView base;
  const Bytes still = decode(emu::scene_picture(base, 85));
  emu::SceneView later = base;
  later.tick = 10;
  EXPECT_GT(difference(still, decode(emu::scene_picture(later, 85)), 40, 40, 320, 240), 2.0);
  emu::SceneView zoomed = base;
  zoomed.zoom = 100;
  EXPECT_GT(difference(still, decode(emu::scene_picture(zoomed, 85)), 40, 40, 320, 240), 5.0);
  emu::SceneView sharp = base;
  sharp.focused = true;
  EXPECT_GT(sharpness(decode(emu::scene_picture(sharp, 85))), 2.0 * sharpness(still));
}

// Makes sure the camera applies its lens and focus to the pictures it
// serves: a zoom command and an auto focus change the next picture. Catches
// a camera whose commands do not reach its pictures.
TEST_F(CameraSceneTest, CameraPicturesFollowItsCommands) {
  TestHost host(quick_config());
  const Bytes first = decode(host.next_picture().bytes);
  host.send(zoom_set_command(90));
  ASSERT_EQ(host.read(), Bytes{0x06});
  const Bytes zoomed = decode(host.next_picture().bytes);
  host.send(kFocusCommand);
  ASSERT_EQ(host.read(), Bytes{0x06});
  ASSERT_EQ(host.read(), Bytes{0x05});
  const Bytes focused = decode(host.next_picture().bytes);
  EXPECT_GT(difference(first, zoomed, 40, 40, 320, 240), 5.0);
  EXPECT_GT(sharpness(focused), 2.0 * sharpness(zoomed));
}

// Makes sure JPEG files are played in name order and looped, and a folder
// without pictures is refused. Catches a file source that skips or stops.
TEST_F(CameraSceneTest, FilesPlayInALoop) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("dscam-camera-files-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::vector<Bytes> pictures;
  for (uint32_t n = 1; n <= 3; ++n) {
    emu::SceneView view;
    view.number = n * 11;
    pictures.push_back(emu::scene_picture(view, 80));
    std::string name = "p";
    name += std::to_string(n);
    name += ".jpg";
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(pictures.back().data()),
               static_cast<std::streamsize>(pictures.back().size()));
  }
  std::ofstream(dir / "notes.txt") << "not a picture";
  emu::CameraConfig config = quick_config();
  config.pictures = emu::PictureMode::Files;
  config.picture_path = dir.string();
  TestHost host(config);
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(host.next_picture().bytes, pictures[static_cast<size_t>(i) % 3]) << i;

  std::string error;
  config.picture_path = (dir / "p2.jpg").string();
  EXPECT_NE(emu::picture_source_create(config, &error), nullptr);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  config.picture_path = dir.string();
  EXPECT_EQ(emu::picture_source_create(config, &error), nullptr);
  EXPECT_NE(error.find("no JPEG picture"), std::string::npos);
  std::filesystem::remove_all(dir);
}

} // namespace
