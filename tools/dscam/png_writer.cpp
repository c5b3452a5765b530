// PNG files without a compression library: the image data is a zlib stream of
// stored (uncompressed) deflate blocks, each at most 65,535 bytes, with its
// Adler-32; every chunk carries its CRC-32. Larger than a compressed PNG, but
// exact and simple.
#include <array>

#include "tools/dscam/image_writer.h"

namespace dscam {
namespace {

// CRC-32 (polynomial 0xEDB88320) as PNG chunks use it.
uint32_t crc32(const uint8_t *data, size_t size, uint32_t crc = 0) {
  static const std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
    return table;
  }();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i)
    crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

// Adler-32 of the uncompressed data, the zlib stream's trailer.
uint32_t adler32(const std::vector<uint8_t> &data) {
  uint32_t a = 1;
  uint32_t b = 0;
  for (uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

void put_be32(std::vector<uint8_t> &out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(value >> shift));
}

// Appends a chunk: length, type, data, CRC of type and data.
void put_chunk(std::vector<uint8_t> &out, const char type[4], const std::vector<uint8_t> &data) {
  put_be32(out, static_cast<uint32_t>(data.size()));
  const size_t type_at = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  put_be32(out, crc32(out.data() + type_at, 4 + data.size()));
}

// A zlib stream of stored deflate blocks holding `raw`.
std::vector<uint8_t> zlib_stored(const std::vector<uint8_t> &raw) {
  constexpr size_t kBlock = 65535;
  std::vector<uint8_t> out = {0x78, 0x01}; // deflate, 32 KB window, no dictionary, check bits
  size_t offset = 0;
  do {
    const size_t length = std::min(kBlock, raw.size() - offset);
    const bool last = offset + length == raw.size();
    out.push_back(last ? 1 : 0); // BFINAL, BTYPE 00 (stored)
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(~length));
    out.push_back(static_cast<uint8_t>(~length >> 8));
    out.insert(out.end(), raw.begin() + static_cast<ptrdiff_t>(offset),
               raw.begin() + static_cast<ptrdiff_t>(offset + length));
    offset += length;
  } while (offset < raw.size());
  put_be32(out, adler32(raw));
  return out;
}

} // namespace

std::vector<uint8_t> encode_png(const FrameImage &image) {
  const std::vector<uint8_t> rgb = rgb_top_down(image);
  if (rgb.empty())
    return {};
  const size_t row_bytes = static_cast<size_t>(image.width) * 3;
  // Each scanline starts with its filter type, 0 (none).
  std::vector<uint8_t> raw;
  raw.reserve(rgb.size() + static_cast<size_t>(image.height));
  for (size_t row = 0; row < static_cast<size_t>(image.height); ++row) {
    raw.push_back(0);
    raw.insert(raw.end(), rgb.begin() + static_cast<ptrdiff_t>(row * row_bytes),
               rgb.begin() + static_cast<ptrdiff_t>((row + 1) * row_bytes));
  }
  std::vector<uint8_t> header;
  put_be32(header, static_cast<uint32_t>(image.width));
  put_be32(header, static_cast<uint32_t>(image.height));
  header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits, truecolour, deflate, filter 0, no interlace
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  put_chunk(out, "IHDR", header);
  put_chunk(out, "IDAT", zlib_stored(raw));
  put_chunk(out, "IEND", {});
  return out;
}

} // namespace dscam
