// The driver's memory data source as the JPEG library drives it.
#include <algorithm>
#include <cstdio>

#include <jpeglib.h>

#include "image/image.h"
#include "tests/support/rig_test.h"

namespace {

class JpegSourceTest : public RigTest {};

// Makes sure skips stay within the picture (a negative count moves nothing, a
// long one stops at the end), every refill past the end is an end-of-image marker
// as often as asked, and a second installation keeps the source record and starts
// at the new picture (none at all: at once at the marker). Catches a read position
// moved back or past the picture, a source that fails or suspends at the end, a
// fresh record per call.
TEST_F(JpegSourceTest, SkipsRefillsAndReinstallation) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  const UCHAR picture[8] = {0xFF, 0xD8, 1, 2, 3, 4, 5, 6};
  jpeg_memory_src(&cinfo, picture, sizeof picture);
  jpeg_source_mgr *src = cinfo.src;
  ASSERT_NE(src, nullptr);
  for (long count : {0L, -1L, -1000L, 3L, 1000000L}) {
    SCOPED_TRACE(count);
    const size_t before = sizeof picture - src->bytes_in_buffer;
    src->skip_input_data(&cinfo, count);
    const size_t at = count <= 0 ? before : std::min(before + count, sizeof picture);
    EXPECT_EQ(src->next_input_byte, picture + at);
    EXPECT_EQ(src->bytes_in_buffer, sizeof picture - at);
  }
  for (int call = 0; call < 3; ++call) {
    EXPECT_EQ(src->fill_input_buffer(&cinfo), TRUE);
    ASSERT_EQ(src->bytes_in_buffer, 2u);
    EXPECT_EQ(src->next_input_byte[0], 0xFF);
    EXPECT_EQ(src->next_input_byte[1], 0xD9);
    src->next_input_byte += 2; // the library consumed the marker
    src->bytes_in_buffer = 0;
  }
  EXPECT_EQ(err.num_warnings, 0);
  jpeg_memory_src(&cinfo, picture + 2, 4);
  EXPECT_EQ(cinfo.src, src);
  EXPECT_EQ(src->next_input_byte, picture + 2);
  EXPECT_EQ(src->bytes_in_buffer, 4u);
  jpeg_memory_src(&cinfo, nullptr, 100);
  EXPECT_EQ(src->bytes_in_buffer, 0u);
  jpeg_destroy_decompress(&cinfo);
}

} // namespace
