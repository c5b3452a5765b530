// Where the camera's pictures come from: the synthetic scene encoded on
// demand, JPEG files played in a loop, or a set of scene pictures encoded once
// at power-on (for benchmarks that must not pay the encoder).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/camera/camera_config.h"
#include "emulator/camera/scene.h"

namespace emu {

class PictureSource {
public:
  virtual ~PictureSource() = default;
  // The JPEG bytes of the next picture. The view says what the camera sees
  // (time, number, zoom, focus); file and pre-rendered pictures ignore it.
  // Called under the camera's lock.
  virtual std::vector<uint8_t> take(const SceneView &view) = 0;
};

// Makes the source the configuration asks for. Returns null and sets *error
// when it cannot (no JPEG file found, a file unreadable).
std::unique_ptr<PictureSource> picture_source_create(const CameraConfig &config, std::string *error);

// Encodes one view of the scene.
std::vector<uint8_t> scene_picture(const SceneView &view, int quality);

} // namespace emu
