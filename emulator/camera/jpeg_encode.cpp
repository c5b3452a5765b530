// JPEG encoding with libjpeg into memory.
#include "emulator/camera/jpeg_encode.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace emu {

namespace {

// The standard error manager with a way back: a fatal library error jumps to
// the encoder instead of ending the process.
struct EncodeError {
  jpeg_error_mgr mgr;
  std::jmp_buf back;
};

void encode_error_exit(j_common_ptr cinfo) {
  auto *err = reinterpret_cast<EncodeError *>(cinfo->err);
  std::longjmp(err->back, 1);
}

void encode_output_message(j_common_ptr) {}

// Runs the compressor; returns false on a library error. Kept free of C++
// objects with destructors, since a library error leaves through longjmp.
bool compress(jpeg_compress_struct *cinfo, EncodeError *err, const uint8_t *rgb, int width, int height,
              int quality, unsigned char **out, unsigned long *out_size) {
  if (setjmp(err->back) != 0)
    return false;
  jpeg_create_compress(cinfo);
  jpeg_mem_dest(cinfo, out, out_size);
  cinfo->image_width = static_cast<JDIMENSION>(width);
  cinfo->image_height = static_cast<JDIMENSION>(height);
  cinfo->input_components = 3;
  cinfo->in_color_space = JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, quality, TRUE);
  jpeg_start_compress(cinfo, TRUE);
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<size_t>(cinfo->next_scanline) * width * 3);
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  return true;
}

} // namespace

std::vector<uint8_t> jpeg_encode_rgb(const uint8_t *rgb, int width, int height, int quality) {
  jpeg_compress_struct cinfo{};
  EncodeError err{};
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = encode_error_exit;
  err.mgr.output_message = encode_output_message;
  unsigned char *out = nullptr;
  unsigned long out_size = 0;
  const bool ok = compress(&cinfo, &err, rgb, width, height, quality, &out, &out_size);
  std::vector<uint8_t> jpeg;
  if (ok && out != nullptr)
    jpeg.assign(out, out + out_size);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return jpeg;
}

} // namespace emu
