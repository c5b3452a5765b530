// The commands of dscam, one file each. Each takes the parsed options, runs
// the command and returns its exit code (exit_codes.h), with a one-line reason
// in *error on failure. Main thread.
#pragma once

#include <string>

#include "tools/dscam/options.h"
#include "tools/dscam/signals.h"
#include "tools/dscam/wakeup.h"

namespace dscam {

int command_capture(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error);
int command_stream(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error);
int command_info(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error);
int command_zoom(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error);
int command_focus(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error);
int command_serve(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error);
int command_list(std::string *error);

} // namespace dscam
