// The usage texts of dscam and of each command (--help).
#include "tools/dscam/options.h"

namespace dscam {
namespace {

constexpr const char *kGeneral = "Usage: dscam [--help] [--version] [--fault help] COMMAND [OPTIONS]\n"
                                 "\n"
                                 "Capture video from the USB still camera: the emulated camera, or a real\n"
                                 "one through libusb (--usb).\n"
                                 "\n"
                                 "Commands:\n"
                                 "  capture   capture frames to image files or an AVI clip\n"
                                 "  stream    write raw BGR24 frames to standard output\n"
                                 "  info      show the device, its formats, property sets and controls\n"
                                 "  zoom      read the zoom, or set it and read it back\n"
                                 "  focus     run the one-touch auto focus\n"
                                 "  serve     a live web page with the picture and the controls\n"
                                 "  list      list the cameras: the emulated one and the USB devices\n"
                                 "\n"
                                 "Run 'dscam COMMAND --help' for the options of a command,\n"
                                 "'dscam --fault help' for the emulated camera's faults.\n";

constexpr const char *kCapture =
    "Usage: dscam capture [-n N] [-o DIR] [--format bmp|png|ppm|jpeg] [--size 320x240|160x120]\n"
    "                     [--top-down] [--overwrite] [RUN OPTIONS] [CAMERA AND DIAGNOSTIC OPTIONS]\n"
    "       dscam capture --format avi [-o FILE] ...\n"
    "\n"
    "Captures N frames into DIR as frame-000001.bmp, frame-000002.bmp, ..., or into\n"
    "one AVI clip.\n"
    "\n"
    "  -n, --frames N      frames to capture (default 30; -n3 is -n 3)\n"
    "  -o, --output DIR    folder of the frames (default frames/; created if missing);\n"
    "                      with --format avi the clip's file (default capture.avi)\n"
    "      --format F      bmp (default: the frame as delivered, bottom-up BGR rows),\n"
    "                      png or ppm (top-down RGB), jpeg (libjpeg, quality 90), or\n"
    "                      avi (one uncompressed clip of 24-bit 'DIB ' frames)\n"
    "      --size WxH      320x240 (default) or 160x120\n"
    "      --top-down      ask the driver for top-down rows (a BMP then has a negative height)\n"
    "      --overwrite     replace the frames of an earlier capture in DIR (removed first),\n"
    "                      or an existing clip; without it they are refused\n"
    "      --json          the summary as one JSON object on standard output\n";

constexpr const char *kStream =
    "Usage: dscam stream [-n N | --duration S] [--size 320x240|160x120] [RUN OPTIONS]\n"
    "                    [CAMERA AND DIAGNOSTIC OPTIONS]\n"
    "\n"
    "Writes raw BGR24 frames, top-down, to standard output (a file or a pipe, not a\n"
    "terminal) until N frames, S seconds, Ctrl-C or a closed pipe; messages go to\n"
    "standard error. For example:\n"
    "  dscam stream | ffplay -f rawvideo -pixel_format bgr24 -video_size 320x240 -framerate 15 -\n"
    "\n"
    "  -n, --frames N      frames to write (default: until stopped)\n"
    "      --duration S    seconds to stream\n"
    "      --size WxH      320x240 (default) or 160x120\n"
    "      --json          the summary as one JSON object on standard error\n";

constexpr const char *kRunOptions =
    "\n"
    "Run options:\n"
    "      --set zoom=V@T  set the zoom to V, T seconds into the run (repeatable)\n"
    "      --set focus=auto@T\n"
    "                      run the auto focus T seconds into the run (repeatable)\n"
    "      --watchdog S    end the run when no frame was written for S seconds\n"
    "                      (default 3, or 3 picture intervals of a slower camera)\n"
    "      --skip-damaged  skip frames whose pictures did not decode whole (they are\n"
    "                      written, and counted apart, without it)\n"
    "      --retries N     after failed reads, reopen the capture pin at most N times\n"
    "                      in a row without a frame between (default 3; 0: none)\n"
    "      --frames-info   a line per frame on standard error: number, sequence,\n"
    "                      time, bytes, interval, dropped and damaged marks\n"
    "  -q, --quiet         no progress bar, notes or summary\n"
    "\n"
    "The summary counts frames written, damaged frames, dropped pictures and frames,\n"
    "errors (refused pictures by reason, failed reads and writes) and retries.\n";

constexpr const char *kInfo = "Usage: dscam info [--json] [CAMERA AND DIAGNOSTIC OPTIONS]\n"
                              "\n"
                              "Shows the device and configuration descriptors, the stream and its formats,\n"
                              "the property sets with their properties, and each camera control with its\n"
                              "range, step, default and current value.\n"
                              "\n"
                              "      --json            the whole description as one JSON object\n";

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
constexpr const char *kList =
    "Usage: dscam list\n"
    "\n"
    "Lists the emulated camera and every attached USB device that has an interface\n"
    "of the vendor class with one bulk IN and one bulk OUT endpoint: bus, device\n"
    "address, vendor and product ID and the device's strings, as lsusb shows them.\n";

constexpr const char *kCommon =
    "\n"
    "Real camera:\n"
    "      --usb VID:PID     a real camera through libusb, the first with these IDs\n"
    "                        (hexadecimal, as 1209:0001); the options of the emulated\n"
    "                        camera do not apply to it\n"
    "      --usb BUS-ADDR    the one at this bus and device address (as 1-2), for one of several\n"
    "      --wait            wait until the camera is plugged in (Ctrl-C stops waiting)\n"
    "\n"
    "Emulated camera:\n"
    "      --pictures PATH   a JPEG file, or a folder of them, played in a loop\n"
    "                        (default: the camera's synthetic scene)\n"
    "      --camera-fps F    pictures per second the camera takes, 0.5 to 1000 (default 15; 0 = as fast as asked)\n"
    "      --link L          full (default), high or unlimited\n"
    "      --chunk BYTES     data bytes per picture packet (default 4096)\n"
    "      --fault NAME[=RATE|@PICTURE]\n"
    "                        inject a camera fault (repeatable); dscam --fault help lists them\n"
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
    "Exit status: 0 success (damaged frames and retries included, counted in the\n"
    "summary), 2 bad command line, 3 device or start error, 4 capture error (no or too\n"
    "few frames, a camera that stopped answering, refused pictures, reads that kept\n"
    "failing, a failed control), 5 output error, 130 interrupted (SIGINT), 143\n"
    "terminated (SIGTERM).\n";

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
  case Command::List:
    return std::string(kList) + kExit;
  case Command::None:
    break;
  }
  return std::string(kGeneral) + kExit;
}

} // namespace dscam
