// Format negotiation through the host: data intersection of callers' ranges (each passed in a block of
// exactly its FormatSize bytes), and verification of the formats a pin is set to, with the lines it logs.
#include <climits>
#include <cstring>
#include <functional>

#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/stream/stream_test.h"

using Lines = std::vector<std::string>;

namespace {

class FormatNegotiation : public StreamTest {};

template <typename T> T &as(std::vector<uint8_t> &bytes) {
  return *reinterpret_cast<T *>(bytes.data());
}

// A published range (0 is 320x240, 1 is 160x120) changed by `edit`, with `tail` appended to its bitmap
// header, intersected with a buffer of `buffer` bytes: `status` and, on success, the range's video info
// header with the image size `image`.
struct Intersection {
  const char *what;
  std::function<void(KS_DATARANGE_VIDEO &)> edit = {};
  NTSTATUS status = STATUS_NO_MATCH;
  ULONG image = 0;
  const char *line = nullptr; // logged by the driver
  size_t range = 1;
  ULONG buffer = 152;
  ULONG stream = 0;
  size_t bytes = 0; // passed, when not FormatSize
  std::vector<uint8_t> tail = {};
};

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

// Makes sure a caller's range yields the format of its own video info header with the image size computed
// (within 32 bits), in the sizes the class driver asks for; that other ranges and streams, and ranges too
// short for what they claim, match nothing without a read past them; and that 320x240 is offered first.
// Catches a 151-byte buffer written past, a range's 48 + biSize bytes copied from a shorter block, or the two
// ranges swapped.
TEST_F(FormatNegotiation, IntersectionBuildsTheCallersFormat) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  const NTSTATUS ok = STATUS_SUCCESS;
  const Intersection cases[] = {
      {"320x240", {}, ok, 230400, "Specifier 05589F80-C356-11CE-BF0100AA0055595A\n", 0},
      {"160x120", {}, ok, 57600},
      {.what = "size query", .status = STATUS_BUFFER_OVERFLOW, .buffer = 0},
      {.what = "buffer one byte short", .status = STATUS_BUFFER_TOO_SMALL, .buffer = 151},
      {"top-down", picture(320, -240), ok, 230400},
      {"rows padded", picture(321, 1), ok, 964},
      {"2^32 - 2^18", picture(65536, 16383, 32), ok, 4294705152u},
      {"2^32", picture(65536, 16384, 32)},
      {"2^31 rows", picture(160, INT_MIN)},
      {"negative width", picture(-160, 120), STATUS_NO_MATCH, 0,
       "AdapterGetDataInterSection image size out of range -160 x 120\n"},
      {"YUY2", [](auto &r) { r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_YUY2; }, STATUS_NO_MATCH, 0,
       "STATUS_NO_MATCH\n"},
      {"other frame intervals", [](auto &r) { r.ConfigCaps.MaxFrameInterval = 333333; }},
      {.what = "stream 1", .line = "AdapterGetDataInterSection Invalid StreamNumber 00000001\n", .stream = 1},
      {"short of its header", [](auto &r) { r.DataRange.FormatSize = 200; }, STATUS_NO_MATCH, 0,
       "AdapterGetDataInterSection DataRange too short 000000C8\n"},
      {"bitmap header past the range", bitmap_header_size(41)},
      {"bitmap header of 4 GB", bitmap_header_size(0xFFFFFFF0u)},
      {"bitmap header too short", bitmap_header_size(39)},
      {.what = "long bitmap header",
       .status = ok,
       .image = 57600,
       .buffer = 156,
       .tail = {0xA1, 0xA2, 0xA3, 0xA4}},
      {.what = "bytes short of FormatSize (host)", .status = STATUS_INVALID_PARAMETER, .bytes = 100},
      {.what = "bytes short of a range (host)", .status = STATUS_INVALID_PARAMETER, .bytes = 10},
  };
  const auto ranges = rig_.adapter().data_ranges(0);
  ASSERT_EQ(ranges.size(), 2u);
  for (const Intersection &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> range = ranges[c.range];
    auto &video = as<KS_DATARANGE_VIDEO>(range);
    video.VideoInfoHeader.bmiHeader.biSize += static_cast<ULONG>(c.tail.size());
    video.DataRange.FormatSize += static_cast<ULONG>(c.tail.size());
    if (c.edit)
      c.edit(video);
    range.insert(range.end(), c.tail.begin(), c.tail.end());
    const size_t bytes = c.bytes != 0 ? c.bytes : as<KS_DATARANGE_VIDEO>(range).DataRange.FormatSize;
    std::vector<uint8_t> format;
    ULONG actual = 0;
    clear_log();
    EXPECT_EQ(
        rig_.adapter().intersect_once(c.stream, std::span(range).first(bytes), c.buffer, format, &actual),
        c.status);
    const bool sized = c.status == STATUS_SUCCESS || c.status == STATUS_BUFFER_OVERFLOW;
    const ULONG size = 152 + static_cast<ULONG>(c.tail.size());
    EXPECT_EQ(actual, sized ? size : 0);
    EXPECT_TRUE(c.line == nullptr || log_count(c.line) == 1) << c.line;
    if (c.status != STATUS_SUCCESS)
      continue;
    ASSERT_EQ(format.size(), size);
    auto &result = as<KS_DATAFORMAT_VIDEOINFOHEADER>(format);
    EXPECT_EQ(result.DataFormat.FormatSize, size);
    EXPECT_EQ(result.DataFormat.SampleSize, c.image);
    KS_VIDEOINFOHEADER expected = as<KS_DATARANGE_VIDEO>(range).VideoInfoHeader;
    expected.bmiHeader.biSizeImage = c.image;
    EXPECT_EQ(std::memcmp(&result.VideoInfoHeader, &expected, sizeof(expected)), 0);
    EXPECT_TRUE(std::equal(c.tail.begin(), c.tail.end(), format.end() - static_cast<long>(c.tail.size())));
  }
}

// A format of the pin from data intersection, changed by `edit` and cut to `size` bytes (0: whole), set on
// the open pin: `status`, and `lines` logged in this order (`count` lines in all, unless -1).
struct Verification {
  const char *what;
  LONG width;
  LONG height;
  std::function<void(KS_DATAFORMAT_VIDEOINFOHEADER &)> edit;
  NTSTATUS status;
  Lines lines;
  ULONG size = 0;
  int count = -1;
};

// Whether `wanted` appear in `lines` in this order.
bool in_order(const Lines &lines, const Lines &wanted) {
  auto next = lines.begin();
  for (const std::string &line : wanted) {
    next = std::find(next, lines.end(), line);
    if (next++ == lines.end())
      return false;
  }
  return true;
}

// Makes sure a format set on the pin is accepted exactly when it fits a range by width, height (or the same
// picture top-down) and image size, 320x240 tried first, with the lines the log shows; that one too short for
// its video info header is refused unread; and that a refused one leaves the stored format. Catches 160x120
// refused because 320x240 is tried first, the ranges swapped, or a bitmap header read past a short format.
TEST_F(FormatNegotiation, VerificationAcceptsFormatsThatFitARange) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  const NTSTATUS ok = STATUS_SUCCESS, no = STATUS_NO_MATCH;
  const std::string worh = "***Error**:Format mismatch WorH Requested ";
  const std::string refused = "SRB_SET_DATA_FORMAT NO MATCH\n";
  const std::string requested = "VIDEOINFOHEADER:Requested BMP ";
  const Lines small{"SRB_SET_DATA_FORMAT\n",
                    "AdapterVerifyFormat\n",
                    requested + "biWidth,Height = 160, 120\n",
                    requested + "biCompression,biSizeImage = 0, 57600\n",
                    worh + "(160x120) Available(320x240)\n",
                    "BITMAP SIZE 160x120x24\n"};
  auto bitmap = [](void (*set)(KS_BITMAPINFOHEADER &)) {
    return [=](KS_DATAFORMAT_VIDEOINFOHEADER &f) { set(f.VideoInfoHeader.bmiHeader); };
  };
  const Verification cases[] = {
      {"160x120", 160, 120, {}, ok, small},
      {"top-down", 320, -240, {}, ok, {worh + "(320x-240) Available(320x240)\n"}},
      {"top-down without image size",
       320,
       -240,
       bitmap([](auto &b) { b.biSizeImage = 0; }),
       no,
       {worh + "(320x-240) Available(320x240)\n",
        "***Error**:Format mismatch Size Requested(0) Available(230400)\n",
        worh + "(320x-240) Available(160x120)\n", refused}},
      {"YUY2: the header and the refusal only",
       320,
       240,
       [](auto &f) { f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_YUY2; },
       no,
       {refused},
       0,
       12},
      {"wider", 320, 240, bitmap([](auto &b) { b.biWidth = 640; }), no, {refused}},
      {"one byte short",
       320,
       240,
       {},
       no,
       {"SRB_SET_DATA_FORMAT\n", "AdapterVerifyFormat\n", "AdapterVerifyFormat format too short 00000097\n",
        refused},
       151,
       4},
      {"bitmap header past the format", 320, 240, bitmap([](auto &b) { b.biSize = 41; }), no, {refused}},
      {"bitmap header too short", 320, 240, bitmap([](auto &b) { b.biSize = 24; }), no, {refused}},
      {"shorter than a format header (host)", 320, 240, {}, STATUS_INVALID_PARAMETER, {}, 40, 0},
  };
  for (const Verification &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> format;
    ASSERT_EQ(streamclass::video_format(rig_.adapter(), 0, c.width, c.height, format), STATUS_SUCCESS);
    if (c.edit)
      c.edit(as<KS_DATAFORMAT_VIDEOINFOHEADER>(format));
    if (c.size != 0) {
      format.resize(c.size);
      as<KSDATAFORMAT>(format).FormatSize = c.size;
    }
    clear_log();
    EXPECT_EQ(rig_.pin().set_format(format), c.status);
    EXPECT_TRUE(in_order(log(), c.lines)) << testing::PrintToString(log());
    EXPECT_TRUE(c.count < 0 || log().size() == static_cast<size_t>(c.count)) << testing::PrintToString(log());
  }
  STREAM_FORMAT_SNAPSHOT stored;
  ASSERT_TRUE(StreamGetFormatSnapshot(&stream(), &stored));
  EXPECT_EQ(stored.VideoInfoHeader.bmiHeader.biHeight, -240) << "the last accepted format stays";
}

} // namespace
