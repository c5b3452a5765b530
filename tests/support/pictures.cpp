// Test pictures made and decoded with libjpeg directly.
#include "tests/support/pictures.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "emulator/camera/picture_source.h"

namespace rig {

namespace {

struct TestError {
  jpeg_error_mgr mgr;
  std::jmp_buf back;
};

[[noreturn]] void test_error_exit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<TestError *>(cinfo->err)->back, 1);
}

void test_output_message(j_common_ptr) {}

// Pixel content with detail at every scale: gradients, vertical bars of
// changing colour and a little seeded noise.
std::vector<uint8_t> render(const PictureOptions &o) {
  const int components = o.cmyk ? 4 : (o.grayscale ? 1 : 3);
  std::vector<uint8_t> pixels(static_cast<size_t>(o.width) * o.height * components);
  uint32_t noise = o.seed * 2654435761u + 1;
  size_t i = 0;
  for (int y = 0; y < o.height; ++y) {
    for (int x = 0; x < o.width; ++x) {
      noise = noise * 1664525u + 1013904223u;
      const int n = static_cast<int>(noise >> 28);
      const int bar = ((x / 20) + static_cast<int>(o.seed)) % 6;
      const int v[4] = {(x * 255 / (o.width > 1 ? o.width - 1 : 1) + n) & 0xFF,
                        (y * 255 / (o.height > 1 ? o.height - 1 : 1) + 3 * n) & 0xFF, (bar * 50 + n) & 0xFF,
                        (x + y) & 0xFF};
      for (int c = 0; c < components; ++c)
        pixels[i++] = static_cast<uint8_t>(v[c]);
    }
  }
  return pixels;
}

// Sets the compressor up for the options; called between set_defaults and
// start_compress.
void apply_options(jpeg_compress_struct *cinfo, const PictureOptions &o) {
  jpeg_set_quality(cinfo, o.quality, TRUE);
  if (!o.grayscale && !o.cmyk) {
    const int factor = o.subsample ? 2 : 1;
    cinfo->comp_info[0].h_samp_factor = factor;
    cinfo->comp_info[0].v_samp_factor = factor;
    cinfo->comp_info[1].h_samp_factor = cinfo->comp_info[1].v_samp_factor = 1;
    cinfo->comp_info[2].h_samp_factor = cinfo->comp_info[2].v_samp_factor = 1;
  }
  cinfo->restart_in_rows = o.restart_rows;
  if (o.progressive)
    jpeg_simple_progression(cinfo);
}

bool compress(jpeg_compress_struct *cinfo, TestError *err, const PictureOptions &o, const uint8_t *pixels,
              unsigned char **out, unsigned long *out_size) {
  if (setjmp(err->back) != 0)
    return false;
  jpeg_create_compress(cinfo);
  jpeg_mem_dest(cinfo, out, out_size);
  cinfo->image_width = static_cast<JDIMENSION>(o.width);
  cinfo->image_height = static_cast<JDIMENSION>(o.height);
  cinfo->input_components = o.cmyk ? 4 : (o.grayscale ? 1 : 3);
  cinfo->in_color_space = o.cmyk ? JCS_CMYK : (o.grayscale ? JCS_GRAYSCALE : JCS_RGB);
  jpeg_set_defaults(cinfo);
  apply_options(cinfo, o);
  jpeg_start_compress(cinfo, TRUE);
  const size_t stride = static_cast<size_t>(o.width) * cinfo->input_components;
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(pixels + cinfo->next_scanline * stride);
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  return true;
}

bool decompress(jpeg_decompress_struct *cinfo, TestError *err, const std::vector<uint8_t> &jpeg, bool half,
                Decoded *out) {
  if (setjmp(err->back) != 0)
    return false;
  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(cinfo, TRUE);
  cinfo->scale_num = 1;
  cinfo->scale_denom = half ? 2 : 1;
  cinfo->out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(cinfo);
  out->width = static_cast<int>(cinfo->output_width);
  out->height = static_cast<int>(cinfo->output_height);
  out->bgr.assign(static_cast<size_t>(out->width) * out->height * 3, 0);
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = out->bgr.data() + static_cast<size_t>(cinfo->output_scanline) * out->width * 3;
    jpeg_read_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

} // namespace

std::vector<uint8_t> make_picture(const PictureOptions &options) {
  const std::vector<uint8_t> pixels = render(options);
  jpeg_compress_struct cinfo{};
  TestError err{};
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = test_error_exit;
  err.mgr.output_message = test_output_message;
  unsigned char *out = nullptr;
  unsigned long out_size = 0;
  std::vector<uint8_t> jpeg;
  if (compress(&cinfo, &err, options, pixels.data(), &out, &out_size) && out != nullptr)
    jpeg.assign(out, out + out_size);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return jpeg;
}

Decoded reference_decode(const std::vector<uint8_t> &jpeg, bool half_scale) {
  jpeg_decompress_struct cinfo{};
  TestError err{};
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = test_error_exit;
  err.mgr.output_message = test_output_message;
  Decoded decoded;
  decoded.ok = decompress(&cinfo, &err, jpeg, half_scale, &decoded);
  jpeg_destroy_decompress(&cinfo);
  return decoded;
}

std::string describe(const PictureOptions &o) {
  std::string text =
      std::to_string(o.width) + "x" + std::to_string(o.height) + " q" + std::to_string(o.quality);
  text += o.cmyk ? " cmyk" : (o.grayscale ? " grey" : (o.subsample ? " 4:2:0" : " 4:4:4"));
  if (o.progressive)
    text += " progressive";
  if (o.restart_rows != 0)
    text += " restart" + std::to_string(o.restart_rows);
  return text;
}

std::vector<uint8_t> reference_frame(const std::vector<uint8_t> &jpeg, bool half_scale, bool top_down) {
  const Decoded decoded = reference_decode(jpeg, half_scale);
  if (!decoded.ok)
    return {};
  const size_t row_bytes = static_cast<size_t>(decoded.width) * 3;
  const size_t pitch = (static_cast<size_t>(decoded.width) * 24 + 31) / 32 * 4;
  const size_t rows = static_cast<size_t>(decoded.height);
  std::vector<uint8_t> frame(pitch * rows, 0);
  for (size_t index = 0; index < rows; ++index)
    std::memcpy(frame.data() + (top_down ? index : rows - 1 - index) * pitch,
                decoded.row(static_cast<int>(index)), row_bytes);
  return frame;
}

std::vector<std::vector<uint8_t>> prerendered_pictures(unsigned count, int quality) {
  std::vector<std::vector<uint8_t>> pictures;
  for (unsigned i = 0; i < std::max(1u, count); ++i) {
    emu::SceneView view;
    view.tick = i;
    view.number = i + 1;
    view.focused = true;
    pictures.push_back(emu::scene_picture(view, quality));
  }
  return pictures;
}

} // namespace rig
