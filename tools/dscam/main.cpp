// dscam: capture frames from the camera, query and set its controls, trace its
// traffic. Parses the command line, starts the signal watch, runs the command
// and reports a failure in one line.
#include <cstdio>
#include <cstring>

#include "emulator/camera/faults.h"
#include "tools/dscam/commands.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/options.h"
#include "tools/dscam/signals.h"

namespace {

using namespace dscam;

// The command of the options, run with the signal watch in place.
int run_command(const Options &options, std::string *error) {
  Wakeup wakeup;
  SignalWatch signals(wakeup);
  switch (options.command) {
  case Command::Capture:
    return command_capture(options, signals, wakeup, error);
  case Command::Stream:
    return command_stream(options, signals, wakeup, error);
  case Command::Info:
    return command_info(options, signals, wakeup, error);
  case Command::Zoom:
    return command_zoom(options, signals, wakeup, error);
  case Command::Focus:
    return command_focus(options, signals, wakeup, error);
  case Command::Serve:
    return command_serve(options, signals, wakeup, error);
  case Command::List:
    return command_list(error);
  case Command::None:
    break;
  }
  return kExitUsage;
}

} // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(usage_text(Command::None).c_str(), stdout);
    return kExitOk;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("dscam %s\n", DSCAM_VERSION);
    return kExitOk;
  }
  Options options;
  std::string error = parse_options(argc, argv, options);
  if (!error.empty()) {
    std::fprintf(stderr, "dscam: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(usage_text(options.command).c_str(), stdout);
    return kExitOk;
  }
  if (options.fault_help) {
    std::fputs(emu::fault_help_text().c_str(), stdout);
    return kExitOk;
  }
  const int result = run_command(options, &error);
  if (result != kExitOk)
    std::fprintf(stderr, "dscam: %s\n", error.empty() ? "failed" : error.c_str());
  return result;
}
