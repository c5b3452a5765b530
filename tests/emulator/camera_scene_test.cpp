// The camera's pictures: the synthetic scene as 320 x 240 JPEG pictures that change with the picture number,
// the time, the zoom and the focus; JPEG files played in a loop.
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
    EXPECT_TRUE(decoded.ok && decoded.width == 320 && decoded.height == 240 && jpeg.size() < 65536);
    decoded.bgr.resize(320 * 240 * 3);
    return decoded;
  }
  static rig::Decoded scene(emu::SceneView view) { return decode(emu::scene_picture(view, 85)); }
  // Mean absolute difference of two pictures from (x0, y0) to (x1, y1).
  static double difference(const rig::Decoded &a, const rig::Decoded &b, int x0, int y0, int x1 = 320,
                           int y1 = 240) {
    double sum = 0;
    for (int y = y0; y < y1; ++y)
      for (int i = x0 * 3; i < x1 * 3; ++i)
        sum += std::abs(a.row(y)[i] - b.row(y)[i]);
    return sum / ((x1 - x0) * (y1 - y0) * 3);
  }
  // Sum of squared differences of horizontal neighbours: a blur spreads an edge, the squares tell.
  static double sharpness(const rig::Decoded &picture) {
    double sum = 0;
    for (int y = 0; y < 240; ++y)
      for (int x = 1; x < 320; ++x)
        sum += std::pow(picture.row(y)[x * 3] - picture.row(y)[x * 3 - 3], 2);
    return sum;
  }
};

// Makes sure scene pictures decode to 320 x 240 within 65,536 bytes, show their number in a corner, move with
// time, narrow with zoom, sharpen with focus, also as the camera serves them after its commands. Catches a
// picture the driver cannot read, a scene or a camera that ignores the camera's state.
TEST_F(CameraSceneTest, SceneFollowsNumberTimeZoomAndFocus) {
  const rig::Decoded still = scene({.number = 1});
  const rig::Decoded eight = scene({.number = 8});
  EXPECT_GT(difference(still, eight, 0, 0, 40, 40), 5.0);
  EXPECT_LT(difference(still, eight, 100, 100), 0.5) << "only the number's corner differs";
  EXPECT_GT(difference(still, scene({.tick = 10, .number = 1}), 40, 40), 2.0);
  EXPECT_GT(difference(still, scene({.number = 1, .zoom = 100}), 40, 40), 5.0);
  EXPECT_GT(sharpness(scene({.number = 1, .focused = true})), 2.0 * sharpness(still));

  TestHost host(quick_config());
  const rig::Decoded first = decode(host.next_picture().bytes);
  ASSERT_TRUE(host.sent(zoom_set_command(90)) && host.read() == kAck);
  const rig::Decoded zoomed = decode(host.next_picture().bytes);
  ASSERT_TRUE(host.sent(kFocusCommand) && host.read() == kAck && host.read() == kEnq);
  EXPECT_GT(difference(first, zoomed, 40, 40), 5.0);
  EXPECT_GT(sharpness(decode(host.next_picture().bytes)), 2.0 * sharpness(zoomed));
}

// Makes sure JPEG files play in name order in a loop, a single file is taken and a folder without pictures is
// refused. Catches a file source that skips or stops.
TEST_F(CameraSceneTest, FilesPlayInALoop) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("dscam-camera-files-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::vector<Bytes> pictures;
  for (uint32_t n = 1; n <= 3; ++n) {
    pictures.push_back(emu::scene_picture({.number = n * 11}, 80));
    std::ofstream(dir / ("p" + std::to_string(n) + ".jpg"), std::ios::binary)
        .write(reinterpret_cast<const char *>(pictures.back().data()),
               std::streamsize(pictures.back().size()));
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
  EXPECT_TRUE(emu::picture_source_create(config, &error) == nullptr &&
              error.find("no JPEG picture") != error.npos);
  std::filesystem::remove_all(dir);
}

} // namespace
} // namespace camtest
