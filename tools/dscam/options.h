// The command line of dscam: a small hand-written parser over a table of
// options, each valid for some of the commands. The result is one plain record
// with every setting of the run; the emulated camera's settings are gathered
// straight into its configuration.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/session/session_options.h"

namespace dscam {

enum class Command { None, Capture, Stream, Info, Zoom, Focus, List, Serve };

// What capture writes: one image file per frame (BMP, PNG, PPM, JPEG), or one
// uncompressed AVI clip of every frame.
enum class ImageFormat { Bmp, Png, Ppm, Jpeg, Avi };

// One --set: a control change `at_seconds` into the run.
struct ControlChange {
  enum class Control { Zoom, FocusAuto } control = Control::Zoom;
  long value = 0; // zoom position; unused for focus
  double at_seconds = 0;
};

// The session's settings (camera, diagnostics) are the base record.
struct Options : SessionOptions {
  Command command = Command::None;
  bool help = false;       // --help: show the command's usage, do nothing else
  bool fault_help = false; // --fault help: list the faults, do nothing else

  // capture and stream
  long frames = 30; // -n: frames to capture (stream: 0 = until stopped)
  bool frames_given = false;
  double duration = 0;            // --duration S (stream): 0 = none
  std::string out_dir = "frames"; // -o: the folder of the frames, or the AVI file
  bool out_given = false;
  bool overwrite = false; // --overwrite: replace the frames of an earlier capture
  ImageFormat format = ImageFormat::Bmp;
  long width = 320;
  long height = 240;
  bool top_down = false;
  std::vector<ControlChange> changes; // sorted by time
  double watchdog = 0;                // --watchdog S: 0 = chosen from the camera's rate
  bool skip_damaged = false;          // --skip-damaged: pass on only frames that decoded whole
  long retries = 3;                   // --retries N: pin reopenings in a row after failed reads
  bool frames_info = false;           // --frames-info: a line per frame on stderr

  // what a run or info shows
  bool json = false;  // --json: the summary (info: the description) as one JSON object
  bool quiet = false; // -q: no progress, no notes, no summary

  // zoom and focus
  bool zoom_given = false;
  long zoom = 0;

  // serve: the address the page is served on (--listen HOST:PORT)
  std::string listen_host = "127.0.0.1";
  int listen_port = 8080;
};

// Parses argv[1..argc-1] (the command and its options). Returns an empty
// string on success, else a one-line reason (a usage error).
std::string parse_options(int argc, const char *const *argv, Options &options);

// The usage text of a command (Command::None: the general usage).
std::string usage_text(Command command);

// The command's name as typed.
const char *command_name(Command command);

} // namespace dscam
