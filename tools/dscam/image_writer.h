// Image files of captured frames. A frame is what the driver delivers: RGB24
// pixels in blue-green-red byte order, rows of `pitch()` bytes (padded to 4),
// bottom-up unless the format asked for top-down rows.
//
// BMP holds the frame exactly as delivered (a top-down frame gets a negative
// height); PNG and PPM are written top-down in red-green-blue order; JPEG is
// encoded with libjpeg.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/dscam/options.h"

namespace dscam {

struct FrameImage {
  std::span<const uint8_t> bgr;
  long width = 0;
  long height = 0; // rows, positive
  bool top_down = false;
  size_t pitch() const { return (static_cast<size_t>(width) * 3 + 3) / 4 * 4; }
  size_t bytes() const { return pitch() * static_cast<size_t>(height); }
};

// The file contents; empty when the frame holds fewer bytes than its size needs.
std::vector<uint8_t> encode_bmp(const FrameImage &image);
std::vector<uint8_t> encode_ppm(const FrameImage &image);
std::vector<uint8_t> encode_png(const FrameImage &image);
std::vector<uint8_t> encode_jpeg(const FrameImage &image);

// The frame's pixels top-down in red-green-blue order, width x 3 bytes a row.
std::vector<uint8_t> rgb_top_down(const FrameImage &image);

// The file name extension of an image format ("bmp"; "jpg" for JPEG).
const char *image_extension(ImageFormat format);

// Encodes the frame and writes it to `path`. An empty string on success, else
// a one-line reason.
std::string write_image(ImageFormat format, const std::string &path, const FrameImage &image);

} // namespace dscam
