// Runs the built dscam program for the tool tests: with arguments, stdout and
// stderr captured to files, a time limit (the run is killed and reported when
// it does not end), and optionally a signal sent once a condition holds.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
  bool finished = false; // ended by itself (or by the signal sent) within the limit
  int exit_code = -1;    // its exit status; 128 + N when killed by signal N
  std::string out;       // what it wrote to stdout
  std::string err;       // what it wrote to stderr
  double seconds = 0;    // how long it ran
  // The non-empty lines of err.
  std::vector<std::string> err_lines() const;
};

struct RunControl {
  std::chrono::milliseconds limit{60000};
  // When set: polled every 20 ms while the tool runs; once it returns true,
  // `signal` is sent to the tool `repeat` times, 2 ms apart.
  std::function<bool()> send_when;
  int signal = 0;
  int repeat = 1;
  // Standard output is a terminal (a pseudo-terminal nobody reads) instead of a file.
  bool stdout_terminal = false;
  // The tool runs without the capabilities that override file permissions,
  // so that a test run as root meets a device node's mode as a user would.
  bool without_file_override = false;
};

// Runs dscam with `args` in folder `dir` (created if missing).
ToolRun run_tool(const std::vector<std::string> &args, const std::filesystem::path &dir,
                 const RunControl &control = {});

} // namespace tooltest
