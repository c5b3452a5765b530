// The synthetic scene the camera films: colour bars, a grid and a disc moving
// with time, seen through the zoom lens (a narrower field of view as the zoom
// rises) and blurred until an auto focus has run, with the picture number
// printed in the top left corner.
#pragma once

#include <cstdint>
#include <vector>

namespace emu {

// What one picture of the scene shows.
struct SceneView {
  int width = 320;
  int height = 240;
  uint64_t tick = 0;    // time of the picture in frame ticks: moves the scene
  uint32_t number = 0;  // picture number, printed on the picture
  uint32_t zoom = 50;   // 0 (widest) .. 100 (narrowest)
  bool focused = false; // sharp after an auto focus, else blurred
};

// Renders the view as width x height RGB pixels, rows top first.
std::vector<uint8_t> scene_render(const SceneView &view);

} // namespace emu
