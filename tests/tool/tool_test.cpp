// The dscam tool end to end: the built program against the emulated camera.
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "tests/capture/capture_rig.h"
#include "tests/support/pictures.h"
#include "tests/support/platform_test.h"
#include "tests/tool/tool_runner.h"

namespace {

namespace fs = std::filesystem;
using tooltest::RunControl;
using tooltest::ToolRun;

class ToolTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
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
    PlatformTest::TearDown();
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
    image_test::PictureOptions options;
    options.seed = 7;
    std::vector<uint8_t> jpeg = image_test::make_picture(options);
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

// The summary's value for `name` ("frames"), or -1.
long summary_value(const ToolRun &run, const std::string &name) {
  for (const std::string &line : run.err_lines())
    if (line.rfind(name + ":", 0) == 0)
      return std::stol(line.substr(name.size() + 1));
  return -1;
}

std::string describe(const ToolRun &run) {
  return "exit " + std::to_string(run.exit_code) + " after " + std::to_string(run.seconds) + " s, stderr:\n" +
         run.err;
}

// A reference decode as top-down RGB rows (what PNG and PPM files hold).
std::vector<uint8_t> reference_rgb(const std::vector<uint8_t> &jpeg) {
  const image_test::Decoded decoded = image_test::reference_decode(jpeg, false);
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
// with every CRC, the zlib header and the Adler-32 checked; filter bytes
// removed. Empty (and a test failure) on any mismatch.
std::vector<uint8_t> png_pixels(const std::vector<uint8_t> &png, uint32_t width, uint32_t height) {
  static const uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 8 || std::memcmp(png.data(), kSignature, 8) != 0) {
    ADD_FAILURE() << "no PNG signature";
    return {};
  }
  std::vector<uint8_t> idat;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = be32(png, at);
    if (at + 12 + length > png.size()) {
      ADD_FAILURE() << "chunk overruns the file";
      return {};
    }
    const std::string type(png.begin() + static_cast<long>(at) + 4, png.begin() + static_cast<long>(at) + 8);
    EXPECT_EQ(crc32_of(png.data() + at + 4, length + 4), be32(png, at + 8 + length)) << type;
    if (type == "IHDR") {
      EXPECT_EQ(be32(png, at + 8), width);
      EXPECT_EQ(be32(png, at + 12), height);
      EXPECT_EQ(png[at + 16], 8);
      EXPECT_EQ(png[at + 17], 2); // truecolour
    }
    if (type == "IDAT")
      idat.insert(idat.end(), png.begin() + static_cast<long>(at) + 8,
                  png.begin() + static_cast<long>(at + 8 + length));
    at += 12 + length;
  }
  if (idat.size() < 6 || ((idat[0] << 8) | idat[1]) % 31 != 0 || (idat[0] & 0x0F) != 8) {
    ADD_FAILURE() << "bad zlib header";
    return {};
  }
  std::vector<uint8_t> raw;
  size_t at = 2;
  for (bool last = false; !last;) {
    if (at + 5 > idat.size() || (idat[at] & 0x06) != 0) {
      ADD_FAILURE() << "not a stored block at " << at;
      return {};
    }
    last = idat[at] & 1;
    const size_t length = idat[at + 1] | idat[at + 2] << 8;
    EXPECT_EQ(length ^ 0xFFFF, static_cast<size_t>(idat[at + 3] | idat[at + 4] << 8));
    if (at + 5 + length > idat.size()) {
      ADD_FAILURE() << "stored block overruns the data";
      return {};
    }
    raw.insert(raw.end(), idat.begin() + static_cast<long>(at) + 5,
               idat.begin() + static_cast<long>(at + 5 + length));
    at += 5 + length;
  }
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  EXPECT_EQ(at + 4, idat.size());
  if (at + 4 <= idat.size()) {
    EXPECT_EQ(be32(idat, at), (b << 16) | a) << "Adler-32";
  }
  std::vector<uint8_t> pixels;
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
// sizes and both row orders (a wrong height sign, a row flip, a half-scale
// decode at full size or a header that disagrees with the pixels fail it).

struct Shape {
  long width;
  long height;
  bool top_down;
};

class ToolCaptureTest : public ToolTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(ToolCaptureTest, BmpHoldsTheReferenceDecodeAsDelivered) {
  const Shape shape = GetParam();
  const std::vector<uint8_t> jpeg = write_picture();
  std::vector<std::string> args = {
      "capture",    "-n",          "2",
      "--pictures", "picture.jpg", "-o",
      "out",        "--size",      std::to_string(shape.width) + "x" + std::to_string(shape.height)};
  if (shape.top_down)
    args.push_back("--top-down");
  const ToolRun result = run(args);
  ASSERT_EQ(result.exit_code, 0) << describe(result);
  EXPECT_EQ(summary_value(result, "frames"), 2);
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
  const std::vector<uint8_t> expected = captest::reference_frame(jpeg, shape.width == 160, shape.top_down);
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

// Makes sure PNG and PPM files hold the picture top-down in RGB order, and the
// PNG is well formed (chunk CRCs, zlib header, stored blocks, Adler-32): a
// BGR/RGB swap, a bottom-up file or a bad checksum fails it.
TEST_F(ToolTest, PngAndPpmHoldTopDownRgb) {
  const std::vector<uint8_t> expected = reference_rgb(write_picture());
  for (const char *format : {"ppm", "png"}) {
    const ToolRun result =
        run({"capture", "-n", "1", "--pictures", "picture.jpg", "-o", format, "--format", format});
    ASSERT_EQ(result.exit_code, 0) << describe(result);
    const std::vector<uint8_t> file = read(fs::path(format) / (std::string("frame-000001.") + format));
    std::vector<uint8_t> pixels;
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

// ---------------------------------------------------------------------------
// Makes sure stream writes exactly N top-down frames of the format's size to
// stdout and nothing else (a log line on stdout, a bottom-up frame or a frame
// with padding fails it).

TEST_F(ToolTest, StreamWritesRawTopDownFrames) {
  const std::vector<uint8_t> jpeg = write_picture();
  const ToolRun full = run({"stream", "-n", "3", "--pictures", "picture.jpg"});
  ASSERT_EQ(full.exit_code, 0) << describe(full);
  ASSERT_EQ(full.out.size(), 3u * 230400u);
  const std::vector<uint8_t> expected = captest::reference_frame(jpeg, false, true);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::memcmp(full.out.data() + i * 230400, expected.data(), 230400), 0) << "frame " << i + 1;

  const ToolRun small = run({"stream", "-n", "4", "--size", "160x120"});
  ASSERT_EQ(small.exit_code, 0) << describe(small);
  EXPECT_EQ(small.out.size(), 4u * 57600u);
}

// ---------------------------------------------------------------------------
// Makes sure the USB traces show the traffic: the pcap is a usbmon capture that
// tshark reads, with the picture-size command as the first bulk OUT data; a
// zoom burst gives one zoom command, with the last value (a driver that sends
// every set, or a pcap tshark cannot read, fails it).

TEST_F(ToolTest, PcapOpensInTsharkWithTheSizeCommandFirst) {
  const ToolRun result = run({"capture", "-n", "2", "-o", "out", "--pcap", "usb.pcap"});
  ASSERT_EQ(result.exit_code, 0) << describe(result);
  const std::vector<uint8_t> pcap = read("usb.pcap");
  ASSERT_GE(pcap.size(), 24u);
  EXPECT_EQ(le32(pcap, 0), 0xA1B2C3D4u);
  EXPECT_EQ(le32(pcap, 20), 220u); // LINKTYPE_USB_LINUX_MMAPPED

  if (std::system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed: the pcap was not opened with it";
  const std::string command = "tshark -r '" + (dir_ / "usb.pcap").string() +
                              "' -Y 'usb.transfer_type == 0x03 && usb.endpoint_address.direction == 0 && "
                              "usb.capdata' -T fields -e usb.capdata 2>/dev/null";
  FILE *pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256] = {};
  const bool got = std::fgets(line, sizeof(line), pipe) != nullptr;
  const int status = pclose(pipe);
  ASSERT_TRUE(got) << "tshark found no bulk OUT data";
  EXPECT_EQ(status, 0);
  std::string first(line);
  first.erase(std::remove(first.begin(), first.end(), ':'), first.end());
  first.erase(first.find_last_not_of("\r\n") + 1);
  EXPECT_EQ(first, "1b430200010c0d00");
}

TEST_F(ToolTest, ZoomBurstSendsOneZoomCommand) {
  const ToolRun result = run(
      {"stream", "--duration", "1.8", "--trace", "usb.txt", "--set", "zoom=70@0.5", "--set", "zoom=80@0.7"},
      false);
  ASSERT_EQ(result.exit_code, 0) << describe(result);
  std::ifstream trace(dir_ / "usb.txt");
  std::vector<std::string> zoom_commands;
  for (std::string line; std::getline(trace, line);)
    if (line.find(" S Bo:") != std::string::npos && line.find("= 1b430e00 038d") != std::string::npos)
      zoom_commands.push_back(line);
  ASSERT_EQ(zoom_commands.size(), 1u) << result.err;
  EXPECT_NE(zoom_commands[0].find("= 1b430e00 038d5000 "), std::string::npos) << zoom_commands[0];
}

// ---------------------------------------------------------------------------
// Makes sure the control commands reach the camera and read back what it does:
// a zoom that returns before the camera moved, or a focus left manual, fails it.

TEST_F(ToolTest, ControlCommandsReadBackTheCamera) {
  const ToolRun zoom = run({"zoom", "70"});
  ASSERT_EQ(zoom.exit_code, 0) << describe(zoom);
  EXPECT_EQ(zoom.out, "zoom: 70\n");
  const ToolRun focus = run({"focus", "auto"});
  ASSERT_EQ(focus.exit_code, 0) << describe(focus);
  EXPECT_EQ(focus.out, "focus: auto (flags 0x1)\n");
  const ToolRun failing = run({"focus", "auto", "--fault", "focus-fail"});
  EXPECT_EQ(failing.exit_code, 4) << describe(failing);
  const ToolRun info = run({"info"});
  ASSERT_EQ(info.exit_code, 0) << describe(info);
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
  std::ofstream(dir_ / "garbage.jpg") << "not a JPEG picture";
  RunControl control;
  control.limit = std::chrono::seconds(30);
  const ToolRun result =
      run({"capture", "-n", "30", "-o", "out", GetParam().option, GetParam().value}, true, control);
  ASSERT_TRUE(result.finished) << "still running after 30 s: " << describe(result);
  EXPECT_EQ(result.exit_code, 4) << describe(result);
  const std::vector<std::string> lines = result.err_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind(std::string("dscam: ") + GetParam().reason, 0), 0u) << result.err;
  const long frames = summary_value(result, "frames");
  EXPECT_LT(frames, 30);
  size_t files = 0;
  for (const auto &entry : fs::directory_iterator(dir_ / "out"))
    files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(static_cast<long>(files), frames);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ToolFaultTest,
    ::testing::Values(FaultCase{"Stop", "--fault", "stop-answering@5", "the camera stopped answering"},
                      FaultCase{"Unplug", "--fault", "disconnect@5", "the camera was disconnected"},
                      FaultCase{"Undecodable", "--pictures", "garbage.jpg", "no usable frame"}),
    [](const auto &info) { return std::string(info.param.name); });

// A camera that never receives the zoom command: the driver gives up on each
// reply after its limit, the zoom never shows the value, and the tool says so
// and exits 4 within seconds (a hang fails the run's time limit).
TEST_F(ToolTest, UnansweredZoomEndsWithinSeconds) {
  RunControl control;
  control.limit = std::chrono::seconds(30);
  const ToolRun result = run({"zoom", "30", "--fault", "write-error"}, true, control);
  ASSERT_TRUE(result.finished) << describe(result);
  EXPECT_EQ(result.exit_code, 4) << describe(result);
  ASSERT_EQ(result.err_lines().size(), 1u) << result.err;
  EXPECT_EQ(result.err_lines()[0].rfind("dscam: the camera's zoom shows ", 0), 0u) << result.err;
  EXPECT_EQ(result.out, "zoom: 0\n"); // what the driver read back from the silent camera
}

// ---------------------------------------------------------------------------
// Makes sure SIGINT and SIGTERM mid-capture close the stream cleanly: the
// summary is printed, it counts exactly the files written, and the status says
// which signal (a hang, a crash by the signal or a lost summary fails it).

class ToolSignalTest : public ToolTest, public ::testing::WithParamInterface<int> {};

TEST_P(ToolSignalTest, SignalEndsCaptureWithSummary) {
  RunControl control;
  control.limit = std::chrono::seconds(30);
  control.signal = GetParam();
  const fs::path third = dir_ / "out" / "frame-000003.bmp";
  control.send_when = [&] { return fs::exists(third); };
  const ToolRun result = run({"capture", "-n", "100000", "-o", "out"}, true, control);
  ASSERT_TRUE(result.finished) << describe(result);
  EXPECT_EQ(result.exit_code, GetParam() == SIGINT ? 130 : 143) << describe(result);
  const long frames = summary_value(result, "frames");
  EXPECT_GE(frames, 3) << result.err;
  size_t files = 0;
  for (const auto &entry : fs::directory_iterator(dir_ / "out"))
    files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(static_cast<long>(files), frames);
  ASSERT_FALSE(result.err_lines().empty());
  EXPECT_EQ(result.err_lines().back(), GetParam() == SIGINT ? "dscam: interrupted" : "dscam: terminated");
}

INSTANTIATE_TEST_SUITE_P(Signals, ToolSignalTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto &info) { return std::string(info.param == SIGINT ? "Int" : "Term"); });

// ---------------------------------------------------------------------------
// Makes sure a bad command line fails with status 2, one line on stderr and
// nothing on stdout, and that --help, --version and --fault help answer on
// stdout with status 0 (a silent failure, a usage dump on error or a help that
// starts the camera fails it).

TEST_F(ToolTest, BadCommandLinesFailInOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"shoot"},
      {"capture", "--bogus"},
      {"capture", "-n", "0"},
      {"capture", "-n"},
      {"capture", "--size", "640x480"},
      {"capture", "--format", "gif"},
      {"stream", "-n", "3", "--duration", "2"},
      {"info", "--set", "zoom=5@1"},
      {"focus", "manual"},
      {"capture", "--fault", "no-such-fault"},
      {"capture", "--link", "slow"},
      {"zoom", "150"},
  };
  for (const auto &args : cases) {
    const ToolRun result = tooltest::run_tool(args, dir_);
    std::string shown;
    for (const std::string &arg : args)
      shown += " " + arg;
    EXPECT_EQ(result.exit_code, 2) << "dscam" << shown << ": " << describe(result);
    ASSERT_EQ(result.err_lines().size(), 1u) << "dscam" << shown << ": " << result.err;
    EXPECT_EQ(result.err_lines()[0].rfind("dscam: ", 0), 0u) << result.err;
    EXPECT_TRUE(result.out.empty()) << "dscam" << shown;
  }
}

TEST_F(ToolTest, HelpVersionAndFaultList) {
  for (const char *command : {"capture", "stream", "info", "zoom", "focus"}) {
    const ToolRun result = tooltest::run_tool({command, "--help"}, dir_);
    EXPECT_EQ(result.exit_code, 0) << command;
    EXPECT_EQ(result.out.rfind(std::string("Usage: dscam ") + command, 0), 0u) << result.out;
    EXPECT_NE(result.out.find("Exit status"), std::string::npos) << command;
    EXPECT_TRUE(result.err.empty()) << result.err;
  }
  const ToolRun version = tooltest::run_tool({"--version"}, dir_);
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("dscam ", 0), 0u) << version.out;
  const ToolRun faults = tooltest::run_tool({"capture", "--fault", "help"}, dir_);
  EXPECT_EQ(faults.exit_code, 0);
  EXPECT_NE(faults.out.find("stop-answering"), std::string::npos) << faults.out;
}

} // namespace
