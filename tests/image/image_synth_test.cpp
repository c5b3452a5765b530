// Frame decoding through read requests shaped as the host delivers them: every
// frame is compared byte for byte with the picture decoded straight through
// libjpeg, placed as the frame's geometry says, and the guard bytes after the
// frame buffer are checked after every decode.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image/image.h"
#include "tests/image/frame_request.h"
#include "tests/support/pictures.h"
#include "tests/support/log_tap.h"
#include "tests/support/platform_test.h"

namespace {

using image_test::Decoded;
using image_test::FrameRequest;
using image_test::PictureOptions;

// The frame a decode must leave: picture row i in frame row i (top-down) or
// rows-1-i (bottom-up), clipped to the frame's width and rows, everything the
// picture does not cover black. rows is what fits in the buffer.
std::vector<uint8_t> expected_frame(FrameRequest &request, const Decoded &picture, bool top_down) {
  const size_t pitch = request.pitch();
  const size_t rows = std::min<size_t>(request.extent() / pitch,
                                       static_cast<size_t>(std::abs(request.vih()->bmiHeader.biHeight)));
  const size_t row_bytes = std::min<size_t>(static_cast<size_t>(request.vih()->bmiHeader.biWidth) * 3, pitch);
  std::vector<uint8_t> frame(request.frame(), request.frame() + request.extent());
  std::memset(frame.data(), 0, rows * pitch);
  const size_t copy = std::min<size_t>(static_cast<size_t>(picture.width) * 3, row_bytes);
  for (size_t i = 0; i < rows && i < static_cast<size_t>(picture.height); ++i) {
    const size_t row = top_down ? i : rows - 1 - i;
    std::memcpy(frame.data() + row * pitch, picture.row(static_cast<int>(i)), copy);
  }
  return frame;
}

// Index of the first differing byte, or -1.
long first_difference(const uint8_t *a, const std::vector<uint8_t> &b) {
  for (size_t i = 0; i < b.size(); ++i)
    if (a[i] != b[i])
      return static_cast<long>(i);
  return -1;
}

bool all_bytes(const uint8_t *p, size_t n, uint8_t value) {
  return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

// Big-endian width and height of the picture's frame header (SOF0 or SOF2)
// replaced, as a damaged picture may announce them.
std::vector<uint8_t> with_announced_size(std::vector<uint8_t> jpeg, int width, int height) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = static_cast<uint8_t>(height >> 8);
      jpeg[i + 6] = static_cast<uint8_t>(height);
      jpeg[i + 7] = static_cast<uint8_t>(width >> 8);
      jpeg[i + 8] = static_cast<uint8_t>(width);
      break;
    }
  }
  return jpeg;
}

// Offset of the first scan's data (after the SOS header).
size_t scan_data_offset(const std::vector<uint8_t> &jpeg) {
  for (size_t i = 2; i + 3 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA)
      return i + 2 + ((static_cast<size_t>(jpeg[i + 2]) << 8) | jpeg[i + 3]);
  return jpeg.size();
}

struct FrameShape {
  LONG width;
  LONG height; // signed: negative is top-down
  const char *name;
};
const FrameShape kShapes[] = {{320, 240, "320x240 bottom-up"},
                              {320, -240, "320x240 top-down"},
                              {160, 120, "160x120 bottom-up"},
                              {160, -120, "160x120 top-down"}};

class ImageSynthTest : public PlatformTest {
protected:
  // Decodes jpeg into a fresh request of the shape and checks the frame
  // against the reference decode of the same bytes and the guard bytes.
  void ExpectFrameEqualsReference(const std::vector<uint8_t> &jpeg, const FrameShape &shape) {
    SCOPED_TRACE(shape.name);
    FrameRequest request(shape.width, shape.height);
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    const Decoded reference = image_test::reference_decode(jpeg, shape.width == 160);
    ASSERT_TRUE(reference.ok);
    EXPECT_EQ(request.header().DataUsed, request.vih()->bmiHeader.biSizeImage);
    EXPECT_EQ(first_difference(request.frame(), expected_frame(request, reference, shape.height < 0)), -1);
    EXPECT_TRUE(request.guards_intact());
  }

  // Decodes a picture that cannot be decoded at all and checks the outcome:
  // DataUsed 0, the whole frame cleared, an error line, guards intact.
  void ExpectFailedDecode(const UCHAR *picture, ULONG size, const FrameShape &shape) {
    SCOPED_TRACE(shape.name);
    test_support::LogTap tap;
    FrameRequest request(shape.width, shape.height);
    ImageSynth2(request.srb(), picture, size);
    EXPECT_EQ(request.header().DataUsed, 0u);
    EXPECT_TRUE(all_bytes(request.frame(), request.extent(), 0));
    EXPECT_TRUE(request.guards_intact());
    const auto errors = tap.texts(2);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("ImageSynth2 JPEG error ", 0), 0u) << errors[0];
    EXPECT_EQ(tap.texts(4).back(), "** Decompress DummyJpegImage biSizeImage = 0\n");
  }
};

} // namespace

// Frames equal libjpeg's own decode in every flavour of picture, row order and
// scale: catches red and blue swapped, rows in the wrong order or one pitch
// off, a wrong scale, and a frame that is not filled to its end.
TEST_F(ImageSynthTest, FramesEqualDirectDecodeForEveryPictureKind) {
  const PictureOptions pictures[] = {
      {},
      {.quality = 95, .subsample = false},
      {.quality = 30, .seed = 7},
      {.progressive = true},
      {.grayscale = true},
      {.restart_rows = 2},
      {.quality = 90, .progressive = true, .subsample = false, .seed = 3},
  };
  for (const PictureOptions &options : pictures) {
    SCOPED_TRACE(image_test::describe(options));
    const std::vector<uint8_t> jpeg = image_test::make_picture(options);
    ASSERT_FALSE(jpeg.empty());
    for (const FrameShape &shape : kShapes)
      ExpectFrameEqualsReference(jpeg, shape);
  }
}

// The frame's log lines, in order and exactly, and the first decoded row at the
// top of the image (the buffer's last row bottom-up): catches a wrong scale
// choice, a missing or reordered line, and DataUsed other than biSizeImage.
TEST_F(ImageSynthTest, LogLinesAndFirstRowAtHalfAndFullScale) {
  const std::vector<uint8_t> jpeg = image_test::make_picture({});
  {
    test_support::LogTap tap;
    FrameRequest request(160, 120);
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    const std::vector<std::string> expected = {
        "** Decompress JpegImage \n",
        "** pVideoInfoHeader->Source (0,0)-(160,120)\n",
        "** pVideoInfoHeader->Target (0,0)-(160,120)\n",
        "** pVideoInfoHeader->bmiHeader.biWidth & biHeight (160,120)\n",
        "** pStrmEx->bmiHeader.biWidth & biHeight (160,120)\n",
        "Decompress JPEG 1/2\n",
        "** cinfo.output_height = 120\n",
        "** Decompress DummyJpegImage biSizeImage = 57600\n",
    };
    EXPECT_EQ(tap.texts(), expected);
    EXPECT_EQ(tap.lines().front().level, 4);
  }
  {
    test_support::LogTap tap;
    FrameRequest request(320, 240);
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    const auto texts = tap.texts(4);
    ASSERT_EQ(texts.size(), 8u);
    EXPECT_EQ(texts[5], "Decompress JPEG 1/1\n");
    EXPECT_EQ(texts[6], "** cinfo.output_height = 240\n");
    EXPECT_EQ(texts[7], "** Decompress DummyJpegImage biSizeImage = 230400\n");
    EXPECT_EQ(request.header().DataUsed, 230400u);
    const Decoded reference = image_test::reference_decode(jpeg, false);
    EXPECT_EQ(std::memcmp(request.frame() + 239 * 960, reference.row(0), 960), 0);
    EXPECT_EQ(std::memcmp(request.frame(), reference.row(239), 960), 0);
  }
  {
    FrameRequest request(320, -240);
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    const Decoded reference = image_test::reference_decode(jpeg, false);
    EXPECT_EQ(std::memcmp(request.frame(), reference.row(0), 960), 0);
  }
}

// The row order follows the current data format, the geometry and scale the
// open-time header: catches reading the order from the wrong record.
TEST_F(ImageSynthTest, RowOrderFollowsTheCurrentFormat) {
  const std::vector<uint8_t> jpeg = image_test::make_picture({.seed = 5});
  test_support::LogTap tap;
  FrameRequest request(160, 120);
  request.set_format_size(160, -120);
  ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
  EXPECT_EQ(tap.texts(4).at(3), "** pVideoInfoHeader->bmiHeader.biWidth & biHeight (160,120)\n");
  EXPECT_EQ(tap.texts(4).at(4), "** pStrmEx->bmiHeader.biWidth & biHeight (160,-120)\n");
  const Decoded reference = image_test::reference_decode(jpeg, true);
  EXPECT_EQ(first_difference(request.frame(), expected_frame(request, reference, true)), -1);

  // Without a readable current format the open-time header decides.
  request.reset();
  request.strm_ex().pKSDataFormat = nullptr;
  ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
  EXPECT_EQ(first_difference(request.frame(), expected_frame(request, reference, false)), -1);
  request.reset();
  request.strm_ex().pKSDataFormat = &request.format()->DataFormat;
  request.format()->DataFormat.FormatSize = sizeof(KSDATAFORMAT);
  ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
  EXPECT_EQ(first_difference(request.frame(), expected_frame(request, reference, false)), -1);
  EXPECT_TRUE(request.guards_intact());

  // A format record that really is that short is not read past its end.
  request.reset();
  auto *bare =
      static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSDATAFORMAT), PoolTag("Wdm ")));
  ASSERT_NE(bare, nullptr);
  *bare = request.format()->DataFormat;
  request.strm_ex().pKSDataFormat = bare;
  ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
  EXPECT_EQ(first_difference(request.frame(), expected_frame(request, reference, false)), -1);
  request.strm_ex().pKSDataFormat = &request.format()->DataFormat;
  ExFreePool(bare);
}

// A picture cut short still gives a whole frame, the same as libjpeg makes of
// the same bytes: catches a source that fails, loops or reads past the
// picture when it runs out, and a frame left partly stale.
TEST_F(ImageSynthTest, TruncatedPictureStillYieldsWholeFrame) {
  const PictureOptions pictures[] = {{}, {.progressive = true}, {.restart_rows = 1}};
  for (const PictureOptions &options : pictures) {
    SCOPED_TRACE(image_test::describe(options));
    const std::vector<uint8_t> whole = image_test::make_picture(options);
    for (size_t keep : {whole.size() / 2, scan_data_offset(whole) + 1, whole.size() - 2}) {
      SCOPED_TRACE("kept " + std::to_string(keep) + " of " + std::to_string(whole.size()));
      const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(keep));
      for (const FrameShape &shape : kShapes)
        ExpectFrameEqualsReference(cut, shape);
    }
  }
}

// Input the library cannot decode ends the decode in order: catches a process
// exit, a jump into freed state, a leak (LeakSanitizer), stale frame content
// and a frame reported as good.
TEST_F(ImageSynthTest, UndecodablePictureLeavesClearedFrameAndNoData) {
  const std::vector<uint8_t> jpeg = image_test::make_picture({});
  const std::string text = "This is not a JPEG picture at all, just some text.";
  std::vector<uint8_t> noise(4096);
  for (size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<uint8_t>(i * 131 + 7);
  const std::vector<uint8_t> cmyk = image_test::make_picture({.cmyk = true});
  ASSERT_FALSE(cmyk.empty());
  // An application marker whose length runs far past the end of the picture.
  const std::vector<uint8_t> long_marker = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xF0, 'E', 'x', 'i', 'f', 0, 0};
  const std::vector<uint8_t> huge_progressive =
      with_announced_size(image_test::make_picture({.progressive = true}), 30000, 30000);
  for (const FrameShape &shape : kShapes) {
    ExpectFailedDecode(jpeg.data(), 0, shape);   // nothing at all
    ExpectFailedDecode(nullptr, 100, shape);     // no picture
    ExpectFailedDecode(jpeg.data(), 1, shape);   // half a marker
    ExpectFailedDecode(jpeg.data(), 2, shape);   // start marker only
    ExpectFailedDecode(jpeg.data(), 100, shape); // cut in the header
    ExpectFailedDecode(reinterpret_cast<const UCHAR *>(text.data()), static_cast<ULONG>(text.size()), shape);
    ExpectFailedDecode(noise.data(), static_cast<ULONG>(noise.size()), shape);
    ExpectFailedDecode(long_marker.data(), static_cast<ULONG>(long_marker.size()), shape);
    ExpectFailedDecode(cmyk.data(), static_cast<ULONG>(cmyk.size()), shape); // no colour conversion
    // Would need gigabytes of whole-image buffers: refused, not attempted.
    ExpectFailedDecode(huge_progressive.data(), static_cast<ULONG>(huge_progressive.size()), shape);
  }
}

// A fatal error after rows came out keeps them and delivers the frame: a
// second frame header behind the scan fails only when the decode is finished.
TEST_F(ImageSynthTest, FailureAfterTheRowsKeepsTheFrame) {
  const std::vector<uint8_t> jpeg = image_test::make_picture({.seed = 11});
  ASSERT_GE(jpeg.size(), 2u);
  std::vector<uint8_t> late_error(jpeg.begin(), jpeg.end() - 2); // without its end-of-image marker
  const uint8_t second_sof[] = {0xFF, 0xC0, 0x00, 0x11, 8,    0, 16, 0,    16, 3,
                                1,    0x22, 0,    2,    0x11, 1, 3,  0x11, 1};
  late_error.insert(late_error.end(), std::begin(second_sof), std::end(second_sof));
  late_error.push_back(0xFF);
  late_error.push_back(0xD9);
  for (const FrameShape &shape : kShapes) {
    SCOPED_TRACE(shape.name);
    test_support::LogTap tap;
    FrameRequest request(shape.width, shape.height);
    ImageSynth2(request.srb(), late_error.data(), static_cast<ULONG>(late_error.size()));
    ASSERT_EQ(tap.texts(2).size(), 1u);
    EXPECT_EQ(request.header().DataUsed, request.vih()->bmiHeader.biSizeImage);
    const Decoded reference = image_test::reference_decode(jpeg, shape.width == 160);
    EXPECT_EQ(first_difference(request.frame(), expected_frame(request, reference, shape.height < 0)), -1);
    EXPECT_TRUE(request.guards_intact());
  }
}

// Damaged scan data decodes with warnings or fails in order, never faults:
// catches writes out of the frame and a frame with rows left stale.
TEST_F(ImageSynthTest, DamagedPicturesNeverWriteOutsideTheFrame) {
  const std::vector<uint8_t> originals[] = {image_test::make_picture({}),
                                            image_test::make_picture({.progressive = true, .seed = 9})};
  uint32_t seed = 12345;
  for (const std::vector<uint8_t> &original : originals) {
    const size_t scan = scan_data_offset(original);
    for (int round = 0; round < 24; ++round) {
      std::vector<uint8_t> damaged = original;
      for (int hit = 0; hit < 1 + round % 5; ++hit) {
        seed = seed * 1664525u + 1013904223u;
        const size_t at =
            (round % 3 == 0) ? (seed >> 8) % damaged.size() : scan + (seed >> 8) % (damaged.size() - scan);
        damaged[at] = static_cast<uint8_t>(seed >> 24);
      }
      const FrameShape &shape = kShapes[round % 4];
      SCOPED_TRACE(std::string(shape.name) + " round " + std::to_string(round));
      FrameRequest request(shape.width, shape.height);
      ImageSynth2(request.srb(), damaged.data(), static_cast<ULONG>(damaged.size()));
      EXPECT_TRUE(request.guards_intact());
      const ULONG used = request.header().DataUsed;
      EXPECT_TRUE(used == 0 || used == request.vih()->bmiHeader.biSizeImage) << used;
      if (used == 0) {
        EXPECT_TRUE(all_bytes(request.frame(), request.extent(), 0));
      }
      // Every row was decoded or cleared: none is still wholly stale.
      for (size_t row = 0; row < request.extent() / request.pitch(); ++row)
        ASSERT_FALSE(
            all_bytes(request.frame() + row * request.pitch(), request.pitch(), FrameRequest::kStale))
            << "row " << row;
    }
  }
}

// Pictures larger than the frame are clipped to its width and rows, smaller
// ones sit at the top left of a black frame: catches writes past a row or the
// buffer, and stale bytes around a small picture.
TEST_F(ImageSynthTest, OversizedAndOddSizedPicturesAreClippedOrPadded) {
  const PictureOptions pictures[] = {{.width = 640, .height = 480},
                                     {.width = 200, .height = 100},
                                     {.width = 1000, .height = 60, .progressive = true},
                                     {.width = 48, .height = 400, .subsample = false},
                                     {.width = 321, .height = 241}};
  for (const PictureOptions &options : pictures) {
    SCOPED_TRACE(image_test::describe(options));
    const std::vector<uint8_t> jpeg = image_test::make_picture(options);
    for (const FrameShape &shape : kShapes)
      ExpectFrameEqualsReference(jpeg, shape);
  }
  // A small picture in a bottom-up frame: the rows above it (the start of the
  // buffer) and the right part of its rows are black.
  const std::vector<uint8_t> small = image_test::make_picture({.width = 200, .height = 100});
  FrameRequest request(320, 240);
  ImageSynth2(request.srb(), small.data(), static_cast<ULONG>(small.size()));
  EXPECT_TRUE(all_bytes(request.frame(), 140 * 960, 0));
  EXPECT_TRUE(all_bytes(request.frame() + 239 * 960 + 600, 360, 0));
  EXPECT_FALSE(all_bytes(request.frame() + 239 * 960, 600, 0));
  EXPECT_EQ(request.header().DataUsed, 230400u);

  // A huge announced width with little data: rows are clipped, decoding stops
  // after the frame's rows.
  const std::vector<uint8_t> wide = with_announced_size(image_test::make_picture({}), 4000, 3000);
  for (const FrameShape &shape : kShapes) {
    SCOPED_TRACE(shape.name);
    FrameRequest big(shape.width, shape.height);
    ImageSynth2(big.srb(), wide.data(), static_cast<ULONG>(wide.size()));
    EXPECT_TRUE(big.guards_intact());
    EXPECT_EQ(big.header().DataUsed, big.vih()->bmiHeader.biSizeImage);
  }
}

// Nothing is written past the request's FrameExtent, whatever the formats say:
// catches a frame sized from the format alone.
TEST_F(ImageSynthTest, BufferSmallerThanTheFormatIsNeverOverrun) {
  const std::vector<uint8_t> jpeg = image_test::make_picture({});
  const Decoded full = image_test::reference_decode(jpeg, false);
  const Decoded half = image_test::reference_decode(jpeg, true);
  {
    // 320x240 format, buffer for 160x120: the first 60 frame rows, DataUsed
    // no more than the buffer.
    FrameRequest request(320, 240, 57600);
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    EXPECT_TRUE(request.guards_intact());
    EXPECT_EQ(request.header().DataUsed, 57600u);
    EXPECT_EQ(first_difference(request.frame(), expected_frame(request, full, false)), -1);
  }
  {
    // Opened at 160x120, format changed to 320x240 since: the open-time
    // geometry and the buffer decide.
    FrameRequest request(160, 120);
    request.set_format_size(320, 240);
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    EXPECT_TRUE(request.guards_intact());
    EXPECT_EQ(request.header().DataUsed, 57600u);
    EXPECT_EQ(first_difference(request.frame(), expected_frame(request, half, false)), -1);
  }
  {
    // Room for one row and a bit: one row written and counted, the bit left
    // alone.
    FrameRequest request(320, -240, 1000);
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    EXPECT_TRUE(request.guards_intact());
    EXPECT_EQ(std::memcmp(request.frame(), full.row(0), 960), 0);
    EXPECT_TRUE(all_bytes(request.frame() + 960, 40, FrameRequest::kStale));
    EXPECT_EQ(request.header().DataUsed, 960u);
  }
  {
    // Not even one row: nothing written, no data.
    FrameRequest request(320, 240, 900);
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    EXPECT_TRUE(request.guards_intact());
    EXPECT_TRUE(all_bytes(request.frame(), 900, FrameRequest::kStale));
    EXPECT_EQ(request.header().DataUsed, 0u);
  }
}

// A request without a frame buffer or video info header gets no data and no
// write: catches a NULL dereference in the transfer thread.
TEST_F(ImageSynthTest, RequestWithoutBufferOrHeaderGetsNoData) {
  const std::vector<uint8_t> jpeg = image_test::make_picture({});
  FrameRequest request(320, 240);
  request.strm_ex().pVideoInfoHeader = nullptr;
  {
    test_support::LogTap tap;
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    const std::vector<std::string> expected = {"** Decompress JpegImage \n",
                                               "** Decompress DummyJpegImage biSizeImage = 0\n"};
    EXPECT_EQ(tap.texts(), expected);
  }
  EXPECT_EQ(request.header().DataUsed, 0u);
  EXPECT_TRUE(all_bytes(request.frame(), request.extent(), FrameRequest::kStale));
  request.strm_ex().pVideoInfoHeader = request.vih();
  request.header().Data = nullptr;
  request.header().DataUsed = 7;
  ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
  EXPECT_EQ(request.header().DataUsed, 0u);
  request.srb()->CommandData.DataBufferArray = nullptr;
  ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
  ImageSynth2(nullptr, jpeg.data(), static_cast<ULONG>(jpeg.size()));
  EXPECT_TRUE(request.guards_intact());
}
