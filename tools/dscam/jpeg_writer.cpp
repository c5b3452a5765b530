// JPEG files of captured frames, encoded with libjpeg into memory: baseline,
// quality 90, the library's default 4:2:0 chroma. The library's errors end the
// encoding through the error manager's jump; it writes no messages.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include "tools/dscam/image_writer.h"

namespace dscam {
namespace {

constexpr int kQuality = 90;

// libjpeg's error manager with the place to jump back to.
struct JumpingErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void jump_back(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JumpingErrors *>(info->err)->jump, 1);
}

void no_message(j_common_ptr) {}

// The compression proper; the caller has set the jump.
void compress(jpeg_compress_struct &info, const std::vector<uint8_t> &rgb, const FrameImage &image) {
  info.image_width = static_cast<JDIMENSION>(image.width);
  info.image_height = static_cast<JDIMENSION>(image.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, kQuality, TRUE);
  jpeg_start_compress(&info, TRUE);
  const size_t row_bytes = static_cast<size_t>(image.width) * 3;
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPLE *>(rgb.data() + info.next_scanline * row_bytes);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
}

} // namespace

std::vector<uint8_t> encode_jpeg(const FrameImage &image) {
  const std::vector<uint8_t> rgb = rgb_top_down(image);
  std::vector<uint8_t> out;
  if (rgb.empty())
    return out;
  jpeg_compress_struct info{};
  JumpingErrors errors{};
  unsigned char *buffer = nullptr; // the library's, freed here
  unsigned long size = 0;
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jump_back;
  errors.manager.output_message = no_message;
  if (setjmp(errors.jump) == 0) {
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &buffer, &size);
    compress(info, rgb, image);
    out.assign(buffer, buffer + size);
  }
  jpeg_destroy_compress(&info);
  std::free(buffer);
  return out;
}

} // namespace dscam
