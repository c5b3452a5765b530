// BMP and PPM files, the pixel reordering they share with PNG, and writing a
// file whole.
#include "tools/dscam/image_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/dscam/little_endian.h"

namespace dscam {
namespace {

// Whether the frame holds all the bytes its size needs.
bool image_usable(const FrameImage &image) {
  return image.width > 0 && image.height > 0 && image.bgr.size() >= image.bytes();
}

} // namespace

std::vector<uint8_t> encode_bmp(const FrameImage &image) {
  if (!image_usable(image))
    return {};
  constexpr uint32_t kHeaders = 14 + 40;
  const uint32_t pixels = static_cast<uint32_t>(image.bytes());
  std::vector<uint8_t> out;
  out.reserve(kHeaders + pixels);
  // BITMAPFILEHEADER
  out.push_back('B');
  out.push_back('M');
  put_u32(out, kHeaders + pixels);
  put_u32(out, 0);
  put_u32(out, kHeaders);
  // BITMAPINFOHEADER: the same header the frame's format carries.
  put_u32(out, 40);
  put_u32(out, static_cast<uint32_t>(image.width));
  put_u32(out, static_cast<uint32_t>(image.top_down ? -image.height : image.height));
  put_u16(out, 1);
  put_u16(out, 24);
  put_u32(out, 0); // BI_RGB
  put_u32(out, pixels);
  put_u32(out, 2835); // 72 dpi
  put_u32(out, 2835);
  put_u32(out, 0);
  put_u32(out, 0);
  out.insert(out.end(), image.bgr.begin(), image.bgr.begin() + pixels);
  return out;
}

std::vector<uint8_t> rgb_top_down(const FrameImage &image) {
  if (!image_usable(image))
    return {};
  const size_t width = static_cast<size_t>(image.width);
  const size_t rows = static_cast<size_t>(image.height);
  std::vector<uint8_t> rgb(width * 3 * rows);
  for (size_t row = 0; row < rows; ++row) {
    const uint8_t *in = image.bgr.data() + (image.top_down ? row : rows - 1 - row) * image.pitch();
    uint8_t *out = rgb.data() + row * width * 3;
    for (size_t x = 0; x < width; ++x) {
      out[3 * x] = in[3 * x + 2];
      out[3 * x + 1] = in[3 * x + 1];
      out[3 * x + 2] = in[3 * x];
    }
  }
  return rgb;
}

std::vector<uint8_t> encode_ppm(const FrameImage &image) {
  std::vector<uint8_t> rgb = rgb_top_down(image);
  if (rgb.empty())
    return {};
  const std::string header =
      "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
  std::vector<uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), rgb.begin(), rgb.end());
  return out;
}

const char *image_extension(ImageFormat format) {
  switch (format) {
  case ImageFormat::Png:
    return "png";
  case ImageFormat::Ppm:
    return "ppm";
  case ImageFormat::Jpeg:
    return "jpg";
  case ImageFormat::Avi:
    return "avi";
  case ImageFormat::Bmp:
    break;
  }
  return "bmp";
}

std::string write_image(ImageFormat format, const std::string &path, const FrameImage &image) {
  std::vector<uint8_t> bytes;
  if (format == ImageFormat::Png)
    bytes = encode_png(image);
  else if (format == ImageFormat::Ppm)
    bytes = encode_ppm(image);
  else if (format == ImageFormat::Jpeg)
    bytes = encode_jpeg(image);
  else
    bytes = encode_bmp(image);
  if (bytes.empty())
    return "frame of " + std::to_string(image.bgr.size()) + " bytes is too short for " +
           std::to_string(image.width) + "x" + std::to_string(image.height);
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr)
    return "cannot write '" + path + "': " + std::strerror(errno);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int saved = errno;
  if (std::fclose(file) != 0 || !written)
    return "cannot write '" + path + "': " + std::strerror(written ? errno : saved);
  return {};
}

} // namespace dscam
