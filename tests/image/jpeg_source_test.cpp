// The memory data source as the JPEG library drives it: skips, the
// end-of-image marker supplied when the picture is used up, and a second
// installation on the same decompressor.
#include <cstdio>

#include <jpeglib.h>

#include "image/image.h"
#include "tests/support/platform_test.h"

namespace {

class JpegSourceTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
    cinfo_.err = jpeg_std_error(&err_);
    jpeg_create_decompress(&cinfo_);
  }
  void TearDown() override {
    jpeg_destroy_decompress(&cinfo_);
    PlatformTest::TearDown();
  }

  jpeg_decompress_struct cinfo_{};
  jpeg_error_mgr err_{};
  const UCHAR picture_[8] = {0xFF, 0xD8, 1, 2, 3, 4, 5, 6};
};

} // namespace

// Skips move within the picture only: catches a negative count moving the
// read position back, and a long skip running past the picture's end.
TEST_F(JpegSourceTest, SkipsStayWithinThePicture) {
  jpeg_memory_src(&cinfo_, picture_, sizeof(picture_));
  jpeg_source_mgr *src = cinfo_.src;
  ASSERT_NE(src, nullptr);
  EXPECT_EQ(src->next_input_byte, picture_);
  EXPECT_EQ(src->bytes_in_buffer, sizeof(picture_));

  for (long count : {0L, -1L, -1000L}) {
    src->skip_input_data(&cinfo_, count);
    EXPECT_EQ(src->next_input_byte, picture_);
    EXPECT_EQ(src->bytes_in_buffer, sizeof(picture_));
  }
  VTJPEG_skip_input_data(&cinfo_, 3);
  EXPECT_EQ(src->next_input_byte, picture_ + 3);
  EXPECT_EQ(src->bytes_in_buffer, sizeof(picture_) - 3);
  VTJPEG_skip_input_data(&cinfo_, 1000000);
  EXPECT_EQ(src->next_input_byte, picture_ + sizeof(picture_));
  EXPECT_EQ(src->bytes_in_buffer, 0u);
}

// Once the picture is used up every refill is an end-of-image marker, as
// often as asked: catches a source that fails or suspends at the end.
TEST_F(JpegSourceTest, EndOfImageMarkerAsOftenAsAsked) {
  jpeg_memory_src(&cinfo_, picture_, sizeof(picture_));
  jpeg_source_mgr *src = cinfo_.src;
  EXPECT_EQ(src->fill_input_buffer, VTJPEG_fill_input_buffer);
  EXPECT_EQ(src->skip_input_data, VTJPEG_skip_input_data);
  EXPECT_EQ(src->resync_to_restart, jpeg_resync_to_restart);
  for (int call = 0; call < 3; ++call) {
    EXPECT_EQ(src->fill_input_buffer(&cinfo_), TRUE);
    ASSERT_EQ(src->bytes_in_buffer, 2u);
    EXPECT_EQ(src->next_input_byte[0], 0xFF);
    EXPECT_EQ(src->next_input_byte[1], 0xD9);
    // The library consumed the marker: refill again.
    src->next_input_byte += 2;
    src->bytes_in_buffer = 0;
  }
  EXPECT_EQ(err_.num_warnings, 0);
}

// A second installation keeps the source record and starts at the new
// picture: catches a fresh record per call and a stale read position.
TEST_F(JpegSourceTest, SecondInstallationKeepsTheRecord) {
  jpeg_memory_src(&cinfo_, picture_, sizeof(picture_));
  jpeg_source_mgr *first = cinfo_.src;
  VTJPEG_skip_input_data(&cinfo_, 5);
  jpeg_memory_src(&cinfo_, picture_ + 2, 4);
  EXPECT_EQ(cinfo_.src, first);
  EXPECT_EQ(cinfo_.src->next_input_byte, picture_ + 2);
  EXPECT_EQ(cinfo_.src->bytes_in_buffer, 4u);
  // No picture at all: the first read gets the end-of-image marker.
  jpeg_memory_src(&cinfo_, nullptr, 100);
  EXPECT_EQ(cinfo_.src->bytes_in_buffer, 0u);
}
