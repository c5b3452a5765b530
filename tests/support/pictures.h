// Test pictures: JPEG files made with libjpeg in several flavours, the
// camera's scene as a JPEG picture, and the one reference decode of a picture
// straight through libjpeg that the driver's frames are compared with.
// Free of the test framework (benchmarks and corpus writers use it too).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rig {

// How a test picture is encoded.
struct PictureOptions {
  int width = 320;
  int height = 240;
  int quality = 80;
  bool progressive = false;
  bool grayscale = false;
  bool cmyk = false;     // four components, which cannot be decoded to colour
  bool subsample = true; // 4:2:0 chroma (false: 4:4:4)
  int restart_rows = 0;  // restart marker every N MCU rows (0: none)
  uint32_t seed = 1;     // varies the picture content
};

// Encodes a deterministic picture (gradients, bars and noise) as JPEG.
std::vector<uint8_t> make_picture(const PictureOptions &options);

// A picture decoded straight with libjpeg: BGR pixels, rows top first, each
// width x 3 bytes without padding.
struct Decoded {
  bool ok = false;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgr;
  const uint8_t *row(int index) const { return bgr.data() + static_cast<size_t>(index) * width * 3; }
};

// Decodes with libjpeg's own memory source (which ends a short picture with an
// end-of-image marker, as the driver's does), blue-green-red output, at full
// or half scale, row by row; ok is false when the library fails.
Decoded reference_decode(const std::vector<uint8_t> &jpeg, bool half_scale);

// A short name of the options for test messages.
std::string describe(const PictureOptions &options);

// The frame the driver should deliver for `jpeg`: the reference decode at full
// or half scale as RGB24 rows of a 4-byte-aligned pitch, bottom-up (first row
// last) or top-down. Empty when the library fails.
std::vector<uint8_t> reference_frame(const std::vector<uint8_t> &jpeg, bool half_scale, bool top_down);

// The `count` pictures (at least 1) of an emulated camera's pre-rendered set,
// as the camera encodes them at `quality` when it powers on.
std::vector<std::vector<uint8_t>> prerendered_pictures(unsigned count, int quality);

} // namespace rig
