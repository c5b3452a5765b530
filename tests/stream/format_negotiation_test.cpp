// Format negotiation: data intersection through the host (SRB_GET_DATA_INTERSECTION
// with the caller's range in a block of exactly its FormatSize bytes), and format
// verification with the lines it logs.
#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/streamclass/ks_guids.h"
#include "tests/stream/stream_harness.h"
#include "tests/support/log_tap.h"

using namespace streamclass;
using streamharness::bytes_of;

namespace {

class FormatNegotiation : public StreamHost {
protected:
  // A caller's range equal to one of the stream's ranges.
  static KS_DATARANGE_VIDEO range_like(const KS_DATARANGE_VIDEO &offered) { return offered; }

  // Intersects once with a buffer of `size` bytes.
  NTSTATUS intersect(const KS_DATARANGE_VIDEO &range, ULONG size, std::vector<uint8_t> &format, ULONG *actual,
                     ULONG stream = 0) {
    return adapter_->intersect_once(stream, bytes_of(range), size, format, actual);
  }

  // The lines AdapterVerifyFormat logs for `format`, and its answer.
  std::vector<std::string> verify_lines(const std::vector<uint8_t> &format, BOOLEAN *accepted,
                                        ULONG stream = 0) {
    log_->clear();
    *accepted = AdapterVerifyFormat(reinterpret_cast<const KSDATAFORMAT *>(format.data()), stream);
    return log_->lines();
  }
};

const KS_DATAFORMAT_VIDEOINFOHEADER &as_format(const std::vector<uint8_t> &bytes) {
  return *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(bytes.data());
}

// Data intersection: makes sure a matching range yields the 152-byte format with
// the image size computed from the caller's own bitmap header, that the size query
// and the buffer checks answer as the class driver expects, and that ranges of
// other subtypes match nothing. Example failure: a 151-byte buffer written past its
// end, or the 320x240 range chosen for a 160x120 caller.

TEST_F(FormatNegotiation, SmallRangeMatchesTheSecondFormatAs152Bytes) {
  ASSERT_NO_FATAL_FAILURE(start());
  KS_DATARANGE_VIDEO range = range_like(StreamFormatRGB24Bpp_Capture2);
  range.VideoInfoHeader.bmiHeader.biSizeImage = 0; // rewritten by the intersection
  range.DataRange.SampleSize = 1;
  range.VideoInfoHeader.rcSource = RECT{1, 2, 3, 4}; // passes through
  std::vector<uint8_t> format;
  ULONG actual = 0;
  ASSERT_EQ(intersect(range, 152, format, &actual), STATUS_SUCCESS);
  EXPECT_EQ(actual, 152u);
  ASSERT_EQ(format.size(), 152u);
  const KS_DATAFORMAT_VIDEOINFOHEADER &result = as_format(format);
  EXPECT_EQ(result.DataFormat.FormatSize, 152u);
  EXPECT_EQ(result.DataFormat.SampleSize, 57600u);
  EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biSizeImage, 57600u);
  EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biWidth, 160);
  EXPECT_EQ(result.VideoInfoHeader.rcSource.bottom, 4);
  EXPECT_TRUE(IsEqualGUID(result.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_RGB24));
  EXPECT_EQ(result.VideoInfoHeader.AvgTimePerFrame, 666666);
  // The specifier line is the only one at the level that is passed on.
  EXPECT_TRUE(log_->contains("Specifier 05589F80-C356-11CE-BF0100AA0055595A\n"));
}

TEST_F(FormatNegotiation, BufferSizesZeroTooSmallAndExact) {
  ASSERT_NO_FATAL_FAILURE(start());
  KS_DATARANGE_VIDEO range = range_like(StreamFormatRGB24Bpp_Capture2);
  std::vector<uint8_t> format;
  ULONG actual = 0;
  EXPECT_EQ(intersect(range, 0, format, &actual), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(actual, 152u);
  actual = 0;
  EXPECT_EQ(intersect(range, 151, format, &actual), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(actual, 0u);
  EXPECT_EQ(intersect(range, 4, format, &actual), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(intersect(range, 152, format, &actual), STATUS_SUCCESS);
  EXPECT_EQ(actual, 152u);
  // The host's two-step form: the size first, then the format.
  format.clear();
  EXPECT_EQ(adapter_->intersect(0, bytes_of(range), format), STATUS_SUCCESS);
  EXPECT_EQ(format.size(), 152u);
}

TEST_F(FormatNegotiation, TopDownRangeKeepsItsSignAndGetsThePositiveImageSize) {
  ASSERT_NO_FATAL_FAILURE(start());
  KS_DATARANGE_VIDEO range = range_like(StreamFormatRGB24Bpp_Capture);
  range.VideoInfoHeader.bmiHeader.biHeight = -240;
  range.VideoInfoHeader.bmiHeader.biSizeImage = 0;
  std::vector<uint8_t> format;
  ASSERT_EQ(adapter_->intersect(0, bytes_of(range), format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), 152u);
  EXPECT_EQ(as_format(format).VideoInfoHeader.bmiHeader.biSizeImage, 230400u);
  EXPECT_EQ(as_format(format).DataFormat.SampleSize, 230400u);
  EXPECT_EQ(as_format(format).VideoInfoHeader.bmiHeader.biHeight, -240);
}

TEST_F(FormatNegotiation, YuvRangeMatchesNothing) {
  ASSERT_NO_FATAL_FAILURE(start());
  KS_DATARANGE_VIDEO range = range_like(StreamFormatRGB24Bpp_Capture2);
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_YUY2;
  std::vector<uint8_t> format;
  ULONG actual = 0;
  log_->clear();
  std::vector<std::string> detail;
  {
    test_support::LogTap tap;
    EXPECT_EQ(intersect(range, 152, format, &actual), STATUS_NO_MATCH);
    detail = tap.texts(4);
  }
  EXPECT_EQ(actual, 0u);
  // Both ranges are compared and refused at queue-detail level, which the channel
  // drops; what reaches the log is the specifier and the refusal.
  EXPECT_EQ(std::count(detail.begin(), detail.end(), std::string("CompareFalsed DateRange\n")), 2);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"Specifier 05589F80-C356-11CE-BF0100AA0055595A\n",
                                                   "STATUS_NO_MATCH\n"}));
}

TEST_F(FormatNegotiation, RangeWithOtherCapabilitiesOrStreamMatchesNothing) {
  ASSERT_NO_FATAL_FAILURE(start());
  KS_DATARANGE_VIDEO range = range_like(StreamFormatRGB24Bpp_Capture2);
  range.ConfigCaps.MaxFrameInterval = 333333;
  std::vector<uint8_t> format;
  ULONG actual = 0;
  EXPECT_EQ(intersect(range, 152, format, &actual), STATUS_NO_MATCH);
  range = range_like(StreamFormatRGB24Bpp_Capture2);
  range.bTemporalCompression = FALSE;
  EXPECT_EQ(intersect(range, 152, format, &actual), STATUS_NO_MATCH);
  // Only stream 0 exists.
  log_->clear();
  range = range_like(StreamFormatRGB24Bpp_Capture2);
  EXPECT_EQ(intersect(range, 152, format, &actual, 1), STATUS_NO_MATCH);
  EXPECT_TRUE(log_->contains("AdapterGetDataInterSection Invalid StreamNumber 00000001\n"));
}

// Callers' ranges are untrusted: makes sure a range too short for what it claims,
// or whose picture size does not fit 32 bits, is refused without a read past its
// FormatSize bytes (the host hands them over in a block of exactly that size), and
// that a long bitmap header is copied whole. Example failure: 48 + biSize bytes
// copied from a range that holds fewer.

TEST_F(FormatNegotiation, RangeShorterThanItsVideoInfoHeaderIsRefused) {
  ASSERT_NO_FATAL_FAILURE(start());
  std::vector<uint8_t> format;
  ULONG actual = 0;
  KS_DATARANGE_VIDEO range = range_like(StreamFormatRGB24Bpp_Capture2);
  range.DataRange.FormatSize = 200;
  log_->clear();
  EXPECT_EQ(adapter_->intersect_once(0, bytes_of(range), 512, format, &actual), STATUS_NO_MATCH);
  EXPECT_TRUE(log_->contains("AdapterGetDataInterSection DataRange too short 000000C8\n"));
  EXPECT_TRUE(log_->contains("STATUS_NO_MATCH\n"));

  // A bitmap header that claims one byte more than the range holds.
  range = range_like(StreamFormatRGB24Bpp_Capture2);
  range.VideoInfoHeader.bmiHeader.biSize = 41;
  EXPECT_EQ(intersect(range, 512, format, &actual), STATUS_NO_MATCH);
  range.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0u;
  EXPECT_EQ(intersect(range, 512, format, &actual), STATUS_NO_MATCH);
  range.VideoInfoHeader.bmiHeader.biSize = 39; // shorter than a bitmap header
  EXPECT_EQ(intersect(range, 512, format, &actual), STATUS_NO_MATCH);
}

TEST_F(FormatNegotiation, LongBitmapHeaderIsCopiedWhole) {
  ASSERT_NO_FATAL_FAILURE(start());
  KS_DATARANGE_VIDEO range = range_like(StreamFormatRGB24Bpp_Capture2);
  range.VideoInfoHeader.bmiHeader.biSize = 44;
  range.DataRange.FormatSize = 300;
  std::vector<uint8_t> bytes = bytes_of(range);
  bytes.insert(bytes.end(), {0xA1, 0xA2, 0xA3, 0xA4});
  std::vector<uint8_t> format;
  ULONG actual = 0;
  EXPECT_EQ(adapter_->intersect_once(0, bytes, 0, format, &actual), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(actual, 156u);
  ASSERT_EQ(adapter_->intersect_once(0, bytes, 156, format, &actual), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), 156u);
  EXPECT_EQ(as_format(format).DataFormat.FormatSize, 156u);
  EXPECT_EQ(format[152], 0xA1);
  EXPECT_EQ(format[155], 0xA4);
}

TEST_F(FormatNegotiation, RangeShorterThanAFormatHeaderIsRefused) {
  // The host refuses such a range itself; the driver is called directly here.
  std::vector<uint8_t> bytes(60);
  reinterpret_cast<KSDATARANGE *>(bytes.data())->FormatSize = 60;
  std::vector<uint8_t> buffer(152);
  STREAM_DATA_INTERSECT_INFO info{0, reinterpret_cast<KSDATARANGE *>(bytes.data()), buffer.data(), 152};
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_GET_DATA_INTERSECTION;
  srb.CommandData.IntersectInfo = &info;
  EXPECT_TRUE(AdapterGetDataInterSection(&srb));
  EXPECT_EQ(srb.Status, STATUS_NO_MATCH);
  EXPECT_TRUE(log_->contains("AdapterGetDataInterSection DataRange too short 0000003C\n"));
}

TEST_F(FormatNegotiation, ImageSizeRuleNeverOverflows) {
  ASSERT_NO_FATAL_FAILURE(start());
  struct Case {
    LONG width;
    LONG height;
    WORD bits;
    bool fits;
    ULONG size;
  } const cases[] = {
      {320, 240, 24, true, 230400},
      {321, 1, 24, true, 964},               // 963 bytes padded to 964
      {0, 240, 24, true, 0},                 // no pixels, no bytes
      {65536, 16383, 32, true, 4294705152u}, // just below 2^32
      {65536, 16384, 32, false, 0},          // exactly 2^32
      {INT_MAX, 120, 0xFFFF, false, 0},      // row alone beyond 32 bits
      {160, INT_MIN, 24, false, 0},          // 2^31 rows
      {-160, 120, 24, false, 0},             // no negative widths
  };
  for (const Case &c : cases) {
    KS_DATARANGE_VIDEO range = range_like(StreamFormatRGB24Bpp_Capture2);
    range.VideoInfoHeader.bmiHeader.biWidth = c.width;
    range.VideoInfoHeader.bmiHeader.biHeight = c.height;
    range.VideoInfoHeader.bmiHeader.biBitCount = c.bits;
    std::vector<uint8_t> format;
    ULONG actual = 0;
    NTSTATUS status = intersect(range, 152, format, &actual);
    if (!c.fits) {
      EXPECT_EQ(status, STATUS_NO_MATCH) << c.width << "x" << c.height << "x" << c.bits;
      continue;
    }
    ASSERT_EQ(status, STATUS_SUCCESS) << c.width << "x" << c.height << "x" << c.bits;
    EXPECT_EQ(as_format(format).VideoInfoHeader.bmiHeader.biSizeImage, c.size);
    EXPECT_EQ(as_format(format).DataFormat.SampleSize, c.size);
  }
  EXPECT_TRUE(log_->contains("AdapterGetDataInterSection image size out of range -160 x 120\n"));
}

// Verification: makes sure a format is accepted exactly when it fits a range by
// width, height (or the same picture top-down) and image size, with the lines the
// log shows, and that a format too short for its header is refused unread.
// Example failure: 160x120 refused because the 320x240 range is tried first, or a
// bitmap header read past a 100-byte format.

std::vector<std::string> requested_lines(const char *bit_rate, const char *size, const char *bits,
                                         const char *image, const char *rects) {
  return {"AdapterVerifyFormat\n",
          std::string("VIDEOINFOHEADER:Requested rcSource = ") + rects + "\n",
          std::string("VIDEOINFOHEADER:Requested rcTarget = ") + rects + "\n",
          std::string("VIDEOINFOHEADER:Requested dwBitRate, AvgTimePerFrame = ") + bit_rate + ", 666666\n",
          "VIDEOINFOHEADER:Requested BMP biSize = 40\n",
          std::string("VIDEOINFOHEADER:Requested BMP biWidth,Height = ") + size + "\n",
          std::string("VIDEOINFOHEADER:Requested BMP biPlane,biBitCount= ") + bits + "\n",
          std::string("VIDEOINFOHEADER:Requested BMP biCompression,biSizeImage = 0, ") + image + "\n",
          "VIDEOINFOHEADER:Requested BMP biXPelsPerMeter,biYPelsPerMeter = 0, 0\n",
          "VIDEOINFOHEADER:Requested BMP biClrUsed,biClrImportant= 0, 0\n"};
}

TEST_F(FormatNegotiation, SmallFormatIsVerifiedOnTheSecondRange) {
  auto format = streamharness::format_from_range(StreamFormatRGB24Bpp_Capture2);
  BOOLEAN accepted = FALSE;
  auto lines = verify_lines(format, &accepted);
  EXPECT_TRUE(accepted);
  auto expected = requested_lines("864000", "160, 120", "1, 24", "57600", "(0,0) - (0,0)");
  expected.push_back("***Error**:Format mismatch WorH Requested (160x120) Available(320x240)\n");
  EXPECT_EQ(lines, expected);
}

TEST_F(FormatNegotiation, TopDownFormatIsAcceptedAfterTheSizeMismatchLine) {
  auto format = streamharness::format_from_range(StreamFormatRGB24Bpp_Capture);
  streamharness::video_format(format)->VideoInfoHeader.bmiHeader.biHeight = -240;
  BOOLEAN accepted = FALSE;
  auto lines = verify_lines(format, &accepted);
  EXPECT_TRUE(accepted);
  auto expected = requested_lines("3456000", "320, -240", "1, 24", "230400", "(0,0) - (320,240)");
  expected.push_back("***Error**:Format mismatch WorH Requested (320x-240) Available(320x240)\n");
  EXPECT_EQ(lines, expected);
}

TEST_F(FormatNegotiation, TopDownFormatWithoutImageSizeIsRefused) {
  auto format = streamharness::format_from_range(StreamFormatRGB24Bpp_Capture);
  streamharness::video_format(format)->VideoInfoHeader.bmiHeader.biHeight = -240;
  streamharness::video_format(format)->VideoInfoHeader.bmiHeader.biSizeImage = 0;
  BOOLEAN accepted = TRUE;
  auto lines = verify_lines(format, &accepted);
  EXPECT_FALSE(accepted);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 10, lines.end()),
            (std::vector<std::string>{
                "***Error**:Format mismatch WorH Requested (320x-240) Available(320x240)\n",
                "***Error**:Format mismatch Size Requested(0) Available(230400)\n",
                "***Error**:Format mismatch WorH Requested (320x-240) Available(160x120)\n"}));
}

TEST_F(FormatNegotiation, OtherSizesSubtypesAndStreamsAreRefused) {
  BOOLEAN accepted = TRUE;
  auto format = streamharness::format_from_range(StreamFormatRGB24Bpp_Capture);
  streamharness::video_format(format)->DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_YUY2;
  auto lines = verify_lines(format, &accepted);
  EXPECT_FALSE(accepted);
  EXPECT_EQ(lines.size(), 10u); // the requested header only: no range has the subtype

  format = streamharness::format_from_range(StreamFormatRGB24Bpp_Capture);
  streamharness::video_format(format)->VideoInfoHeader.bmiHeader.biWidth = 640;
  verify_lines(format, &accepted);
  EXPECT_FALSE(accepted);

  format = streamharness::format_from_range(StreamFormatRGB24Bpp_Capture);
  lines = verify_lines(format, &accepted, 1);
  EXPECT_FALSE(accepted);
  EXPECT_EQ(lines.size(), 10u); // logged, then refused for the stream number
}

TEST_F(FormatNegotiation, FormatTooShortForItsHeaderIsRefusedUnread) {
  BOOLEAN accepted = TRUE;
  // 151 bytes: one short of a whole video format. The block is exactly that long.
  auto whole = streamharness::format_from_range(StreamFormatRGB24Bpp_Capture);
  std::vector<uint8_t> format(whole.begin(), whole.begin() + 151);
  streamharness::video_format(format)->DataFormat.FormatSize = 151;
  auto lines = verify_lines(format, &accepted);
  EXPECT_FALSE(accepted);
  EXPECT_EQ(lines, (std::vector<std::string>{"AdapterVerifyFormat\n",
                                             "AdapterVerifyFormat format too short 00000097\n"}));

  // A bitmap header longer than the format holds, or shorter than its fields.
  format = whole;
  streamharness::video_format(format)->VideoInfoHeader.bmiHeader.biSize = 41;
  verify_lines(format, &accepted);
  EXPECT_FALSE(accepted);
  streamharness::video_format(format)->VideoInfoHeader.bmiHeader.biSize = 24;
  verify_lines(format, &accepted);
  EXPECT_FALSE(accepted);

  // A format header alone.
  format.assign(whole.begin(), whole.begin() + 64);
  streamharness::video_format(format)->DataFormat.FormatSize = 64;
  verify_lines(format, &accepted);
  EXPECT_FALSE(accepted);
}

} // namespace
