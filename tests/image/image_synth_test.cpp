// Frame decoding (ImageSynth2) into read requests shaped as the host delivers
// them: every frame is compared byte for byte with the one reference decode of the
// same picture, placed as the frame's geometry says, and the guard bytes after the
// frame buffer are checked after every decode.
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

// The frame a decode must leave: picture row i in frame row i (top-down) or
// rows-1-i (bottom-up), clipped to the frame's width and to the rows that fit in
// the buffer, black where the picture does not reach.
Bytes expected_frame(FrameRequest &request, const rig::Decoded &picture, bool top_down) {
  const size_t pitch = request.pitch();
  const size_t height = static_cast<size_t>(std::abs(request.vih()->bmiHeader.biHeight));
  const size_t rows = std::min<size_t>(request.extent() / pitch, height);
  const size_t copy =
      std::min<size_t>(static_cast<size_t>(picture.width), request.vih()->bmiHeader.biWidth) * 3;
  Bytes frame(request.frame(), request.frame() + request.extent());
  std::fill_n(frame.begin(), rows * pitch, 0);
  for (size_t i = 0; i < rows && i < static_cast<size_t>(picture.height); ++i)
    std::memcpy(frame.data() + (top_down ? i : rows - 1 - i) * pitch, picture.row(static_cast<int>(i)), copy);
  return frame;
}

bool all_bytes(const uint8_t *p, size_t n, uint8_t value) {
  return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

// The offset of the frame header's (SOF0 or SOF2) size, and of the first scan's data.
size_t marker_end(const Bytes &jpeg, bool scan) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && (scan ? jpeg[i + 1] == 0xDA : (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)))
      return scan ? i + 2 + ((static_cast<size_t>(jpeg[i + 2]) << 8) | jpeg[i + 3]) : i + 5;
  return jpeg.size();
}

// The picture with its frame header announcing width x height, as a damaged one may.
Bytes announcing(Bytes jpeg, int width, int height) {
  const size_t at = marker_end(jpeg, false);
  const uint8_t size[] = {uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8), uint8_t(width)};
  std::copy(std::begin(size), std::end(size), jpeg.begin() + static_cast<long>(at));
  return jpeg;
}

struct Shape {
  LONG width, height; // negative height: top-down
};
const Shape kShapes[] = {{320, 240}, {320, -240}, {160, 120}, {160, -120}};

class ImageSynthTest : public RigTest {};

// Makes sure frames equal libjpeg's own decode of the same bytes in every flavour
// of picture (quality, subsampling, progressive, grey, restart markers), cut
// short, larger or smaller than the frame (clipped, or padded with black), or
// failing only after its rows came out; in both row orders and both scales, with
// DataUsed the image size and nothing written past the buffer. Catches rows
// upside down or a pitch off, red and blue swapped, a wrong scale, a frame not
// filled to its end, a source that fails or reads past a short picture.
TEST_F(ImageSynthTest, FramesEqualTheReferenceDecode) {
  struct Case {
    std::string what;
    Bytes jpeg;
    Bytes reference; // decoded for the expected frame; empty: `jpeg`
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
  Bytes late = rig::make_picture({.seed = 11});
  cases.push_back({"error after the rows", late, late, 1});
  cases.back().jpeg.resize(late.size() - 2);
  const Bytes second_header = {0xFF, 0xC0, 0x00, 0x11, 8, 0, 16,   0, 16,   3,   1,
                               0x22, 0,    2,    0x11, 1, 3, 0x11, 1, 0xFF, 0xD9};
  cases.back().jpeg.insert(cases.back().jpeg.end(), second_header.begin(), second_header.end());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.jpeg.empty());
    for (const Shape &shape : kShapes) {
      SCOPED_TRACE(std::to_string(shape.width) + "x" + std::to_string(shape.height));
      test_support::LogTap tap;
      FrameRequest request(shape.width, shape.height);
      ImageSynth2(request.srb(), c.jpeg.data(), static_cast<ULONG>(c.jpeg.size()));
      const rig::Decoded reference =
          rig::reference_decode(c.reference.empty() ? c.jpeg : c.reference, shape.width == 160);
      ASSERT_TRUE(reference.ok);
      EXPECT_EQ(request.header().DataUsed, request.vih()->bmiHeader.biSizeImage);
      EXPECT_TRUE(Bytes(request.frame(), request.frame() + request.extent()) ==
                  expected_frame(request, reference, shape.height < 0));
      EXPECT_TRUE(request.guards_intact());
      EXPECT_EQ(tap.texts(2).size(), c.errors);
    }
  }
}

// Makes sure a frame logs its lines in order, at half and at full scale. Catches a
// wrong scale choice and a missing or reordered line.
TEST_F(ImageSynthTest, LogLinesAtHalfAndFullScale) {
  const Bytes jpeg = rig::make_picture({});
  for (LONG width : {160, 320}) {
    const std::string half = width == 160 ? "1/2" : "1/1";
    const std::string w = std::to_string(width), h = std::to_string(width * 3 / 4);
    test_support::LogTap tap;
    FrameRequest request(width, width * 3 / 4);
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    const std::vector<std::string> expected = {
        "** Decompress JpegImage \n",
        "** pVideoInfoHeader->Source (0,0)-(" + w + "," + h + ")\n",
        "** pVideoInfoHeader->Target (0,0)-(" + w + "," + h + ")\n",
        "** pVideoInfoHeader->bmiHeader.biWidth & biHeight (" + w + "," + h + ")\n",
        "** pStrmEx->bmiHeader.biWidth & biHeight (" + w + "," + h + ")\n",
        "Decompress JPEG " + half + "\n",
        "** cinfo.output_height = " + h + "\n",
        "** Decompress DummyJpegImage biSizeImage = " + std::to_string(request.extent()) + "\n",
    };
    EXPECT_EQ(tap.texts(), expected);
    EXPECT_EQ(tap.lines().front().level, 4);
  }
}

// Makes sure input the library cannot decode ends the decode in order: no data,
// the whole frame cleared, one error line. Catches a process exit, a jump into
// freed state, a leak (LeakSanitizer), stale frame content, a frame reported good.
TEST_F(ImageSynthTest, UndecodablePictureLeavesAClearedFrameAndNoData) {
  const Bytes jpeg = rig::make_picture({});
  const std::string text = "This is not a JPEG picture at all, just some text.";
  Bytes noise(4096);
  for (size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<uint8_t>(i * 131 + 7);
  const Bytes cmyk = rig::make_picture({.cmyk = true}); // no colour conversion
  const Bytes long_marker = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xF0, 'E', 'x', 'i', 'f', 0, 0};
  // Would need gigabytes of whole-image buffers: refused, not attempted.
  const Bytes huge = announcing(rig::make_picture({.progressive = true}), 30000, 30000);
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
    for (const Shape &shape : kShapes) {
      SCOPED_TRACE(std::to_string(size) + " bytes into " + std::to_string(shape.height));
      test_support::LogTap tap;
      FrameRequest request(shape.width, shape.height);
      ImageSynth2(request.srb(), picture, static_cast<ULONG>(size));
      EXPECT_EQ(request.header().DataUsed, 0u);
      EXPECT_TRUE(all_bytes(request.frame(), request.extent(), 0));
      EXPECT_TRUE(request.guards_intact());
      const auto errors = tap.texts(2);
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0].rfind("ImageSynth2 JPEG error ", 0), 0u) << errors[0];
      EXPECT_EQ(tap.texts(4).back(), "** Decompress DummyJpegImage biSizeImage = 0\n");
    }
  }
}

// Makes sure damaged scan data decodes with warnings or fails in order, and a huge
// announced size with little data is clipped: never a write out of the frame, no
// row left stale. Catches writes out of the frame and rows left undecoded.
TEST_F(ImageSynthTest, DamagedPicturesNeverWriteOutsideTheFrame) {
  const Bytes originals[] = {rig::make_picture({}), rig::make_picture({.progressive = true, .seed = 9}),
                             announcing(rig::make_picture({}), 4000, 3000)};
  uint32_t seed = 12345;
  for (const Bytes &original : originals) {
    const size_t scan = marker_end(original, true);
    for (int round = 0; round < 24; ++round) {
      Bytes damaged = original;
      for (int hit = 0; hit < 1 + round % 5 && &original != &originals[2]; ++hit) {
        seed = seed * 1664525u + 1013904223u;
        const size_t size = damaged.size();
        damaged[round % 3 == 0 ? (seed >> 8) % size : scan + (seed >> 8) % (size - scan)] =
            uint8_t(seed >> 24);
      }
      const Shape &shape = kShapes[round % 4];
      SCOPED_TRACE("round " + std::to_string(round));
      FrameRequest request(shape.width, shape.height);
      ImageSynth2(request.srb(), damaged.data(), static_cast<ULONG>(damaged.size()));
      EXPECT_TRUE(request.guards_intact());
      const ULONG used = request.header().DataUsed;
      EXPECT_TRUE(used == 0 || used == request.vih()->bmiHeader.biSizeImage) << used;
      EXPECT_TRUE(used != 0 || all_bytes(request.frame(), request.extent(), 0));
      for (size_t row = 0; row < request.extent() / request.pitch(); ++row)
        ASSERT_FALSE(
            all_bytes(request.frame() + row * request.pitch(), request.pitch(), FrameRequest::kStale))
            << "row " << row;
    }
  }
}

// Makes sure nothing is written past FrameExtent whatever the formats say: the
// rows that fit, DataUsed no more than the buffer, a part row left alone, no data
// when not one row fits; the open-time geometry decides when the format changed
// since. Catches a frame sized from the format alone.
TEST_F(ImageSynthTest, BufferSmallerThanTheFormatIsNeverOverrun) {
  const Bytes jpeg = rig::make_picture({});
  const rig::Decoded full = rig::reference_decode(jpeg, false);
  const struct {
    LONG width, height;
    ULONG extent;
    LONG format_width, format_height; // the current format since the open (0: unchanged)
    ULONG used;
  } cases[] = {{320, 240, 57600, 0, 0, 57600}, // 60 rows
               {160, 120, 0, 320, 240, 57600},
               {320, -240, 1000, 0, 0, 960}, // one row and a bit
               {320, 240, 900, 0, 0, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.extent);
    FrameRequest request(c.width, c.height, c.extent);
    if (c.format_width != 0) {
      request.format()->VideoInfoHeader.bmiHeader.biWidth = c.format_width;
      request.format()->VideoInfoHeader.bmiHeader.biHeight = c.format_height;
    }
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    EXPECT_TRUE(request.guards_intact());
    EXPECT_EQ(request.header().DataUsed, c.used);
    if (c.used == 0) {
      EXPECT_TRUE(all_bytes(request.frame(), request.extent(), FrameRequest::kStale));
    } else if (c.extent % request.pitch() != 0) {
      EXPECT_EQ(std::memcmp(request.frame(), full.row(0), 960), 0);
      EXPECT_TRUE(all_bytes(request.frame() + 960, 40, FrameRequest::kStale));
    } else {
      EXPECT_TRUE(Bytes(request.frame(), request.frame() + request.extent()) ==
                  expected_frame(request, rig::reference_decode(jpeg, c.width == 160), false));
    }
  }
}

// Makes sure the row order follows the current data format and the geometry the
// open-time header; without a readable current format (none, or one too short to
// hold a header, read no further than its end) the open-time header decides.
// Catches the order read from the wrong record, a read past a short format.
TEST_F(ImageSynthTest, RowOrderFollowsTheCurrentFormat) {
  const Bytes jpeg = rig::make_picture({.seed = 5});
  const rig::Decoded half = rig::reference_decode(jpeg, true);
  auto *bare =
      static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSDATAFORMAT), PoolTag("Wdm ")));
  ASSERT_NE(bare, nullptr);
  for (int kind = 0; kind < 3; ++kind) {
    SCOPED_TRACE(kind);
    FrameRequest request(160, 120);
    request.format()->VideoInfoHeader.bmiHeader.biHeight = -120;
    *bare = request.format()->DataFormat;
    bare->FormatSize = sizeof(KSDATAFORMAT);
    request.strm_ex().pKSDataFormat = kind == 0 ? &request.format()->DataFormat : kind == 1 ? nullptr : bare;
    ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
    EXPECT_TRUE(Bytes(request.frame(), request.frame() + request.extent()) ==
                expected_frame(request, half, kind == 0));
  }
  ExFreePool(bare);
}

// Makes sure a request without a frame buffer or video info header gets no data
// and no write. Catches a NULL dereference in the transfer thread.
TEST_F(ImageSynthTest, RequestWithoutBufferOrHeaderGetsNoData) {
  const Bytes jpeg = rig::make_picture({});
  FrameRequest request(320, 240);
  request.strm_ex().pVideoInfoHeader = nullptr;
  ImageSynth2(request.srb(), jpeg.data(), static_cast<ULONG>(jpeg.size()));
  EXPECT_EQ(request.header().DataUsed, 0u);
  EXPECT_TRUE(all_bytes(request.frame(), request.extent(), FrameRequest::kStale));
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
