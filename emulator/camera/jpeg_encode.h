// The camera's JPEG encoder (libjpeg, compression side).
#pragma once

#include <cstdint>
#include <vector>

namespace emu {

// Encodes width x height RGB pixels (rows top first) as a baseline JPEG of
// the given quality (1..100). Returns the JPEG bytes, empty if the library
// failed. Thread-safe (one compressor per call).
std::vector<uint8_t> jpeg_encode_rgb(const uint8_t *rgb, int width, int height, int quality);

} // namespace emu
