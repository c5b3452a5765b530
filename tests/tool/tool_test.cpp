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
  const double frames = summary_value(result, "frames");
  EXPECT_LT(frames, 30);
  EXPECT_EQ(files_in(dir_ / "out"), frames);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ToolFaultTest,
    ::testing::Values(FaultCase{"Stop", "--fault", "stop-answering@5", "the camera stopped answering"},
                      FaultCase{"Unplug", "--fault", "disconnect@5", "the camera was disconnected"},
                      FaultCase{"Undecodable", "--pictures", "garbage.jpg", "no usable frame"}),
    [](const auto &info) { return std::string(info.param.name); });

// A camera that never receives the zoom command, or stops answering the focus:
// the driver gives up on each reply after its limit (the tool has none of its
// own), so the zoom never shows the value and the focus fails, each with status
// 4 and one line (a hang fails the run's time limit, above the driver's 10.5 s).
TEST_F(ToolTest, SilentCameraEndsControlsWithinTheDriverLimit) {
  RunControl control;
  control.limit = std::chrono::seconds(20);
  const ToolRun zoom = run({"zoom", "30", "--fault", "write-error"}, true, control);
  ASSERT_TRUE(zoom.finished) << describe(zoom);
  EXPECT_EQ(zoom.exit_code, 4) << describe(zoom);
  EXPECT_EQ(zoom.err, "dscam: the camera's zoom shows 0, not 30\n");
  EXPECT_EQ(zoom.out, "zoom: 0\n"); // what the driver read back from the silent camera
  const ToolRun focus = run({"focus", "auto", "--fault", "stop-answering"}, true, control);
  ASSERT_TRUE(focus.finished) << describe(focus);
  EXPECT_EQ(focus.exit_code, 4) << describe(focus);
  EXPECT_EQ(focus.err, "dscam: the auto focus failed: STATUS_INVALID_PARAMETER (0xC000000D)\n");
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
  const double frames = summary_value(result, "frames");
  EXPECT_GE(frames, 3) << result.err;
  EXPECT_EQ(files_in(dir_ / "out"), frames);
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

TEST_F(ToolTest, CommandLineErrorsAndHelp) {
  // Each bad command line's arguments, separated by spaces.
  for (const char *line :
       {"", "shoot", "capture --bogus", "capture -n 0", "capture -n", "capture --size 640x480",
        "capture --format gif", "stream -n 3 --duration 2", "info --set zoom=5@1", "focus manual",
        "capture --fault no-such-fault", "capture --link slow", "zoom 150", "serve --listen 8080",
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
  const ToolRun faults = tooltest::run_tool({"capture", "--fault", "help"}, dir_);
  EXPECT_EQ(faults.exit_code, 0);
  EXPECT_NE(faults.out.find("stop-answering"), std::string::npos) << faults.out;
}

} // namespace
