// Rendering of the synthetic scene.
#include "emulator/camera/scene.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "emulator/camera/font5x7.h"

namespace emu {

namespace {

// Width and height of the scene in scene units; the zoom shows a part of it.
constexpr double kSceneWidth = 320.0;
constexpr double kSceneHeight = 240.0;

// Eight colour bars across the top of the scene.
constexpr uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                 {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};

struct Rgb {
  uint8_t r, g, b;
};

// Where the moving parts of the scene are at one time.
struct SceneTime {
  double disc_x, disc_y; // centre of a disc travelling on a Lissajous path
  double scroll;         // sideways offset of the grid
};

SceneTime scene_time(uint64_t tick) {
  const double t = static_cast<double>(tick);
  return {kSceneWidth / 2 + 100.0 * std::sin(t * 0.07), kSceneHeight / 2 + 60.0 * std::sin(t * 0.11 + 1.0),
          std::fmod(t * 2.0, 40.0)};
}

// The colour of the scene at scene point (x, y) at time st.
Rgb scene_colour(double x, double y, const SceneTime &st) {
  const double cx = st.disc_x;
  const double cy = st.disc_y;
  if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < 30.0 * 30.0)
    return {255, 140, 0};
  if (y < kSceneHeight / 3) {
    const int bar = std::clamp(static_cast<int>(x / (kSceneWidth / 8)), 0, 7);
    return {kBars[bar][0], kBars[bar][1], kBars[bar][2]};
  }
  // A grid scrolling sideways over a gradient.
  // Scene points are never negative: the lens shows at most the whole scene.
  const int gx = static_cast<int>(x + st.scroll) % 40;
  const int gy = static_cast<int>(y) % 40;
  if (gx < 2 || gy < 2)
    return {255, 255, 255};
  const uint8_t shade = static_cast<uint8_t>(std::clamp(y / kSceneHeight * 200.0, 0.0, 255.0));
  return {static_cast<uint8_t>(40 + shade / 4), static_cast<uint8_t>(60 + shade / 3),
          static_cast<uint8_t>(shade)};
}

// Fills the picture with the scene as the lens sees it at this zoom: zoom 0
// shows the whole scene, zoom 100 the middle third.
void render_lens(const SceneView &view, std::vector<uint8_t> &rgb) {
  const double magnify = 1.0 + 2.0 * std::min<uint32_t>(view.zoom, 100) / 100.0;
  const double sx = kSceneWidth / view.width / magnify;
  const double sy = kSceneHeight / view.height / magnify;
  const SceneTime st = scene_time(view.tick);
  for (int y = 0; y < view.height; ++y) {
    for (int x = 0; x < view.width; ++x) {
      const double px = kSceneWidth / 2 + (x - view.width / 2.0) * sx;
      const double py = kSceneHeight / 2 + (y - view.height / 2.0) * sy;
      const Rgb c = scene_colour(px, py, st);
      uint8_t *p = &rgb[(static_cast<size_t>(y) * view.width + x) * 3];
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
  }
}

// Prints the picture number in white on a black box at the top left.
void render_number(const SceneView &view, std::vector<uint8_t> &rgb) {
  const std::string digits = std::to_string(view.number);
  const int scale = std::max(1, view.height / 60);
  const int box_w = static_cast<int>(digits.size()) * (kGlyphWidth + 1) * scale + scale;
  const int box_h = (kGlyphHeight + 2) * scale;
  for (int y = 0; y < box_h && y < view.height; ++y) {
    for (int x = 0; x < box_w && x < view.width; ++x) {
      const size_t i = static_cast<size_t>(digits.size());
      const int cell = (x - scale) / ((kGlyphWidth + 1) * scale);
      const int gx = ((x - scale) / scale) % (kGlyphWidth + 1);
      const int gy = y / scale - 1;
      bool on = x >= scale && cell >= 0 && static_cast<size_t>(cell) < i && gx < kGlyphWidth && gy >= 0 &&
                gy < kGlyphHeight && (kDigitGlyphs[digits[cell] - '0'][gy] >> (kGlyphWidth - 1 - gx) & 1);
      uint8_t *p = &rgb[(static_cast<size_t>(y) * view.width + x) * 3];
      p[0] = p[1] = p[2] = on ? 255 : 0;
    }
  }
}

// One pass of a box blur of radius r along rows (along_rows) or columns, with
// a running sum per channel; the edges repeat the outermost pixel.
void blur_pass(const SceneView &view, std::vector<uint8_t> &rgb, bool along_rows, int r) {
  const int len = along_rows ? view.width : view.height;
  const int lines = along_rows ? view.height : view.width;
  const size_t step = along_rows ? 3 : static_cast<size_t>(view.width) * 3;
  const size_t line_step = along_rows ? static_cast<size_t>(view.width) * 3 : 3;
  const int taps = 2 * r + 1;
  std::vector<uint8_t> line(static_cast<size_t>(len) * 3);
  for (int l = 0; l < lines; ++l) {
    uint8_t *base = rgb.data() + static_cast<size_t>(l) * line_step;
    for (int c = 0; c < 3; ++c) {
      auto px = [&](int i) {
        return static_cast<int>(base[static_cast<size_t>(std::clamp(i, 0, len - 1)) * step + c]);
      };
      int sum = 0;
      for (int k = -r; k <= r; ++k)
        sum += px(k);
      for (int i = 0; i < len; ++i) {
        line[static_cast<size_t>(i) * 3 + c] = static_cast<uint8_t>(sum / taps);
        sum += px(i + r + 1) - px(i - r);
      }
    }
    for (int i = 0; i < len; ++i)
      std::copy_n(&line[static_cast<size_t>(i) * 3], 3, base + static_cast<size_t>(i) * step);
  }
}

} // namespace

std::vector<uint8_t> scene_render(const SceneView &view) {
  std::vector<uint8_t> rgb(static_cast<size_t>(view.width) * view.height * 3);
  render_lens(view, rgb);
  render_number(view, rgb);
  // Out of focus the whole picture is soft, the number included.
  if (!view.focused) {
    blur_pass(view, rgb, true, 2);
    blur_pass(view, rgb, false, 2);
  }
  return rgb;
}

} // namespace emu
