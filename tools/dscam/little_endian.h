// Little-endian fields of the file headers the tool writes (BMP, AVI).
#pragma once

#include <cstdint>
#include <vector>

namespace dscam {

inline void put_u16(std::vector<uint8_t> &out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void put_u32(std::vector<uint8_t> &out, uint32_t value) {
  put_u16(out, value & 0xFFFF);
  put_u16(out, value >> 16);
}

} // namespace dscam
