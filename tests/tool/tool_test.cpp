// The dscam tool end to end: the built program against the emulated camera;
// and its descriptor reader on a bus with a device that misbehaves.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "emulator/usb/scripted_device.h"
#include "platform/usbbus/usb_bus.h"
#include "tests/support/pictures.h"
#include "tests/support/rig_test.h"
#include "tests/tool/tool_runner.h"
#include "tools/dscam/usb_descriptors.h"

namespace {

namespace fs = std::filesystem;
using tooltest::RunControl;
using tooltest::ToolRun;

class ToolTest : public RigTest {
protected:
  void SetUp() override {
    RigTest::SetUp();
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char &c : name)
      c = std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
    dir_ = fs::temp_directory_path() / ("dscam-tool-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    RigTest::TearDown();
  }

  // Runs dscam in the test's folder; a camera that answers at once unless
  // `fast` is false.
  ToolRun run(std::vector<std::string> args, bool fast = true, const RunControl &control = {}) {
    if (fast)
      args.insert(args.end(), {"--camera-fps", "0", "--link", "unlimited"});
    return tooltest::run_tool(args, dir_, control);
  }

  // Writes a test picture as picture.jpg in the test's folder; returns its bytes.
  std::vector<uint8_t> write_picture() {
    rig::PictureOptions options;
    options.seed = 7;
    std::vector<uint8_t> jpeg = rig::make_picture(options);
    std::ofstream(dir_ / "picture.jpg", std::ios::binary)
        .write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    return jpeg;
  }

  std::vector<uint8_t> read(const fs::path &path) const {
    std::ifstream in(dir_ / path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint32_t be32(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

// The summary's value for `name` ("frames", "decode"), or -1.
double summary_value(const ToolRun &run, const std::string &name) {
  for (const std::string &line : run.err_lines())
    if (line.rfind(name + ":", 0) == 0)
      return std::stod(line.substr(name.size() + 1));
  return -1;
}

// The regular files in a folder.
long files_in(const fs::path &folder) {
  long files = 0;
  for (const auto &entry : fs::directory_iterator(folder))
    files += entry.is_regular_file() ? 1 : 0;
  return files;
}

// The lines of a text trace that hold both `event` (" S Bo:") and `data`.
std::vector<std::string> trace_lines(const fs::path &trace, const std::string &event,
                                     const std::string &data) {
  std::ifstream in(trace);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (line.find(event) != std::string::npos && line.find(data) != std::string::npos)
      lines.push_back(line);
  return lines;
}

std::string describe(const ToolRun &run) {
  return "exit " + std::to_string(run.exit_code) + " after " + std::to_string(run.seconds) + " s, stderr:\n" +
         run.err;
}

// A reference decode as top-down RGB rows (what PNG and PPM files hold).
std::vector<uint8_t> reference_rgb(const std::vector<uint8_t> &jpeg) {
  const rig::Decoded decoded = rig::reference_decode(jpeg, false);
  std::vector<uint8_t> rgb = decoded.bgr;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3)
    std::swap(rgb[i], rgb[i + 2]);
  return rgb;
}

// CRC-32 as PNG uses it, bit by bit (independent of the tool's table).
uint32_t crc32_of(const uint8_t *data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// The pixels of a PNG made of stored deflate blocks (as dscam writes them),
// with every chunk CRC, the header, the zlib header, each block's length check
// and the Adler-32 checked; filter bytes removed. Empty (and a test failure)
// when the file's structure is broken.
std::vector<uint8_t> png_pixels(const std::vector<uint8_t> &png, uint32_t width, uint32_t height) {
  static const uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  static const uint8_t kHeaderTail[] = {8, 2, 0, 0, 0}; // 8 bits, truecolour, deflate, no filter or interlace
  std::vector<uint8_t> idat, raw, pixels;
  size_t at = 8;
  for (uint32_t length; at + 12 <= png.size() && at + 12 + (length = be32(png, at)) <= png.size();
       at += 12 + length) {
    const uint8_t *chunk = png.data() + at;
    const std::string type(chunk + 4, chunk + 8);
    EXPECT_EQ(crc32_of(chunk + 4, length + 4), be32(png, at + 8 + length)) << type;
    EXPECT_TRUE(type != "IHDR" ||
                (length == 13 && be32(png, at + 8) == width && be32(png, at + 12) == height &&
                 std::memcmp(chunk + 16, kHeaderTail, 5) == 0));
    if (type == "IDAT")
      idat.insert(idat.end(), chunk + 8, chunk + 8 + length);
  }
  bool last = false;
  size_t block = 2; // after the zlib header: stored blocks (header byte, LEN, NLEN, bytes)
  for (size_t length; !last && block + 5 <= idat.size() && (idat[block] & 0x06) == 0 &&
                      block + 5 + (length = idat[block + 1] | idat[block + 2] << 8) <= idat.size();
       block += 5 + length) {
    last = idat[block] & 1;
    EXPECT_EQ(length ^ 0xFFFF, static_cast<size_t>(idat[block + 3] | idat[block + 4] << 8));
    raw.insert(raw.end(), idat.begin() + static_cast<long>(block) + 5,
               idat.begin() + static_cast<long>(block + 5 + length));
  }
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  if (png.size() < 8 || std::memcmp(png.data(), kSignature, 8) != 0 || at != png.size() || idat.size() < 6 ||
      ((idat[0] << 8) | idat[1]) % 31 != 0 || (idat[0] & 0x0F) != 8 || !last || block + 4 != idat.size() ||
      be32(idat, block) != ((b << 16) | a)) {
    ADD_FAILURE() << "broken PNG: signature, chunks, zlib header, stored blocks or Adler-32";
    return {};
  }
  const size_t row = width * 3;
  for (size_t y = 0; y < height && (y + 1) * (row + 1) <= raw.size(); ++y) {
    EXPECT_EQ(raw[y * (row + 1)], 0) << "filter of row " << y;
    pixels.insert(pixels.end(), raw.begin() + static_cast<long>(y * (row + 1) + 1),
                  raw.begin() + static_cast<long>((y + 1) * (row + 1)));
  }
  return pixels;
}

// ---------------------------------------------------------------------------
// Makes sure a BMP holds the frame exactly as the driver delivers it, at both
// sizes and both row orders, and the summary shows the driver's decode time (a
// wrong height sign, a row flip, a half-scale decode at full size, a header
// that disagrees with the pixels or a decode time of 0 fail it).

struct Shape {
  long width;
  long height;
  bool top_down;
};

class ToolCaptureTest : public ToolTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(ToolCaptureTest, BmpHoldsTheReferenceDecodeAsDelivered) {
  const Shape shape = GetParam();
  const std::vector<uint8_t> jpeg = write_picture();
  const std::string size = std::to_string(shape.width) + "x" + std::to_string(shape.height);
  std::vector<std::string> args = {"capture", "-n",  "2",      "--pictures", "picture.jpg",
                                   "-o",      "out", "--size", size};
  if (shape.top_down)
    args.push_back("--top-down");
  const ToolRun result = run(args);
  ASSERT_EQ(result.exit_code, 0) << describe(result);
  EXPECT_EQ(summary_value(result, "frames"), 2);
  EXPECT_GT(summary_value(result, "decode"), 0.0) << result.err;
  EXPECT_TRUE(fs::exists(dir_ / "out" / "frame-000002.bmp"));
  EXPECT_FALSE(fs::exists(dir_ / "out" / "frame-000003.bmp"));

  const std::vector<uint8_t> bmp = read("out/frame-000001.bmp");
  ASSERT_GE(bmp.size(), 54u);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(le32(bmp, 2), bmp.size());
  const uint32_t offset = le32(bmp, 10);
  EXPECT_EQ(static_cast<int32_t>(le32(bmp, 18)), shape.width);
  EXPECT_EQ(static_cast<int32_t>(le32(bmp, 22)), shape.top_down ? -shape.height : shape.height);
  EXPECT_EQ(bmp[28], 24);
  ASSERT_LE(offset, bmp.size());
  const std::vector<uint8_t> pixels(bmp.begin() + offset, bmp.end());
  const std::vector<uint8_t> expected = rig::reference_frame(jpeg, shape.width == 160, shape.top_down);
  ASSERT_EQ(pixels.size(), expected.size());
  EXPECT_TRUE(pixels == expected) << "the frame differs from the reference decode";
}

INSTANTIATE_TEST_SUITE_P(Shapes, ToolCaptureTest,
                         ::testing::Values(Shape{320, 240, false}, Shape{320, 240, true},
                                           Shape{160, 120, false}, Shape{160, 120, true}),
                         [](const auto &info) {
                           return std::to_string(info.param.width) +
                                  (info.param.top_down ? "TopDown" : "BottomUp");
                         });

// Makes sure PNG and PPM files hold the picture top-down in RGB order, the
// PNG is well formed (chunk CRCs, zlib header, stored blocks, Adler-32), and a
// JPEG file decodes to the picture within the encoding's loss: a BGR/RGB swap,
// a bottom-up file or a bad checksum fails it.
TEST_F(ToolTest, PngPpmAndJpegHoldTopDownRgb) {
  const std::vector<uint8_t> expected = reference_rgb(write_picture());
  for (const char *format : {"ppm", "png", "jpeg"}) {
    const ToolRun result =
        run({"capture", "-n", "1", "--pictures", "picture.jpg", "-o", format, "--format", format});
    ASSERT_EQ(result.exit_code, 0) << describe(result);
    const std::string extension = std::string(format) == "jpeg" ? "jpg" : format;
    const std::vector<uint8_t> file = read(fs::path(format) / ("frame-000001." + extension));
    std::vector<uint8_t> pixels;
    if (extension == "jpg") {
      pixels = reference_rgb(file);
      ASSERT_EQ(pixels.size(), expected.size());
      long difference = 0;
      for (size_t i = 0; i < pixels.size(); ++i)
        difference += std::abs(pixels[i] - expected[i]);
      EXPECT_LT(static_cast<double>(difference) / static_cast<double>(pixels.size()), 4.0);
      continue;
    }
    if (std::string(format) == "ppm") {
      static const std::string kHeader = "P6\n320 240\n255\n";
      ASSERT_GE(file.size(), kHeader.size());
      EXPECT_EQ(std::string(file.begin(), file.begin() + static_cast<long>(kHeader.size())), kHeader);
      pixels.assign(file.begin() + static_cast<long>(kHeader.size()), file.end());
    } else {
      pixels = png_pixels(file, 320, 240);
    }
    EXPECT_TRUE(pixels == expected) << format << " pixels differ from the reference decode";
  }
}

// Makes sure an AVI clip is one RIFF 'AVI ' file that players take: the main
// and stream headers with the frame count, size and 15 frames/s, a 24-bit
// 'DIB ' format, one '00db' chunk per frame holding the frame bottom-up, and
// an index pointing at each (a wrong chunk size, a missing index, a top-down
// frame or a header not patched with the count fails it).
TEST_F(ToolTest, AviClipHoldsEveryFrameBottomUp) {
  const std::vector<uint8_t> jpeg = write_picture();
  const ToolRun result = run(
      {"capture", "-n", "3", "--pictures", "picture.jpg", "--format", "avi", "-o", "clip.avi", "--top-down"});
  ASSERT_EQ(result.exit_code, 0) << describe(result);
  const std::vector<uint8_t> avi = read("clip.avi");
  const auto fourcc = [&](size_t at) {
    return at + 4 <= avi.size()
               ? std::string(avi.begin() + static_cast<long>(at), avi.begin() + static_cast<long>(at + 4))
               : std::string();
  };
  ASSERT_GE(avi.size(), 224u);
  EXPECT_EQ(fourcc(0) + fourcc(8), "RIFFAVI ");
  EXPECT_EQ(le32(avi, 4), avi.size() - 8);
  EXPECT_EQ(fourcc(12) + fourcc(20) + fourcc(24), "LISThdrlavih");
  EXPECT_EQ(le32(avi, 32), 66666u); // microseconds per frame
  EXPECT_EQ(le32(avi, 48), 3u);     // frames
  EXPECT_EQ(le32(avi, 64), 320u);
  EXPECT_EQ(le32(avi, 68), 240u);
  const size_t strl = 20 + 4 + 8 + 56;
  EXPECT_EQ(fourcc(strl) + fourcc(strl + 8) + fourcc(strl + 12) + fourcc(strl + 20) + fourcc(strl + 24),
            "LISTstrlstrhvidsDIB ");
  EXPECT_EQ(le32(avi, strl + 40), 666666u);     // scale: 15 frames/s as rate / scale
  EXPECT_EQ(le32(avi, strl + 44), 10'000'000u); // rate
  EXPECT_EQ(le32(avi, strl + 52), 3u);          // length in frames
  const size_t strf = strl + 12 + 8 + 56;
  EXPECT_EQ(fourcc(strf), "strf");
  EXPECT_EQ(avi[strf + 8 + 14], 24); // bits per pixel
  const size_t movi = strf + 8 + 40;
  ASSERT_EQ(fourcc(movi) + fourcc(movi + 8), "LISTmovi");
  const size_t index = movi + 8 + le32(avi, movi + 4);
  const std::vector<uint8_t> expected = rig::reference_frame(jpeg, false, false);
  for (uint32_t frame = 0; frame < 3; ++frame) {
    const size_t chunk = movi + 12 + frame * (8 + 230400);
    ASSERT_EQ(fourcc(chunk), "00db");
    ASSERT_EQ(le32(avi, chunk + 4), 230400u);
    EXPECT_EQ(std::memcmp(avi.data() + chunk + 8, expected.data(), 230400), 0) << "frame " << frame;
    EXPECT_EQ(fourcc(index + 8 + frame * 16) + std::to_string(le32(avi, index + 16 + frame * 16)),
              "00db" + std::to_string(chunk - movi - 8));
  }
  ASSERT_EQ(fourcc(index), "idx1");
  EXPECT_EQ(index + 8 + 3 * 16, avi.size());
}

// ---------------------------------------------------------------------------
// Makes sure stream writes exactly N top-down frames of the format's size to
// stdout and nothing else (a log line on stdout, a bottom-up frame or a frame
// with padding fails it).

TEST_F(ToolTest, StreamWritesRawTopDownFrames) {
  const std::vector<uint8_t> jpeg = write_picture();
  const ToolRun full = run({"stream", "-n", "3", "--pictures", "picture.jpg"});
  ASSERT_EQ(full.exit_code, 0) << describe(full);
  ASSERT_EQ(full.out.size(), 3u * 230400u);
  const std::vector<uint8_t> expected = rig::reference_frame(jpeg, false, true);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::memcmp(full.out.data() + i * 230400, expected.data(), 230400), 0) << "frame " << i + 1;
}

// ---------------------------------------------------------------------------
// Makes sure the USB traces show a run with control changes: the pcap is a
// usbmon capture holding the picture-size command, and a zoom burst (--set)
// gives one zoom command with the last value in the text trace (a missing
// trace, a driver that sends every set or a --set never applied fails it).

TEST_F(ToolTest, TracesShowTheRunAndOneZoomCommandPerBurst) {
  const ToolRun result = run({"stream", "--duration", "1.8", "--trace", "usb.txt", "--pcap", "usb.pcap",
                              "--set", "zoom=70@0.5", "--set", "zoom=80@0.7"},
                             false);
  ASSERT_EQ(result.exit_code, 0) << describe(result);
  const std::vector<uint8_t> pcap = read("usb.pcap");
  ASSERT_GE(pcap.size(), 24u);
  EXPECT_EQ(le32(pcap, 0), 0xA1B2C3D4u);
  EXPECT_EQ(le32(pcap, 20), 220u); // LINKTYPE_USB_LINUX_MMAPPED
  static const uint8_t kSizeCommand[] = {0x1b, 0x43, 0x02, 0x00, 0x01, 0x0c, 0x0d, 0x00};
  EXPECT_NE(std::search(pcap.begin(), pcap.end(), std::begin(kSizeCommand), std::end(kSizeCommand)),
            pcap.end());
  const std::vector<std::string> zoom_commands = trace_lines(dir_ / "usb.txt", " S Bo:", "= 1b430e00 038d");
  ASSERT_EQ(zoom_commands.size(), 1u) << result.err;
  EXPECT_NE(zoom_commands[0].find("= 1b430e00 038d5000 "), std::string::npos) << zoom_commands[0];
}

// ---------------------------------------------------------------------------
// Makes sure the control commands reach the camera and read back what it does,
// and info's GET_DESCRIPTOR requests go through the bus (its trace holds more
// than the driver's start makes): a zoom that returns before the camera moved,
// a focus left manual or descriptors read around the bus fail it.

TEST_F(ToolTest, ControlCommandsReadBackTheCamera) {
  const ToolRun zoom = run({"zoom", "70", "--trace", "zoom.txt"});
  ASSERT_EQ(zoom.exit_code, 0) << describe(zoom);
  EXPECT_EQ(zoom.out, "zoom: 70\n");
  const ToolRun focus = run({"focus", "auto"});
  ASSERT_EQ(focus.exit_code, 0) << describe(focus);
  EXPECT_EQ(focus.out, "focus: auto (flags 0x1)\n");
  const ToolRun info = run({"info", "--trace", "info.txt"});
  ASSERT_EQ(info.exit_code, 0) << describe(info);
  for (const char *request : {" s 80 06 0100", " s 80 06 0200"}) // device, configuration
    EXPECT_GT(trace_lines(dir_ / "info.txt", " S Ci:", request).size(),
              trace_lines(dir_ / "zoom.txt", " S Ci:", request).size())
        << request;
  EXPECT_NE(info.out.find("endpoint 0x81 IN bulk"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("RGB24 160x120"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("zoom   get,set  range 0..100 step 1  default 50  current 50"), std::string::npos)
      << info.out;
}

// ---------------------------------------------------------------------------
// Makes sure a camera that fails mid-run, or sends only pictures that do not
// decode, ends it within seconds with status 4, the summary and a one-line
// reason last (a hang, a success, an empty frame written as an image or a crash
// fails it).

struct FaultCase {
  const char *name;
  const char *option;
  const char *value;
  const char *reason;
};

class ToolFaultTest : public ToolTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ToolFaultTest, CameraFaultEndsTheRun) {
  std::ofstream(dir_ / "garbage.jpg") << "\xFF\xD8\xFF then not a JPEG picture";
  RunControl control;
  control.limit = std::chrono::seconds(30);
  const ToolRun result =
      run({"capture", "-n", "30", "-o", "out", GetParam().option, GetParam().value}, true, control);
  ASSERT_TRUE(result.finished) << "still running after 30 s: " << describe(result);
  EXPECT_EQ(result.exit_code, 4) << describe(result);
  const std::vector<std::string> lines = result.err_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind(std::string("dscam: ") + GetParam().reason, 0), 0u) << result.err;
  const double frames = summary_value(result, "frames");
  EXPECT_LT(frames, 30);
  EXPECT_EQ(files_in(dir_ / "out"), frames);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ToolFaultTest,
    ::testing::Values(FaultCase{"Stop", "--fault=stop-answering@5", "--watchdog=1", "the camera stopped answering"},
                      FaultCase{"Unplug", "--fault", "disconnect@5", "the camera was disconnected"},
                      FaultCase{"Undecodable", "--pictures", "garbage.jpg", "no usable frame"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Makes sure a capture through damaged, refused or failed pictures says what
// happened: damaged frames are written and counted apart (or skipped), a
// picture too large is named with its size before the watchdog would fire,
// failed reads reopen the pin (--retries) and the capture completes, or ends
// at once with the real cause (a damaged frame counted as good, the watchdog's
// "stopped answering", or a wrong count fails it).

struct OutcomeCase {
  const char *name;
  std::vector<std::string> args; // after "capture -o out"
  int exit_code;
  const char *last_line; // prefix of the last line on stderr; "{size}" is big.jpg's size
  std::vector<std::pair<const char *, double>> summary;
  const char *err_has;     // a text stderr holds
  int damaged_frame_lines; // --frames-info lines marked "damaged" (-1: not asked)
};

class ToolOutcomeTest : public ToolTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ToolOutcomeTest, CaptureSaysWhatHappened) {
  const OutcomeCase &outcome = GetParam();
  rig::PictureOptions options; // a 640x480 picture, larger than the driver's buffer
  options.width = 640;
  options.height = 480;
  options.quality = 95;
  options.subsample = false;
  const std::vector<uint8_t> big = rig::make_picture(options);
  ASSERT_GT(big.size(), 65536u);
  std::ofstream(dir_ / "big.jpg", std::ios::binary)
      .write(reinterpret_cast<const char *>(big.data()), static_cast<std::streamsize>(big.size()));
  write_picture();
  std::vector<std::string> args = {"capture", "-o", "out"};
  args.insert(args.end(), outcome.args.begin(), outcome.args.end());
  if (std::find(args.begin(), args.end(), "--pictures") == args.end())
    args.insert(args.end(), {"--pictures", "picture.jpg"}); // quicker than the scene under sanitizers
  RunControl control;
  control.limit = std::chrono::seconds(30);
  const ToolRun result = run(args, true, control);
  ASSERT_TRUE(result.finished) << describe(result);
  EXPECT_EQ(result.exit_code, outcome.exit_code) << describe(result);
  std::string size = std::to_string(big.size());
  size.insert(size.size() - 3, ",");
  std::string last_line = outcome.last_line;
  if (const size_t at = last_line.find("{size}"); at != std::string::npos)
    last_line.replace(at, 6, size);
  ASSERT_FALSE(result.err_lines().empty());
  EXPECT_EQ(result.err_lines().back().rfind(last_line, 0), 0u) << result.err;
  EXPECT_NE(result.err.find(outcome.err_has), std::string::npos) << result.err;
  for (const auto &[name, value] : outcome.summary)
    EXPECT_EQ(summary_value(result, name), value) << name << "\n" << result.err;
  EXPECT_EQ(files_in(dir_ / "out"), summary_value(result, "frames"));
  if (outcome.exit_code != 0) { // ended by its cause, not by the 3 s watchdog
    EXPECT_LT(summary_value(result, "elapsed"), 2.5) << result.err;
  }
  if (outcome.damaged_frame_lines >= 0) {
    const auto lines = result.err_lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &line) {
                              return line.rfind("frame ", 0) == 0 && line.ends_with(" damaged");
                            }),
              outcome.damaged_frame_lines)
        << result.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ToolOutcomeTest,
    ::testing::Values(OutcomeCase{"DamagedKept",
                                  {"-n", "3", "--fault", "truncated", "--frames-info"},
                                  0,
                                  "decode:",
                                  {{"frames", 3}, {"damaged", 3}, {"errors", 0}},
                                  "damaged:  3 written all the same",
                                  3},
                      OutcomeCase{"DamagedSkipped",
                                  {"-n", "3", "--fault", "truncated", "--skip-damaged", "--watchdog", "1"},
                                  4,
                                  "dscam: no whole frame for 1.",
                                  {{"frames", 0}},
                                  " skipped (frames whose pictures did not decode whole)",
                                  -1},
                      OutcomeCase{"TooLarge",
                                  {"-n", "3", "--pictures", "big.jpg"},
                                  4,
                                  "dscam: the camera's pictures are too large: {size} bytes, at most 65,536",
                                  {{"frames", 0}},
                                  "(pictures refused: ",
                                  -1},
                      OutcomeCase{"RetriedTwice",
                                  {"-n", "30", "--fault", "size-checksum@3", "--fault", "size-checksum@9"},
                                  0,
                                  "decode:",
                                  {{"frames", 30}, {"retries", 2}},
                                  "capture pin reopened (retry 1 of 3)",
                                  -1},
                      OutcomeCase{"FivePercentSizeFaults",
                                  {"-n", "30", "--fault", "size-checksum=0.05"},
                                  0,
                                  "decode:",
                                  {{"frames", 30}},
                                  "retries:",
                                  -1},
                      OutcomeCase{"LostRepliesEndInAResetAndARetry",
                                  {"-n", "30", "--fault", "lost-packet=0.02", "--fault", "write-error=0.02",
                                   "--fault", "stop-answering@20"},
                                  0,
                                  "decode:",
                                  {{"frames", 30}},
                                  "retries:",
                                  -1},
                      OutcomeCase{"NoRetries",
                                  {"-n", "30", "--fault", "size-checksum@3", "--retries", "0"},
                                  4,
                                  "dscam: device error on the picture size exchange",
                                  {{"retries", 0}},
                                  "retries:  0",
                                  -1}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A camera that stops answering, never receives a command, or is unplugged:
// the driver gives up on each reply after its limit (the tool has none of its
// own) and fails the request, and the tool says the camera did not answer,
// with status 4 and no reading shown (an invented "zoom: 0", a success or a
// hang past the driver's 10.5 s fails it).

TEST_F(ToolTest, ControlsOnASilentCameraShowNoReading) {
  static const std::string kNoAnswer =
      "dscam: the camera did not answer the zoom reading: STATUS_IO_DEVICE_ERROR (0xC0000185)\n";
  const struct {
    const char *line;
    std::string err;
  } kCases[] = {
      {"zoom --fault stop-answering", kNoAnswer},
      {"zoom 30 --fault write-error", kNoAnswer},
      {"zoom --fault disconnect", "dscam: the camera was disconnected\n"},
      {"focus auto --fault stop-answering",
       "dscam: the auto focus failed: STATUS_INVALID_PARAMETER (0xC000000D)\n"},
  };
  RunControl control;
  control.limit = std::chrono::seconds(20);
  for (const auto &c : kCases) {
    std::vector<std::string> args;
    std::istringstream words(c.line);
    for (std::string word; words >> word;)
      args.push_back(word);
    const ToolRun result = run(args, true, control);
    ASSERT_TRUE(result.finished) << c.line << ": " << describe(result);
    EXPECT_EQ(result.exit_code, 4) << c.line << ": " << describe(result);
    EXPECT_EQ(result.err, c.err) << c.line;
    EXPECT_EQ(result.out, "") << c.line;
  }
  const ToolRun info = run({"info", "--fault", "stop-answering"}, true, control);
  EXPECT_EQ(info.exit_code, 4) << describe(info);
  EXPECT_NE(
      info.out.find("zoom   get,set  range 0..100 step 1  default 50  current: the camera did not answer"),
      std::string::npos)
      << info.out;
  EXPECT_EQ(info.err, kNoAnswer);
}

// What info's descriptor reader prints for `device` on a bus, and its reason.
std::pair<std::string, std::string> read_descriptors(std::shared_ptr<emu::ScriptedUsbDevice> device) {
  usbbus::UsbBus bus(device);
  char *text = nullptr;
  size_t size = 0;
  std::FILE *out = open_memstream(&text, &size);
  if (out == nullptr)
    return {"no memory stream", ""};
  const std::string reason = dscam::print_usb_descriptors(bus.physical_device_object(), out);
  std::fclose(out);
  std::string printed(text, size);
  std::free(text);
  return {reason, printed};
}

// Makes sure info's descriptor reader names what a device that stalls or
// answers short did, shows nothing past the bytes returned and gives the first
// problem as its reason (garbage fields, a crash or a success fail it).
TEST_F(ToolTest, DescriptorsOfAStallingOrShortDevice) {
  static const uint8_t kShortDevice[] = {0x12, 0x01, 0x10, 0x01};
  static const uint8_t kCutConfiguration[] = {0x09, 0x02, 0x40, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA,
                                              0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x00};
  auto stalling = std::make_shared<emu::ScriptedUsbDevice>();
  stalling->set_device_descriptor(kShortDevice);
  stalling->stall_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE);
  const auto [reason, printed] = read_descriptors(stalling);
  EXPECT_EQ(reason, "device descriptor: short, 4 of 18 bytes");
  EXPECT_EQ(printed, "Device descriptor: short, 4 of 18 bytes\nConfiguration descriptor:\n"
                     "  the device stalled GET_DESCRIPTOR\n");
  auto cut = std::make_shared<emu::ScriptedUsbDevice>();
  cut->set_configuration_descriptor(kCutConfiguration);
  const auto [cut_reason, cut_printed] = read_descriptors(cut);
  EXPECT_EQ(cut_reason, "configuration descriptor 0: short, 18 of 64 bytes");
  EXPECT_NE(cut_printed.find("0xff/0xff/0xff\n  short, 18 of 64 bytes\n"), std::string::npos) << cut_printed;
}

// ---------------------------------------------------------------------------
// Makes sure SIGINT and SIGTERM mid-capture close the stream cleanly, also
// when the signal comes twice at once (as `timeout` and shells send it): the
// summary is printed, it counts exactly the files written, and the status says
// which signal (a hang, a crash by the signal or a lost summary fails it).

class ToolSignalTest : public ToolTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(ToolSignalTest, SignalEndsCaptureWithSummary) {
  const auto [signal, repeat] = GetParam();
  RunControl control;
  control.limit = std::chrono::seconds(30);
  control.signal = signal;
  control.repeat = repeat;
  const fs::path third = dir_ / "out" / "frame-000003.bmp";
  control.send_when = [&] { return fs::exists(third); };
  const ToolRun result = run({"capture", "-n", "100000", "-o", "out"}, true, control);
  ASSERT_TRUE(result.finished) << describe(result);
  EXPECT_EQ(result.exit_code, signal == SIGINT ? 130 : 143) << describe(result);
  const double frames = summary_value(result, "frames");
  EXPECT_GE(frames, 3) << result.err;
  EXPECT_EQ(files_in(dir_ / "out"), frames);
  ASSERT_FALSE(result.err_lines().empty());
  EXPECT_EQ(result.err_lines().back(), signal == SIGINT ? "dscam: interrupted" : "dscam: terminated");
}

INSTANTIATE_TEST_SUITE_P(Signals, ToolSignalTest,
                         ::testing::Values(std::pair{SIGINT, 1}, std::pair{SIGTERM, 1}, std::pair{SIGINT, 2}),
                         [](const auto &info) {
                           return std::string(info.param.first == SIGINT ? "Int" : "Term") +
                                  (info.param.second > 1 ? "Twice" : "");
                         });

// ---------------------------------------------------------------------------
// Makes sure a bad command line fails with status 2, one line on stderr and
// nothing on stdout, and that --help, --version and --fault help answer on
// stdout with status 0 (a silent failure, a usage dump on error or a help that
// starts the camera fails it).

TEST_F(ToolTest, CommandLineErrorsAndHelp) {
  std::ofstream(dir_ / "garbage.jpg") << "not a JPEG picture";
  // Each bad command line's arguments, separated by spaces.
  for (const char *line :
       {"", "shoot", "capture --bogus", "capture -n 0", "capture -n", "capture --size 640x480",
        "capture --format gif", "stream -n 3 --duration 2", "info --set zoom=5@1", "focus manual",
        "capture --fault no-such-fault", "capture --link slow", "zoom 150", "capture --pictures garbage.jpg",
        "capture --pictures missing.jpg", "capture --retries -1", "capture -nx", "serve --listen 8080",
        "serve --listen 127.0.0.1:65536", "serve -n 5"}) {
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string word; words >> word;)
      args.push_back(word);
    const ToolRun result = tooltest::run_tool(args, dir_);
    EXPECT_EQ(result.exit_code, 2) << "dscam " << line << ": " << describe(result);
    ASSERT_EQ(result.err_lines().size(), 1u) << "dscam " << line << ": " << result.err;
    EXPECT_EQ(result.err_lines()[0].rfind("dscam: ", 0), 0u) << result.err;
    EXPECT_TRUE(result.out.empty()) << "dscam " << line;
  }
  for (const char *command : {"capture", "stream", "info", "zoom", "focus", "serve"}) {
    const ToolRun result = tooltest::run_tool({command, "--help"}, dir_);
    EXPECT_EQ(result.exit_code, 0) << command;
    EXPECT_EQ(result.out.rfind(std::string("Usage: dscam ") + command, 0), 0u) << result.out;
    EXPECT_NE(result.out.find("Exit status"), std::string::npos) << command;
    EXPECT_TRUE(result.err.empty()) << result.err;
  }
  const ToolRun version = tooltest::run_tool({"--version"}, dir_);
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("dscam ", 0), 0u) << version.out;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"capture", "--fault", "help"}, {"--fault", "help"}, {"--fault=help"}}) {
    const ToolRun faults = tooltest::run_tool(args, dir_);
    EXPECT_EQ(faults.exit_code, 0) << args[0] << ": " << faults.err;
    EXPECT_NE(faults.out.find("stop-answering"), std::string::npos) << faults.out;
  }
}

// Makes sure the tool refuses what would lose or garble output, and names
// why: raw video to a terminal, frames of an earlier capture in the folder
// (unless --overwrite, which leaves only the new ones), a log file it cannot
// open (with the system's reason); and that "-n3" is "-n 3" and info names the
// properties (binary on a terminal, mixed captures or a bare "cannot write"
// fails it).
TEST_F(ToolTest, OutputIsGuardedAndNamed) {
  RunControl terminal;
  terminal.stdout_terminal = true;
  terminal.limit = std::chrono::seconds(10);
  const ToolRun tty = run({"stream", "-n", "1"}, true, terminal);
  EXPECT_EQ(tty.exit_code, 5) << describe(tty);
  EXPECT_EQ(tty.err.rfind("dscam: standard output is a terminal", 0), 0u) << tty.err;
  ASSERT_EQ(run({"capture", "-n3", "-o", "out"}).exit_code, 0);
  const ToolRun again = run({"capture", "-n", "2", "-o", "out"});
  EXPECT_EQ(again.exit_code, 5) << describe(again);
  EXPECT_NE(again.err.find("holds 3 frames of an earlier capture: use --overwrite"), std::string::npos)
      << again.err;
  EXPECT_EQ(files_in(dir_ / "out"), 3);
  ASSERT_EQ(run({"capture", "-n", "2", "-o", "out", "--overwrite"}).exit_code, 0);
  EXPECT_EQ(files_in(dir_ / "out"), 2);
  const ToolRun log = run({"info", "--log", "no-such-folder/driver.log"});
  EXPECT_EQ(log.exit_code, 5) << describe(log);
  EXPECT_EQ(log.err,
            "dscam: cannot write the log file 'no-such-folder/driver.log': No such file or directory\n");
  const ToolRun info = run({"info"});
  for (const char *named :
       {"     3 zoom                     get,set\n", "     3 allocator framing        get\n"})
    EXPECT_NE(info.out.find(named), std::string::npos) << named << info.out;
}

// Makes sure --json gives the summary (info: the whole description) as one
// JSON object on a line, on stdout (stream: stderr), and -q leaves nothing
// else on stderr (a text summary mixed in, a JSON object split over lines or
// on the wrong stream fails it).
TEST_F(ToolTest, JsonAndQuiet) {
  const ToolRun capture = run({"capture", "-n", "2", "-o", "out", "--json", "-q"});
  ASSERT_EQ(capture.exit_code, 0) << describe(capture);
  EXPECT_TRUE(capture.err.empty()) << capture.err;
  EXPECT_EQ(capture.out.rfind("{\"frames\":2,\"damaged\":0,", 0), 0u) << capture.out;
  EXPECT_EQ(capture.out.find('\n'), capture.out.size() - 1) << capture.out;
  EXPECT_NE(capture.out.find("\"exit_status\":0,\"error\":null}"), std::string::npos) << capture.out;
  const ToolRun stream = run({"stream", "-n", "1", "--json"});
  ASSERT_EQ(stream.exit_code, 0) << describe(stream);
  EXPECT_EQ(stream.out.size(), 230400u);
  ASSERT_FALSE(stream.err_lines().empty());
  EXPECT_EQ(stream.err_lines().back().rfind("{\"frames\":1,", 0), 0u) << stream.err;
  const ToolRun info = run({"info", "--json"});
  ASSERT_EQ(info.exit_code, 0) << describe(info);
  EXPECT_EQ(info.out.rfind("{\"usb\":{\"device\":{\"usb\":\"1.10\"", 0), 0u) << info.out;
  EXPECT_NE(
      info.out.find("{\"name\":\"zoom\",\"id\":3,\"get\":true,\"set\":true,\"minimum\":0,\"maximum\":100,"
                    "\"step\":1,\"default\":50,\"current\":50,"),
      std::string::npos)
      << info.out;
}

} // namespace
