// JPEG pictures of delivered frames for the live page, encoded with libjpeg
// straight from the frame's blue-green-red rows (bottom-up or top-down, as
// delivered), without a copy of the pixels.
//
// Reentrant: any thread, several at once.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/dscam/image_writer.h"

namespace dscam {

// The JPEG file of the frame at `quality` (1..100); empty when the frame holds
// fewer bytes than its size needs or the library failed.
std::vector<uint8_t> frame_to_jpeg(const FrameImage &image, int quality);

} // namespace dscam
