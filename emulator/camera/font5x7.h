// A 5 x 7 pixel font for the digits the scene prints on every picture.
#pragma once

#include <array>
#include <cstdint>

namespace emu {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;

// Rows of each digit, top first; bit 4 is the leftmost pixel.
extern const std::array<std::array<uint8_t, kGlyphHeight>, 10> kDigitGlyphs;

} // namespace emu
