// Format negotiation through the host: data intersection of callers' ranges
// (each passed in a block of exactly its FormatSize bytes), and verification of
// the formats a pin is set to, with the lines it logs.
#include <climits>
#include <cstring>
#include <functional>

#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/stream/stream_test.h"

using Lines = std::vector<std::string>;

namespace {

class FormatNegotiation : public StreamTest {};

KS_DATARANGE_VIDEO &as_range(std::vector<uint8_t> &bytes) {
  return *reinterpret_cast<KS_DATARANGE_VIDEO *>(bytes.data());
}
KS_DATAFORMAT_VIDEOINFOHEADER &as_format(std::vector<uint8_t> &bytes) {
  return *reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(bytes.data());
}

// A caller's range, one of the published ones changed: intersected with a buffer
// of `buffer` bytes, it gives `status`, `actual` bytes and (on success) the
// caller's video info header with the image size `image`.
struct Intersection {
  const char *what;
  size_t range; // published range: 0 is 320x240, 1 is 160x120
  std::function<void(KS_DATARANGE_VIDEO &)> edit;
  ULONG buffer;
  NTSTATUS status;
  ULONG actual = 0;
  ULONG image = 0;
  const char *line = nullptr; // logged by the driver
  ULONG stream = 0;
  size_t bytes = 0;            // bytes passed, when not FormatSize
  std::vector<uint8_t> tail{}; // bytes appended to the range
};

// A picture of width x height x bits.
std::function<void(KS_DATARANGE_VIDEO &)> picture(LONG width, LONG height, WORD bits = 24) {
  return [=](KS_DATARANGE_VIDEO &range) {
    range.VideoInfoHeader.bmiHeader.biWidth = width;
    range.VideoInfoHeader.bmiHeader.biHeight = height;
    range.VideoInfoHeader.bmiHeader.biBitCount = bits;
  };
}
std::function<void(KS_DATARANGE_VIDEO &)> bitmap_header_size(ULONG size) {
  return [=](KS_DATARANGE_VIDEO &range) { range.VideoInfoHeader.bmiHeader.biSize = size; };
}

// Makes sure a caller's range yields the format of its own video info header
// with the image size computed (never overflowing 32 bits), in the sizes the
// class driver asks for, that other ranges, streams and ranges too short for what
// they claim match nothing without a read past their bytes, and that the two
// ranges are offered 320x240 first. Catches a 151-byte buffer written past, a
// range's 48 + biSize bytes copied from a shorter block, or the ranges swapped.
TEST_F(FormatNegotiation, IntersectionBuildsTheCallersFormat) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  const char *const no_match = "STATUS_NO_MATCH\n";
  const Intersection cases[] = {
      {"large", 0, {}, 152, STATUS_SUCCESS, 152, 230400, "Specifier 05589F80-C356-11CE-BF0100AA0055595A\n"},
      {"small, own header", 1,
       [](auto &r) {
         r.VideoInfoHeader.bmiHeader.biSizeImage = 0;
         r.DataRange.SampleSize = 1;
         r.VideoInfoHeader.rcSource = RECT{1, 2, 3, 4};
       },
       152, STATUS_SUCCESS, 152, 57600},
      {"size query", 1, {}, 0, STATUS_BUFFER_OVERFLOW, 152},
      {"buffer one byte short", 1, {}, 151, STATUS_BUFFER_TOO_SMALL},
      {"buffer of 4 bytes", 1, {}, 4, STATUS_BUFFER_TOO_SMALL},
      {"top-down", 0, picture(320, -240), 152, STATUS_SUCCESS, 152, 230400},
      {"rows padded", 1, picture(321, 1), 152, STATUS_SUCCESS, 152, 964},
      {"no pixels", 1, picture(0, 240), 152, STATUS_SUCCESS, 152, 0},
      {"just below 2^32", 1, picture(65536, 16383, 32), 152, STATUS_SUCCESS, 152, 4294705152u},
      {"2^32", 1, picture(65536, 16384, 32), 152, STATUS_NO_MATCH},
      {"row beyond 32 bits", 1, picture(INT_MAX, 120, 0xFFFF), 152, STATUS_NO_MATCH},
      {"2^31 rows", 1, picture(160, INT_MIN), 152, STATUS_NO_MATCH},
      {"negative width", 1, picture(-160, 120), 152, STATUS_NO_MATCH, 0, 0,
       "AdapterGetDataInterSection image size out of range -160 x 120\n"},
      {"YUY2", 1, [](auto &r) { r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_YUY2; }, 152, STATUS_NO_MATCH, 0,
       0, no_match},
      {"other frame intervals", 1, [](auto &r) { r.ConfigCaps.MaxFrameInterval = 333333; }, 152,
       STATUS_NO_MATCH},
      {"temporal compression", 1, [](auto &r) { r.bTemporalCompression = FALSE; }, 152, STATUS_NO_MATCH},
      {"stream 1",
       1,
       {},
       152,
       STATUS_NO_MATCH,
       0,
       0,
       "AdapterGetDataInterSection Invalid StreamNumber 00000001\n",
       1},
      {"FormatSize short of the header", 1, [](auto &r) { r.DataRange.FormatSize = 200; }, 512,
       STATUS_NO_MATCH, 0, 0, "AdapterGetDataInterSection DataRange too short 000000C8\n"},
      {"bitmap header past the range", 1, bitmap_header_size(41), 512, STATUS_NO_MATCH},
      {"bitmap header of 4 GB", 1, bitmap_header_size(0xFFFFFFF0u), 512, STATUS_NO_MATCH},
      {"bitmap header too short", 1, bitmap_header_size(39), 512, STATUS_NO_MATCH},
      {"long bitmap header",
       1,
       [](auto &r) {
         r.VideoInfoHeader.bmiHeader.biSize = 44;
         r.DataRange.FormatSize = 300;
       },
       156,
       STATUS_SUCCESS,
       156,
       57600,
       nullptr,
       0,
       0,
       {0xA1, 0xA2, 0xA3, 0xA4}},
      {"bytes short of FormatSize (host)", 1, {}, 152, STATUS_INVALID_PARAMETER, 0, 0, nullptr, 0, 100},
      {"bytes short of a range (host)", 1, {}, 152, STATUS_INVALID_PARAMETER, 0, 0, nullptr, 0, 10},
  };
  const auto ranges = rig_.adapter().data_ranges(0);
  ASSERT_EQ(ranges.size(), 2u);
  for (const Intersection &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> range = ranges[c.range];
    if (c.edit)
      c.edit(as_range(range));
    range.insert(range.end(), c.tail.begin(), c.tail.end());
    const ULONG bytes = c.bytes != 0 ? static_cast<ULONG>(c.bytes) : as_range(range).DataRange.FormatSize;
    std::vector<uint8_t> format;
    ULONG actual = 0;
    clear_log();
    EXPECT_EQ(
        rig_.adapter().intersect_once(c.stream, std::span(range).first(bytes), c.buffer, format, &actual),
        c.status);
    EXPECT_EQ(actual, c.actual);
    if (c.line != nullptr) {
      EXPECT_EQ(log_count(c.line), 1u);
    }
    if (c.status != STATUS_SUCCESS)
      continue;
    ASSERT_EQ(format.size(), c.actual);
    EXPECT_EQ(as_format(format).DataFormat.FormatSize, c.actual);
    EXPECT_EQ(as_format(format).DataFormat.SampleSize, c.image);
    EXPECT_TRUE(IsEqualGUID(as_format(format).DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_RGB24));
    KS_VIDEOINFOHEADER expected = as_range(range).VideoInfoHeader;
    expected.bmiHeader.biSizeImage = c.image;
    EXPECT_EQ(std::memcmp(&as_format(format).VideoInfoHeader, &expected, sizeof(expected)), 0);
    EXPECT_TRUE(std::equal(c.tail.begin(), c.tail.end(), format.end() - static_cast<long>(c.tail.size())));
  }
}

// The lines the driver logs for the video info header of a format it verifies.
Lines requested_lines(const char *rects, const char *bit_rate, const char *size, const char *image) {
  const std::string header = "VIDEOINFOHEADER:Requested ";
  return {"AdapterVerifyFormat\n",
          header + "rcSource = " + rects + "\n",
          header + "rcTarget = " + rects + "\n",
          header + "dwBitRate, AvgTimePerFrame = " + bit_rate + ", 666666\n",
          header + "BMP biSize = 40\n",
          header + "BMP biWidth,Height = " + size + "\n",
          header + "BMP biPlane,biBitCount= 1, 24\n",
          header + "BMP biCompression,biSizeImage = 0, " + image + "\n",
          header + "BMP biXPelsPerMeter,biYPelsPerMeter = 0, 0\n",
          header + "BMP biClrUsed,biClrImportant= 0, 0\n"};
}

// Lines `wanted` appear in `lines` in this order.
bool in_order(const Lines &lines, const Lines &wanted) {
  auto next = lines.begin();
  for (const std::string &line : wanted) {
    next = std::find(next, lines.end(), line);
    if (next == lines.end())
      return false;
    ++next;
  }
  return true;
}

// A format of the pin, made by intersection and changed: set on the open pin,
// it gives `status` and logs `lines` in this order (`count` lines in all, when
// not -1).
struct Verification {
  const char *what;
  LONG width;
  LONG height;
  std::function<void(std::vector<uint8_t> &)> edit;
  NTSTATUS status;
  Lines lines;
  int count = -1;
};

std::function<void(std::vector<uint8_t> &)> cut_to(ULONG size) {
  return [=](std::vector<uint8_t> &format) {
    format.resize(size);
    as_format(format).DataFormat.FormatSize = size;
  };
}

// Makes sure a format set on the pin is accepted exactly when it fits a range by
// width, height (or the same picture top-down) and image size, tried 320x240
// first, with the lines the log shows; that one too short for its video info
// header is refused unread; and that a refused format leaves the stored one.
// Catches 160x120 refused because 320x240 is tried first, the ranges swapped,
// or a bitmap header read past a short format.
TEST_F(FormatNegotiation, VerificationAcceptsFormatsThatFitARange) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  const std::string mismatch = "***Error**:Format mismatch ";
  const std::string refused = "SRB_SET_DATA_FORMAT NO MATCH\n";
  Lines small = requested_lines("(0,0) - (0,0)", "864000", "160, 120", "57600");
  small.push_back(mismatch + "WorH Requested (160x120) Available(320x240)\n");
  small.push_back("BITMAP SIZE 160x120x24\n");
  const Lines too_short{"SRB_SET_DATA_FORMAT\n", "AdapterVerifyFormat\n",
                        "AdapterVerifyFormat format too short 00000097\n", refused};
  auto header = [](auto edit) {
    return [=](std::vector<uint8_t> &format) { edit(as_format(format).VideoInfoHeader.bmiHeader); };
  };
  const Verification cases[] = {
      {"small", 160, 120, {}, STATUS_SUCCESS, small},
      {"top-down",
       320,
       -240,
       {},
       STATUS_SUCCESS,
       {mismatch + "WorH Requested (320x-240) Available(320x240)\n"}},
      {"top-down without image size",
       320,
       -240,
       header([](auto &b) { b.biSizeImage = 0; }),
       STATUS_NO_MATCH,
       {mismatch + "WorH Requested (320x-240) Available(320x240)\n",
        mismatch + "Size Requested(0) Available(230400)\n",
        mismatch + "WorH Requested (320x-240) Available(160x120)\n", refused}},
      {"YUY2",
       320,
       240,
       [](std::vector<uint8_t> &f) { as_format(f).DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_YUY2; },
       STATUS_NO_MATCH,
       {"SRB_SET_DATA_FORMAT\n", refused},
       12}, // the header and the refusal only
      {"wider", 320, 240, header([](auto &b) { b.biWidth = 640; }), STATUS_NO_MATCH, {refused}},
      {"one byte short", 320, 240, cut_to(151), STATUS_NO_MATCH, too_short, 4},
      {"bitmap header past the format",
       320,
       240,
       header([](auto &b) { b.biSize = 41; }),
       STATUS_NO_MATCH,
       {refused}},
      {"bitmap header too short",
       320,
       240,
       header([](auto &b) { b.biSize = 24; }),
       STATUS_NO_MATCH,
       {refused}},
      {"format header alone", 320, 240, cut_to(64), STATUS_NO_MATCH, {refused}},
      {"shorter than a format header (host)", 320, 240, cut_to(40), STATUS_INVALID_PARAMETER, {}, 0},
  };
  for (const Verification &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> format;
    ASSERT_EQ(streamclass::video_format(rig_.adapter(), 0, c.width, c.height, format), STATUS_SUCCESS);
    if (c.edit)
      c.edit(format);
    clear_log();
    EXPECT_EQ(rig_.pin().set_format(format), c.status);
    EXPECT_TRUE(in_order(log(), c.lines)) << testing::PrintToString(log());
    if (c.count >= 0) {
      EXPECT_EQ(log().size(), static_cast<size_t>(c.count));
    }
  }
  STREAM_FORMAT_SNAPSHOT stored;
  ASSERT_TRUE(StreamGetFormatSnapshot(&stream(), &stored));
  EXPECT_EQ(stored.VideoInfoHeader.bmiHeader.biHeight, -240) << "the last accepted format stays";
}

} // namespace
