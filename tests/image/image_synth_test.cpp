// Frame decoding (ImageSynth2) into read requests shaped as the host delivers them, compared byte for byte
// with the one reference decode of the same picture; the guard bytes after the frame are checked every time.
// (Damaged pictures: the jpeg_decode fuzz corpus replay.)
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image/image.h"
#include "tests/image/frame_request.h"
#include "tests/support/log_tap.h"
#include "tests/support/pictures.h"
#include "tests/support/rig_test.h"

namespace {

using image_test::FrameRequest;
using Bytes = std::vector<uint8_t>;

// The frame a decode must leave: picture row i in frame row i (top-down) or rows-1-i (bottom-up), clipped to
// the frame's width and to the rows that fit in the buffer, black where the picture does not reach.
Bytes expected_frame(FrameRequest &request, const rig::Decoded &picture, bool top_down) {
  const size_t pitch = request.pitch();
  const size_t rows = std::min<size_t>(request.extent() / pitch, std::abs(request.vih()->bmiHeader.biHeight));
  const size_t copy = std::min<size_t>(picture.width, request.vih()->bmiHeader.biWidth) * 3;
  Bytes frame(request.frame(), request.frame() + request.extent());
  std::fill_n(frame.begin(), rows * pitch, 0);
  for (size_t i = 0; i < rows && i < static_cast<size_t>(picture.height); ++i)
    std::memcpy(frame.data() + (top_down ? i : rows - 1 - i) * pitch, picture.row(static_cast<int>(i)), copy);
  return frame;
}

Bytes frame_of(FrameRequest &request) {
  return Bytes(request.frame(), request.frame() + request.extent());
}

bool all_bytes(const uint8_t *p, size_t n, uint8_t value) {
  return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

// Decodes `size` bytes of `picture` into `request`; the error lines (level 2) it logged, or with `lines`
// every line.
std::vector<std::string> decode(FrameRequest &request, const UCHAR *picture, size_t size,
                                bool lines = false) {
  test_support::LogTap tap;
  ImageSynth2(request.srb(), picture, static_cast<ULONG>(size));
  return tap.texts(lines ? 0 : 2);
}

// The offset of the frame header's size (SOF0 or SOF2), or of the first scan's data.
size_t marker_end(const Bytes &jpeg, bool scan) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && (scan ? jpeg[i + 1] == 0xDA : (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)))
      return scan ? i + 2 + ((static_cast<size_t>(jpeg[i + 2]) << 8) | jpeg[i + 3]) : i + 5;
  return jpeg.size();
}

const LONG kShapes[][2] = {{320, 240}, {320, -240}, {160, 120}, {160, -120}}; // negative height: top-down

class ImageSynthTest : public RigTest {};

// Makes sure frames equal the reference decode, with the frame's log lines and the scale, for every flavour
// (quality, subsampling, progressive, grey, restarts), size (clipped or padded), picture cut short or failing
// after its rows, in both orders and scales. Catches rows upside down, red and blue swapped, a wrong scale or
// pitch, a frame not filled to its end.
TEST_F(ImageSynthTest, FramesEqualTheReferenceDecode) {
  struct Case {
    std::string what;
    Bytes jpeg, reference; // reference: the picture decoded for the expected frame (empty: jpeg)
    size_t errors = 0;
  };
  std::vector<Case> cases;
  const rig::PictureOptions flavours[] = {{},
                                          {.quality = 95, .subsample = false},
                                          {.quality = 30, .seed = 7},
                                          {.progressive = true},
                                          {.grayscale = true},
                                          {.restart_rows = 2},
                                          {.quality = 90, .progressive = true, .subsample = false, .seed = 3},
                                          {.width = 640, .height = 480},
                                          {.width = 200, .height = 100},
                                          {.width = 1000, .height = 60, .progressive = true},
                                          {.width = 48, .height = 400, .subsample = false},
                                          {.width = 321, .height = 241}};
  for (const rig::PictureOptions &options : flavours)
    cases.push_back({rig::describe(options), rig::make_picture(options), {}});
  for (const rig::PictureOptions &options :
       {flavours[0], flavours[3], rig::PictureOptions{.restart_rows = 1}}) {
    const Bytes whole = rig::make_picture(options);
    for (size_t keep : {whole.size() / 2, marker_end(whole, true) + 1, whole.size() - 2})
      cases.push_back({rig::describe(options) + " cut to " + std::to_string(keep),
                       Bytes(whole.begin(), whole.begin() + static_cast<long>(keep)),
                       {}});
  }
  // A second frame header behind the scan fails only when the decode is finished.
  const Bytes late = rig::make_picture({.seed = 11});
  Case failing_late{"error after the rows", Bytes(late.begin(), late.end() - 2), late, 1};
  failing_late.jpeg.insert(failing_late.jpeg.end(), {0xFF, 0xC0, 0x00, 0x11, 8, 0, 16,   0, 16,   3,   1,
                                                     0x22, 0,    2,    0x11, 1, 3, 0x11, 1, 0xFF, 0xD9});
  cases.push_back(failing_late);
  for (const Case &c : cases) {
    for (const auto &[width, height] : kShapes) {
      SCOPED_TRACE(c.what + " into " + std::to_string(width) + "x" + std::to_string(height));
      FrameRequest request(width, height);
      const std::vector<std::string> lines = decode(request, c.jpeg.data(), c.jpeg.size(), true);
      const std::string scale = width == 160 ? "Decompress JPEG 1/2\n" : "Decompress JPEG 1/1\n";
      const std::string size = std::to_string(request.extent());
      EXPECT_TRUE(lines.size() == 8 + c.errors && lines[5] == scale &&
                  lines[0] == "** Decompress JpegImage \n" &&
                  lines.back() == "** Decompress DummyJpegImage biSizeImage = " + size + "\n")
          << ::testing::PrintToString(lines);
      const rig::Decoded reference =
          rig::reference_decode(c.reference.empty() ? c.jpeg : c.reference, width == 160);
      ASSERT_TRUE(reference.ok);
      EXPECT_EQ(request.header().DataUsed, request.vih()->bmiHeader.biSizeImage);
      EXPECT_TRUE(frame_of(request) == expected_frame(request, reference, height < 0));
      EXPECT_TRUE(request.guards_intact());
    }
  }
}

// Makes sure what the library cannot decode ends in order: no data, the frame cleared, one error line.
// Catches a process exit, a jump into freed state, a leak (LeakSanitizer), a frame reported good.
TEST_F(ImageSynthTest, UndecodablePictureLeavesAClearedFrameAndNoData) {
  const Bytes jpeg = rig::make_picture({});
  const std::string text = "This is not a JPEG picture at all, just some text.";
  Bytes noise(4096);
  for (size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<uint8_t>(i * 131 + 7);
  const Bytes cmyk = rig::make_picture({.cmyk = true}); // no colour conversion
  const Bytes long_marker = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xF0, 'E', 'x', 'i', 'f', 0, 0};
  Bytes huge = rig::make_picture({.progressive = true}); // would need gigabytes: refused, not attempted
  const size_t size_at = marker_end(huge, false);
  std::fill_n(huge.begin() + static_cast<long>(size_at), 4, 0x75); // 30,069 x 30,069
  const std::pair<const UCHAR *, size_t> inputs[] = {
      {jpeg.data(), 0},
      {nullptr, 100},
      {jpeg.data(), 1},
      {jpeg.data(), 2},
      {jpeg.data(), 100},
      {reinterpret_cast<const UCHAR *>(text.data()), text.size()},
      {noise.data(), noise.size()},
      {long_marker.data(), long_marker.size()},
      {cmyk.data(), cmyk.size()},
      {huge.data(), huge.size()}};
  for (const auto &[picture, size] : inputs) {
    for (const auto &[width, height] : kShapes) {
      SCOPED_TRACE(std::to_string(size) + " bytes into " + std::to_string(height));
      test_support::LogTap tap;
      FrameRequest request(width, height);
      ImageSynth2(request.srb(), picture, static_cast<ULONG>(size));
      EXPECT_EQ(request.header().DataUsed, 0u);
      EXPECT_TRUE(all_bytes(request.frame(), request.extent(), 0) && request.guards_intact());
      ASSERT_EQ(tap.texts(2).size(), 1u);
      EXPECT_TRUE(tap.texts(2)[0].starts_with("ImageSynth2 JPEG error ")) << tap.texts(2)[0];
      EXPECT_EQ(tap.texts(4).back(), "** Decompress DummyJpegImage biSizeImage = 0\n");
    }
  }
}

// Makes sure nothing is written past FrameExtent: the rows that fit, a part row left alone, no data when no
// row fits; the open-time geometry decides over a later format. Catches a frame sized from the format alone.
TEST_F(ImageSynthTest, BufferSmallerThanTheFormatIsNeverOverrun) {
  const Bytes jpeg = rig::make_picture({});
  const struct {
    LONG width, height;
    ULONG extent, used;
    LONG format_width, format_height; // the current format since the open (0: unchanged)
  } cases[] = {{320, 240, 57600, 57600, 0, 0},
               {160, 120, 0, 57600, 320, 240},
               {320, -240, 1000, 960, 0, 0},
               {320, 240, 900, 0, 0, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.extent);
    FrameRequest request(c.width, c.height, c.extent);
    if (c.format_width != 0) {
      request.format()->VideoInfoHeader.bmiHeader.biWidth = c.format_width;
      request.format()->VideoInfoHeader.bmiHeader.biHeight = c.format_height;
    }
    EXPECT_TRUE(decode(request, jpeg.data(), jpeg.size()).empty());
    EXPECT_TRUE(request.guards_intact());
    EXPECT_EQ(request.header().DataUsed, c.used);
    const ULONG stale = request.extent() - c.used; // bytes past the rows written
    EXPECT_TRUE(all_bytes(request.frame() + c.used, stale, FrameRequest::kStale));
    if (c.used != 0) {
      Bytes expected = expected_frame(request, rig::reference_decode(jpeg, c.width == 160), c.height < 0);
      EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + c.used, request.frame()));
    }
  }
}

// Makes sure the row order follows the current data format; without one readable (none, or one too short for
// a header, not read past its end) the open-time header decides. Catches the order read from the wrong
// record.
TEST_F(ImageSynthTest, RowOrderFollowsTheCurrentFormat) {
  const Bytes jpeg = rig::make_picture({.seed = 5});
  const rig::Decoded half = rig::reference_decode(jpeg, true);
  auto *bare =
      static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSDATAFORMAT), PoolTag("Wdm ")));
  ASSERT_NE(bare, nullptr);
  for (int current = 0; current < 3; ++current) { // the full format, none, the short one
    SCOPED_TRACE(current);
    FrameRequest request(160, 120);
    request.format()->VideoInfoHeader.bmiHeader.biHeight = -120;
    *bare = request.format()->DataFormat;
    bare->FormatSize = sizeof(KSDATAFORMAT);
    request.strm_ex().pKSDataFormat = current == 0   ? &request.format()->DataFormat
                                      : current == 1 ? nullptr
                                                     : bare;
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    EXPECT_TRUE(frame_of(request) == expected_frame(request, half, current == 0));
  }
  ExFreePool(bare);
}

// Makes sure a request without a frame buffer or video info header gets no data and no write. Catches a NULL
// dereference in the transfer thread.
TEST_F(ImageSynthTest, RequestWithoutBufferOrHeaderGetsNoData) {
  const Bytes jpeg = rig::make_picture({});
  FrameRequest request(320, 240);
  request.strm_ex().pVideoInfoHeader = nullptr;
  EXPECT_TRUE(decode(request, jpeg.data(), jpeg.size()).empty());
  EXPECT_TRUE(request.header().DataUsed == 0 &&
              all_bytes(request.frame(), request.extent(), FrameRequest::kStale));
  request.strm_ex().pVideoInfoHeader = request.vih();
  request.header().Data = nullptr;
  ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
  EXPECT_EQ(request.header().DataUsed, 0u);
  request.srb()->CommandData.DataBufferArray = nullptr;
  ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
  ImageSynth2(nullptr, jpeg.data(), static_cast<ULONG>(jpeg.size()));
  EXPECT_TRUE(request.guards_intact());
}

} // namespace
