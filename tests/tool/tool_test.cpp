// The dscam tool end to end: the built program against the emulated camera;
// and its descriptor reader on a bus with a device that misbehaves.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

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
  // Runs dscam in the test's folder; a camera that answers at once unless
  // `fast` is false.
  ToolRun run(std::vector<std::string> args, bool fast = true, const RunControl &control = {}) {
    if (fast)
      args.insert(args.end(), {"--camera-fps", "0", "--link", "unlimited"});
    return tooltest::run_tool(args, dir_.path(), control);
  }
  // Writes a test picture as picture.jpg in the test's folder; returns its bytes.
  std::vector<uint8_t> write_picture() { return tooltest::write_picture(dir_ / "picture.jpg", {.seed = 7}); }
  std::vector<uint8_t> read(const fs::path &path) const {
    const std::string bytes = tooltest::read_file(dir_ / path);
    return {bytes.begin(), bytes.end()};
  }

  tooltest::TestFolder dir_;
};

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The summary's value for `name` ("frames", "decode"), or -1.
double summary_value(const ToolRun &run, const std::string &name) {
  for (const std::string &line : run.err_lines())
    if (line.rfind(name + ":", 0) == 0)
      return std::stod(line.substr(name.size() + 1));
  return -1;
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

// The pixels of a PNG as GStreamer's decoder reads them, RGB rows top first,
// once pngcheck finds the file well formed (chunk CRCs, header, zlib stream
// and its Adler-32, row filters). Empty (and a test failure) when either
// refuses it.
std::vector<uint8_t> png_pixels(const fs::path &png) {
  const std::string file = "'" + png.string() + "'";
  const std::string rgb = "'" + png.string() + ".rgb'";
  if (std::system(("pngcheck -q " + file).c_str()) != 0 ||
      std::system(("gst-launch-1.0 -q filesrc location=" + file +
                   " ! pngdec ! videoconvert ! video/x-raw,format=RGB ! filesink location=" + rgb)
                      .c_str()) != 0) {
    ADD_FAILURE() << png << ": refused by pngcheck or GStreamer's PNG decoder";
    return {};
  }
  const std::string pixels = tooltest::read_file(png.string() + ".rgb");
  return {pixels.begin(), pixels.end()};
}

// The words of `line`, split at spaces.
std::vector<std::string> words(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;)
    words.push_back(word);
  return words;
}

// ---------------------------------------------------------------------------
// Makes sure each image file holds the frame: a BMP exactly as the driver
// delivers it, at both sizes and both row orders; PPM and PNG files the
// picture top-down in RGB order, the PNG well formed; a JPEG file the picture
// within the encoding's loss; and the summary shows the driver's decode time
// (a wrong height sign, a row flip, a half-scale decode at full size, a BGR/RGB
// swap, a header that disagrees with the pixels, a bad checksum or a decode
// time of 0 fails it).

struct FormatCase {
  const char *format;
  long width;
  long height;
  bool top_down;
};

class ToolFormatTest : public ToolTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(ToolFormatTest, ImageFilesHoldTheReferenceDecode) {
  const FormatCase shape = GetParam();
  const std::string format = shape.format;
  const std::vector<uint8_t> jpeg = write_picture();
  const std::string size = std::to_string(shape.width) + "x" + std::to_string(shape.height);
  std::vector<std::string> args = {"capture", "-n",       "2",    "--pictures", "picture.jpg", "-o",
                                   "out",     "--format", format, "--size",     size};
  if (shape.top_down)
    args.push_back("--top-down");
  const ToolRun result = run(args);
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(summary_value(result, "frames"), 2);
  EXPECT_GT(summary_value(result, "decode"), 0.0) << result.err;
  const std::string extension = format == "jpeg" ? "jpg" : format;
  EXPECT_TRUE(fs::exists(dir_ / "out" / ("frame-000002." + extension)));
  EXPECT_FALSE(fs::exists(dir_ / "out" / ("frame-000003." + extension)));
  const fs::path path = fs::path("out") / ("frame-000001." + extension);
  const std::vector<uint8_t> file = read(path);
  std::vector<uint8_t> pixels; // BGR rows in the file's order
  if (format == "bmp") {
    ASSERT_GE(file.size(), 54u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(le32(file, 2), file.size());
    EXPECT_EQ(static_cast<int32_t>(le32(file, 18)), shape.width);
    EXPECT_EQ(static_cast<int32_t>(le32(file, 22)), shape.top_down ? -shape.height : shape.height);
    EXPECT_EQ(file[28], 24);
    ASSERT_LE(le32(file, 10), file.size());
    pixels.assign(file.begin() + le32(file, 10), file.end());
  } else if (format == "ppm") {
    static const std::string kHeader = "P6\n320 240\n255\n";
    ASSERT_GE(file.size(), kHeader.size());
    EXPECT_EQ(std::string(file.begin(), file.begin() + static_cast<long>(kHeader.size())), kHeader);
    pixels.assign(file.begin() + static_cast<long>(kHeader.size()), file.end());
  } else {
    pixels = format == "png" ? png_pixels(dir_ / path) : rig::reference_decode(file, false).bgr;
  }
  if (format == "ppm" || format == "png")
    for (size_t i = 0; i + 2 < pixels.size(); i += 3)
      std::swap(pixels[i], pixels[i + 2]);
  const std::vector<uint8_t> expected =
      rig::reference_frame(jpeg, shape.width == 160, shape.top_down || format != "bmp");
  ASSERT_EQ(pixels.size(), expected.size());
  if (format == "jpeg") {
    long difference = 0;
    for (size_t i = 0; i < pixels.size(); ++i)
      difference += std::abs(pixels[i] - expected[i]);
    EXPECT_LT(static_cast<double>(difference) / static_cast<double>(pixels.size()), 4.0);
  } else {
    EXPECT_TRUE(pixels == expected) << "the frame differs from the reference decode";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ToolFormatTest,
    ::testing::Values(FormatCase{"bmp", 320, 240, false}, FormatCase{"bmp", 320, 240, true},
                      FormatCase{"bmp", 160, 120, false}, FormatCase{"bmp", 160, 120, true},
                      FormatCase{"ppm", 320, 240, false}, FormatCase{"png", 320, 240, false},
                      FormatCase{"jpeg", 320, 240, false}),
    [](const auto &info) {
      return info.param.format + std::to_string(info.param.width) + (info.param.top_down ? "TopDown" : "");
    });

// Makes sure an AVI clip is one RIFF 'AVI ' file that players take: the main
// and stream headers with the frame count, size and 15 frames/s, a 24-bit
// 'DIB ' format, one '00db' chunk per frame holding the frame bottom-up, and
// an index pointing at each (a wrong chunk size, a missing index, a top-down
// frame or a header not patched with the count fails it).
TEST_F(ToolTest, AviClipHoldsEveryFrameBottomUp) {
  const std::vector<uint8_t> jpeg = write_picture();
  const ToolRun result = run(
      {"capture", "-n", "3", "--pictures", "picture.jpg", "--format", "avi", "-o", "clip.avi", "--top-down"});
  ASSERT_EQ(result.exit_code, 0) << result.describe();
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
// stdout and nothing else, its --json summary on stderr (a log line or the
// summary on stdout, a bottom-up frame or a frame with padding fails it).

TEST_F(ToolTest, StreamWritesRawTopDownFrames) {
  const std::vector<uint8_t> jpeg = write_picture();
  const ToolRun full = run({"stream", "-n", "3", "--pictures", "picture.jpg", "--json"});
  ASSERT_EQ(full.exit_code, 0) << full.describe();
  ASSERT_FALSE(full.err_lines().empty());
  EXPECT_EQ(full.err_lines().back().rfind("{\"frames\":3,", 0), 0u) << full.err; // the summary on stderr
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
  ASSERT_EQ(result.exit_code, 0) << result.describe();
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
// than the driver's start makes) and it names the properties: a zoom that
// returns before the camera moved, a focus left manual or descriptors read
// around the bus fail it.

TEST_F(ToolTest, ControlCommandsReadBackTheCamera) {
  const ToolRun zoom = run({"zoom", "70", "--trace", "zoom.txt"});
  ASSERT_EQ(zoom.exit_code, 0) << zoom.describe();
  EXPECT_EQ(zoom.out, "zoom: 70\n");
  const ToolRun focus = run({"focus", "auto"});
  ASSERT_EQ(focus.exit_code, 0) << focus.describe();
  EXPECT_EQ(focus.out, "focus: auto (flags 0x1)\n");
  const ToolRun info = run({"info", "--trace", "info.txt"});
  ASSERT_EQ(info.exit_code, 0) << info.describe();
  for (const char *request : {" s 80 06 0100", " s 80 06 0200"}) // device, configuration
    EXPECT_GT(trace_lines(dir_ / "info.txt", " S Ci:", request).size(),
              trace_lines(dir_ / "zoom.txt", " S Ci:", request).size())
        << request;
  for (const char *named :
       {"endpoint 0x81 IN bulk", "RGB24 160x120",
        "zoom   get,set  range 0..100 step 1  default 50  current 50",
        "     3 zoom                     get,set\n", "     3 allocator framing        get\n"})
    EXPECT_NE(info.out.find(named), std::string::npos) << named << info.out;
}

// ---------------------------------------------------------------------------
// Makes sure a capture through damaged, refused or failed pictures, or a camera
// that stops answering or is unplugged mid-run, says what happened: damaged
// frames are written and counted apart (or skipped), a picture too large is
// named with its size before the watchdog would fire, failed reads reopen the
// pin (--retries) and the capture completes, or it ends within seconds with
// status 4, the summary and the real cause last (a damaged frame counted as
// good, the watchdog's "stopped answering" for another cause, a hang, an empty
// frame written as an image or a wrong count fails it).

struct OutcomeCase {
  const char *name;
  const char *args; // after "capture -o out"
  int exit_code;
  const char *last_line;   // prefix of the last line on stderr; "{size}" is big.jpg's size
  const char *summary;     // "name=value ..." of the summary's values
  const char *err_has;     // a text stderr holds
  int damaged_frame_lines; // --frames-info lines marked "damaged" (-1: not asked)
};

class ToolOutcomeTest : public ToolTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ToolOutcomeTest, CaptureSaysWhatHappened) {
  const OutcomeCase &outcome = GetParam();
  // A 640x480 picture, larger than the driver's buffer.
  const std::vector<uint8_t> big = tooltest::write_picture(
      dir_ / "big.jpg", {.width = 640, .height = 480, .quality = 95, .subsample = false});
  ASSERT_GT(big.size(), 65536u);
  std::ofstream(dir_ / "garbage.jpg") << "\xFF\xD8\xFF then not a JPEG picture";
  write_picture();
  std::vector<std::string> args = words(std::string("capture -o out ") + outcome.args);
  if (std::find(args.begin(), args.end(), "--pictures") == args.end())
    args.insert(args.end(), {"--pictures", "picture.jpg"}); // quicker than the scene under sanitizers
  RunControl control;
  control.limit = std::chrono::seconds(30);
  // A row that names its camera's pace keeps it; the others get a camera that answers at once.
  const bool paced = std::find(args.begin(), args.end(), "--camera-fps") != args.end();
  const ToolRun result = run(args, !paced, control);
  ASSERT_TRUE(result.finished) << result.describe();
  EXPECT_EQ(result.exit_code, outcome.exit_code) << result.describe();
  std::string size = std::to_string(big.size());
  size.insert(size.size() - 3, ",");
  std::string last_line = outcome.last_line;
  if (const size_t at = last_line.find("{size}"); at != std::string::npos)
    last_line.replace(at, 6, size);
  ASSERT_FALSE(result.err_lines().empty());
  EXPECT_EQ(result.err_lines().back().rfind(last_line, 0), 0u) << result.err;
  EXPECT_NE(result.err.find(outcome.err_has), std::string::npos) << result.err;
  for (const std::string &pair : words(outcome.summary)) {
    const size_t equals = pair.find('=');
    EXPECT_EQ(summary_value(result, pair.substr(0, equals)), std::stod(pair.substr(equals + 1)))
        << result.err;
  }
  EXPECT_EQ(tooltest::files_in(dir_ / "out"), summary_value(result, "frames"));
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
    ::testing::Values(
        OutcomeCase{"DamagedKept", "-n 3 --fault truncated --frames-info", 0,
                    "decode:", "frames=3 damaged=3 errors=0", "damaged:  3 written all the same", 3},
        OutcomeCase{"DamagedSkipped", "-n 3 --fault truncated --skip-damaged --watchdog 1", 4,
                    "dscam: no whole frame for 1.", "frames=0",
                    " skipped (frames whose pictures did not decode whole)", -1},
        OutcomeCase{"TooLarge", "-n 3 --pictures big.jpg", 4,
                    "dscam: the camera's pictures are too large: {size} bytes, at most 65,536", "frames=0",
                    "(pictures refused: ", -1},
        OutcomeCase{"RetriedTwice", "-n 30 --fault size-checksum@3 --fault size-checksum@9", 0,
                    "decode:", "frames=30 retries=2", "capture pin reopened (retry 1 of 3)", -1},
        // These two at the camera's pace: a camera answering at once has the transfer thread fetch (and drop)
        // pictures by the dozen between the pin's open and its first read, each a chance of a
        // failed size exchange that ends the thread before any read waits.
        OutcomeCase{"FivePercentSizeFaults", "-n 30 --fault size-checksum=0.05 --camera-fps 30", 0,
                    "decode:", "frames=30", "retries:", -1},
        OutcomeCase{"LostRepliesEndInAResetAndARetry",
                    "-n 30 --fault lost-packet=0.02 --fault write-error=0.02 --fault stop-answering@20 "
                    "--camera-fps 30",
                    0, "decode:", "frames=30", "retries:", -1},
        OutcomeCase{"NoRetries", "-n 30 --fault size-checksum@3 --retries 0", 4,
                    "dscam: device error on the picture size exchange", "retries=0", "retries:  0", -1},
        OutcomeCase{"CameraStops", "-n 30 --fault=stop-answering@5 --watchdog=1", 4,
                    "dscam: the camera stopped answering", "", "frames:", -1},
        OutcomeCase{"Unplugged", "-n 30 --fault disconnect@5", 4, "dscam: the camera was disconnected", "",
                    "frames:", -1},
        OutcomeCase{"Undecodable", "-n 30 --pictures garbage.jpg --watchdog 1", 4, "dscam: no usable frame",
                    "frames=0", "frames:", -1}),
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
    const ToolRun result = run(words(c.line), true, control);
    ASSERT_TRUE(result.finished) << c.line << ": " << result.describe();
    EXPECT_EQ(result.exit_code, 4) << c.line << ": " << result.describe();
    EXPECT_EQ(result.err, c.err) << c.line;
    EXPECT_EQ(result.out, "") << c.line;
  }
  const ToolRun info = run({"info", "--fault", "stop-answering"}, true, control);
  EXPECT_EQ(info.exit_code, 4) << info.describe();
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
  ASSERT_TRUE(result.finished) << result.describe();
  EXPECT_EQ(result.exit_code, signal == SIGINT ? 130 : 143) << result.describe();
  const double frames = summary_value(result, "frames");
  EXPECT_GE(frames, 3) << result.err;
  EXPECT_EQ(tooltest::files_in(dir_ / "out"), frames);
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
  for (const char *line : {"",
                           "shoot",
                           "capture --bogus",
                           "capture -n 0",
                           "capture -n",
                           "capture --size 640x480",
                           "capture --format gif",
                           "stream -n 3 --duration 2",
                           "info --set zoom=5@1",
                           "focus manual",
                           "capture --fault no-such-fault",
                           "capture --link slow",
                           "zoom 150",
                           "capture --pictures garbage.jpg",
                           "capture --pictures missing.jpg",
                           "capture --retries -1",
                           "capture -nx",
                           "serve --listen 8080",
                           "serve --listen 127.0.0.1:65536",
                           "serve -n 5"}) {
    const ToolRun result = tooltest::run_tool(words(line), dir_.path());
    EXPECT_EQ(result.exit_code, 2) << "dscam " << line << ": " << result.describe();
    ASSERT_EQ(result.err_lines().size(), 1u) << "dscam " << line << ": " << result.err;
    EXPECT_EQ(result.err_lines()[0].rfind("dscam: ", 0), 0u) << result.err;
    EXPECT_TRUE(result.out.empty()) << "dscam " << line;
  }
  for (const char *command : {"capture", "stream", "info", "zoom", "focus", "serve"}) {
    const ToolRun result = tooltest::run_tool({command, "--help"}, dir_.path());
    EXPECT_EQ(result.exit_code, 0) << command;
    EXPECT_EQ(result.out.rfind(std::string("Usage: dscam ") + command, 0), 0u) << result.out;
    EXPECT_NE(result.out.find("Exit status"), std::string::npos) << command;
    EXPECT_TRUE(result.err.empty()) << result.err;
  }
  const ToolRun version = tooltest::run_tool({"--version"}, dir_.path());
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("dscam ", 0), 0u) << version.out;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"capture", "--fault", "help"}, {"--fault", "help"}, {"--fault=help"}}) {
    const ToolRun faults = tooltest::run_tool(args, dir_.path());
    EXPECT_EQ(faults.exit_code, 0) << args[0] << ": " << faults.err;
    EXPECT_NE(faults.out.find("stop-answering"), std::string::npos) << faults.out;
  }
}

// Makes sure the tool refuses what would lose or garble output, and names
// why: raw video to a terminal, frames of an earlier capture in the folder
// (unless --overwrite, which leaves only the new ones), a log file it cannot
// open (with the system's reason); and that "-n3" is "-n 3" (binary on a
// terminal, mixed captures or a bare "cannot write" fails it).
TEST_F(ToolTest, OutputIsGuardedAndNamed) {
  RunControl terminal;
  terminal.stdout_terminal = true;
  terminal.limit = std::chrono::seconds(10);
  const ToolRun tty = run({"stream", "-n", "1"}, true, terminal);
  EXPECT_EQ(tty.exit_code, 5) << tty.describe();
  EXPECT_EQ(tty.err.rfind("dscam: standard output is a terminal", 0), 0u) << tty.err;
  ASSERT_EQ(run({"capture", "-n3", "-o", "out"}).exit_code, 0);
  const ToolRun again = run({"capture", "-n", "2", "-o", "out"});
  EXPECT_EQ(again.exit_code, 5) << again.describe();
  EXPECT_NE(again.err.find("holds 3 frames of an earlier capture: use --overwrite"), std::string::npos)
      << again.err;
  EXPECT_EQ(tooltest::files_in(dir_ / "out"), 3);
  ASSERT_EQ(run({"capture", "-n", "2", "-o", "out", "--overwrite"}).exit_code, 0);
  EXPECT_EQ(tooltest::files_in(dir_ / "out"), 2);
  const ToolRun log = run({"info", "--log", "no-such-folder/driver.log"});
  EXPECT_EQ(log.exit_code, 5) << log.describe();
  EXPECT_EQ(log.err,
            "dscam: cannot write the log file 'no-such-folder/driver.log': No such file or directory\n");
}

// Makes sure --json gives the summary (info: the whole description) as one
// JSON object on a line, on stdout (stream: stderr, above), and -q leaves nothing
// else on stderr (a text summary mixed in, a JSON object split over lines or
// on the wrong stream fails it).
TEST_F(ToolTest, JsonAndQuiet) {
  const ToolRun capture = run({"capture", "-n", "2", "-o", "out", "--json", "-q"});
  ASSERT_EQ(capture.exit_code, 0) << capture.describe();
  EXPECT_TRUE(capture.err.empty()) << capture.err;
  EXPECT_EQ(capture.out.rfind("{\"frames\":2,\"damaged\":0,", 0), 0u) << capture.out;
  EXPECT_EQ(capture.out.find('\n'), capture.out.size() - 1) << capture.out;
  EXPECT_NE(capture.out.find("\"exit_status\":0,\"error\":null}"), std::string::npos) << capture.out;
  const ToolRun info = run({"info", "--json"});
  ASSERT_EQ(info.exit_code, 0) << info.describe();
  EXPECT_EQ(info.out.rfind("{\"usb\":{\"device\":{\"usb\":\"1.10\"", 0), 0u) << info.out;
  EXPECT_NE(
      info.out.find("{\"name\":\"zoom\",\"id\":3,\"get\":true,\"set\":true,\"minimum\":0,\"maximum\":100,"
                    "\"step\":1,\"default\":50,\"current\":50,"),
      std::string::npos)
      << info.out;
}

} // namespace
