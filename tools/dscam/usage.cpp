// The usage texts of dscam and of each command (--help).
#include "tools/dscam/options.h"

namespace dscam {
namespace {

constexpr const char *kGeneral = "Usage: dscam [--help] [--version] COMMAND [OPTIONS]\n"
                                 "\n"
                                 "Capture video from the USB still camera (the emulated camera).\n"
                                 "\n"
                                 "Commands:\n"
                                 "  capture   capture frames to image files\n"
                                 "  stream    write raw BGR24 frames to standard output\n"
                                 "  info      show the device, its formats, property sets and controls\n"
                                 "  zoom      read the zoom, or set it and read it back\n"
                                 "  focus     run the one-touch auto focus\n"
                                 "  serve     a live web page with the picture and the controls\n"
                                 "\n"
                                 "Run 'dscam COMMAND --help' for the options of a command.\n";

constexpr const char *kCapture =
    "Usage: dscam capture [-n N] [-o DIR] [--format bmp|png|ppm] [--size 320x240|160x120]\n"
    "                     [--top-down] [--set CONTROL@T]... [CAMERA AND DIAGNOSTIC OPTIONS]\n"
    "\n"
    "Captures N frames into DIR as frame-000001.bmp, frame-000002.bmp, ...\n"
    "\n"
    "  -n, --frames N      frames to capture (default 30)\n"
    "  -o, --output DIR    folder of the frames (default frames/; created if missing)\n"
    "      --format F      bmp (default: the frame as delivered, bottom-up BGR rows),\n"
    "                      png or ppm (top-down RGB)\n"
    "      --size WxH      320x240 (default) or 160x120\n"
    "      --top-down      ask the driver for top-down rows (a BMP then has a negative height)\n";

constexpr const char *kStream =
    "Usage: dscam stream [-n N | --duration S] [--size 320x240|160x120] [--set CONTROL@T]...\n"
    "                    [CAMERA AND DIAGNOSTIC OPTIONS]\n"
    "\n"
    "Writes raw BGR24 frames, top-down, to standard output until N frames, S seconds,\n"
    "Ctrl-C or a closed pipe; messages go to standard error. For example:\n"
    "  dscam stream | ffplay -f rawvideo -pixel_format bgr24 -video_size 320x240 -framerate 15 -\n"
    "\n"
    "  -n, --frames N      frames to write (default: until stopped)\n"
    "      --duration S    seconds to stream\n"
    "      --size WxH      320x240 (default) or 160x120\n";

constexpr const char *kRunOptions =
    "      --set zoom=V@T  set the zoom to V, T seconds into the run (repeatable)\n"
    "      --set focus=auto@T\n"
    "                      run the auto focus T seconds into the run (repeatable)\n"
    "      --watchdog S    end the run when no frame came for S seconds\n"
    "                      (default 3, or 3 picture intervals of a slower camera)\n";

constexpr const char *kInfo = "Usage: dscam info [CAMERA AND DIAGNOSTIC OPTIONS]\n"
                              "\n"
                              "Shows the device and configuration descriptors, the stream and its formats,\n"
                              "the property sets, and each camera control with its range, step, default\n"
                              "and current value.\n";

constexpr const char *kZoom = "Usage: dscam zoom [VALUE] [CAMERA AND DIAGNOSTIC OPTIONS]\n"
                              "\n"
                              "Without VALUE shows the camera's zoom; with VALUE sets it, waits until the\n"
                              "camera has moved (the driver applies a zoom 0.5 s after the last change)\n"
                              "and shows the zoom read back.\n";

constexpr const char *kFocus =
    "Usage: dscam focus auto [CAMERA AND DIAGNOSTIC OPTIONS]\n"
    "\n"
    "Runs the camera's one-touch auto focus and shows the focus setting read back.\n";

constexpr const char *kServe =
    "Usage: dscam serve [--listen HOST:PORT] [--size 320x240|160x120]\n"
    "                   [CAMERA AND DIAGNOSTIC OPTIONS]\n"
    "\n"
    "Serves a live page with the picture, the zoom, the auto focus, the size and the\n"
    "figures until Ctrl-C. The camera streams while someone watches: /stream.mjpg,\n"
    "/snapshot.jpg, /snapshot.bmp, /api/status, POST /api/zoom, /api/focus, /api/size.\n"
    "\n"
    "      --listen A:P    the address and port to serve on (default 127.0.0.1:8080;\n"
    "                      port 0: any free port). Another address than loopback lets\n"
    "                      other machines watch and control the camera.\n"
    "      --size WxH      the size viewers get first: 320x240 (default) or 160x120\n";

constexpr const char *kCommon =
    "\n"
    "Emulated camera:\n"
    "      --pictures PATH   a JPEG file, or a folder of them, played in a loop\n"
    "                        (default: the camera's synthetic scene)\n"
    "      --camera-fps F    pictures per second the camera takes (default 15; 0 = as fast as asked)\n"
    "      --link L          full (default), high or unlimited\n"
    "      --chunk BYTES     data bytes per picture packet (default 4096)\n"
    "      --fault NAME[=RATE|@PICTURE]\n"
    "                        inject a camera fault (repeatable); --fault help lists them\n"
    "      --seed N          seed of the fault draws (default 1)\n"
    "\n"
    "Diagnostics:\n"
    "      --log FILE        write the driver's debug messages to FILE\n"
    "  -v, --verbose         write the driver's debug messages to standard error\n"
    "      --trace FILE      write the USB traffic to FILE as text (usbmon layout)\n"
    "      --pcap FILE       write the USB traffic to FILE as a usbmon pcap (Wireshark, tshark)\n"
    "  -h, --help            show this help\n";

constexpr const char *kExit =
    "\n"
    "Exit status: 0 success, 2 bad command line, 3 device or start error, 4 capture error\n"
    "(no or too few frames, camera fault, failed control), 5 output error,\n"
    "130 interrupted (SIGINT), 143 terminated (SIGTERM).\n";

} // namespace

std::string usage_text(Command command) {
  switch (command) {
  case Command::Capture:
    return std::string(kCapture) + kRunOptions + kCommon + kExit;
  case Command::Stream:
    return std::string(kStream) + kRunOptions + kCommon + kExit;
  case Command::Info:
    return std::string(kInfo) + kCommon + kExit;
  case Command::Zoom:
    return std::string(kZoom) + kCommon + kExit;
  case Command::Focus:
    return std::string(kFocus) + kCommon + kExit;
  case Command::Serve:
    return std::string(kServe) + kCommon + kExit;
  case Command::None:
    break;
  }
  return std::string(kGeneral) + kExit;
}

} // namespace dscam
