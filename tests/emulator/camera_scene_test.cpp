// The camera's pictures: the synthetic scene as 320 x 240 JPEG pictures that
// change with the picture number, the time, the zoom and the focus, and JPEG files
// played in a loop.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "emulator/camera/picture_source.h"
#include "tests/emulator/camera_host.h"
#include "tests/support/pictures.h"
#include "tests/support/rig_test.h"

namespace camtest {
namespace {

class CameraSceneTest : public RigTest {
protected:
  static rig::Decoded decode(const Bytes &jpeg) {
    rig::Decoded decoded = rig::reference_decode(jpeg, false);
    EXPECT_TRUE(decoded.ok && decoded.width == 320 && decoded.height == 240);
    decoded.bgr.resize(320 * 240 * 3);
    return decoded;
  }
  static rig::Decoded scene(const emu::SceneView &view) { return decode(emu::scene_picture(view, 85)); }
  // Mean absolute difference of two pictures over the region from (x0, y0) to the
  // bottom right.
  static double difference(const rig::Decoded &a, const rig::Decoded &b, int x0, int y0, int x1 = 320,
                           int y1 = 240) {
    double sum = 0;
    for (int y = y0; y < y1; ++y)
      for (int i = x0 * 3; i < x1 * 3; ++i)
        sum += std::abs(a.row(y)[i] - b.row(y)[i]);
    return sum / ((x1 - x0) * (y1 - y0) * 3);
  }
  // Sum of squared differences of horizontal neighbours: a blur spreads an edge,
  // so the squares tell a sharp picture.
  static double sharpness(const rig::Decoded &picture) {
    double sum = 0;
    for (int y = 0; y < 240; ++y)
      for (int x = 1; x < 320; ++x)
        sum += std::pow(picture.row(y)[x * 3] - picture.row(y)[x * 3 - 3], 2);
    return sum;
  }
};

// Makes sure the scene's pictures decode to 320 x 240, fit the 65,536-byte picture
// buffer, show their number in a corner, move with time, narrow with zoom and
// sharpen with focus. Catches an encoder the driver's decoder cannot read and a
// scene that ignores the camera's state.
TEST_F(CameraSceneTest, SceneFollowsNumberTimeZoomAndFocus) {
  emu::SceneView base;
  base.number = 1;
  ASSERT_LT(emu::scene_picture(base, 85).size(), 65536u);
  const rig::Decoded still = scene(base);
  emu::SceneView view = base;
  view.number = 8;
  const rig::Decoded eight = scene(view);
  EXPECT_GT(difference(still, eight, 0, 0, 40, 40), 5.0);
  EXPECT_LT(difference(still, eight, 100, 100), 0.5) << "only the number's corner differs";
  view = base;
  view.tick = 10;
  EXPECT_GT(difference(still, scene(view), 40, 40), 2.0);
  view = base;
  view.zoom = 100;
  EXPECT_GT(difference(still, scene(view), 40, 40), 5.0);
  view = base;
  view.focused = true;
  EXPECT_GT(sharpness(scene(view)), 2.0 * sharpness(still));
}

// Makes sure a zoom command and an auto focus change the camera's next picture.
// Catches a camera whose commands do not reach its pictures.
TEST_F(CameraSceneTest, CameraPicturesFollowItsCommands) {
  TestHost host(quick_config());
  const rig::Decoded first = decode(host.next_picture().bytes);
  host.send(zoom_set_command(90));
  ASSERT_EQ(host.read(), kAck);
  const rig::Decoded zoomed = decode(host.next_picture().bytes);
  host.send(kFocusCommand);
  ASSERT_EQ(host.read(), kAck);
  ASSERT_EQ(host.read(), kEnq);
  EXPECT_GT(difference(first, zoomed, 40, 40), 5.0);
  EXPECT_GT(sharpness(decode(host.next_picture().bytes)), 2.0 * sharpness(zoomed));
}

// Makes sure JPEG files are played in name order and looped, a single file is
// taken, and a folder without pictures is refused. Catches a file source that
// skips or stops.
TEST_F(CameraSceneTest, FilesPlayInALoop) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("dscam-camera-files-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::vector<Bytes> pictures;
  for (uint32_t n = 1; n <= 3; ++n) {
    pictures.push_back(rig::scene_jpeg(n * 11, 80));
    std::ofstream(dir / ("p" + std::to_string(n) + ".jpg"), std::ios::binary)
        .write(reinterpret_cast<const char *>(pictures.back().data()),
               static_cast<std::streamsize>(pictures.back().size()));
  }
  std::ofstream(dir / "notes.txt") << "not a picture";
  emu::CameraConfig config = quick_config();
  config.pictures = emu::PictureMode::Files;
  config.picture_path = dir.string();
  TestHost host(config);
  for (size_t i = 0; i < 7; ++i)
    EXPECT_EQ(host.next_picture().bytes, pictures[i % 3]) << i;
  std::string error;
  config.picture_path = (dir / "p2.jpg").string();
  EXPECT_NE(emu::picture_source_create(config, &error), nullptr);
  for (const char *name : {"p1.jpg", "p2.jpg", "p3.jpg"})
    std::filesystem::remove(dir / name);
  config.picture_path = dir.string();
  EXPECT_EQ(emu::picture_source_create(config, &error), nullptr);
  EXPECT_NE(error.find("no JPEG picture"), std::string::npos);
  std::filesystem::remove_all(dir);
}

} // namespace
} // namespace camtest
