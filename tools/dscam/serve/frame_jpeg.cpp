// Frames to JPEG with libjpeg into memory. The library's errors end the
// encoding through the error manager's jump; it writes no messages.
#include "tools/dscam/serve/frame_jpeg.h"

#include <csetjmp>
#include <cstdlib>

#include <jpeglib.h>

namespace dscam {
namespace {

// libjpeg's error manager with the place to jump back to.
struct JumpingErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void jump_back(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JumpingErrors *>(info->err)->jump, 1);
}

void no_message(j_common_ptr) {}

// The compression proper, free of objects with destructors since a library
// error leaves through longjmp. A bottom-up frame is read from its last row.
bool compress(jpeg_compress_struct *info, JumpingErrors *errors, const FrameImage &image, int quality,
              unsigned char **out, unsigned long *size) {
  if (setjmp(errors->jump) != 0)
    return false;
  jpeg_create_compress(info);
  jpeg_mem_dest(info, out, size);
  info->image_width = static_cast<JDIMENSION>(image.width);
  info->image_height = static_cast<JDIMENSION>(image.height);
  info->input_components = 3;
  info->in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(info);
  jpeg_set_quality(info, quality, TRUE);
  jpeg_start_compress(info, TRUE);
  while (info->next_scanline < info->image_height) {
    const size_t row = image.top_down ? info->next_scanline : image.height - 1 - info->next_scanline;
    JSAMPROW pixels = const_cast<JSAMPROW>(image.bgr.data() + row * image.pitch());
    jpeg_write_scanlines(info, &pixels, 1);
  }
  jpeg_finish_compress(info);
  return true;
}

} // namespace

std::vector<uint8_t> frame_to_jpeg(const FrameImage &image, int quality) {
  std::vector<uint8_t> jpeg;
  if (image.width <= 0 || image.height <= 0 || image.bgr.size() < image.bytes())
    return jpeg;
  jpeg_compress_struct info{};
  JumpingErrors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jump_back;
  errors.manager.output_message = no_message;
  unsigned char *buffer = nullptr; // the library's, freed here
  unsigned long size = 0;
  if (compress(&info, &errors, image, quality, &buffer, &size) && buffer != nullptr)
    jpeg.assign(buffer, buffer + size);
  jpeg_destroy_compress(&info);
  std::free(buffer);
  return jpeg;
}

} // namespace dscam
