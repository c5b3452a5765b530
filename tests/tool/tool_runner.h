// Runs the built dscam program for the tool tests: with arguments, stdout and
// stderr captured to files, a time limit (the run is killed and reported when
// it does not end), and optionally a signal sent once a condition holds.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/pictures.h"

namespace tooltest {

struct ToolRun {
  bool finished = false; // ended by itself (or by the signal sent) within the limit
  int exit_code = -1;    // its exit status; 128 + N when killed by signal N
  std::string out;       // what it wrote to stdout
  std::string err;       // what it wrote to stderr
  double seconds = 0;    // how long it ran
  // The non-empty lines of err.
  std::vector<std::string> err_lines() const;
  // The status, the time and err, for a failure message.
  std::string describe() const;
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

// A folder of its own for the running test, named after it, empty at the
// start and removed at the end.
class TestFolder {
public:
  TestFolder();
  ~TestFolder();
  TestFolder(const TestFolder &) = delete;
  TestFolder &operator=(const TestFolder &) = delete;
  const std::filesystem::path &path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path &name) const { return path_ / name; }

private:
  std::filesystem::path path_;
};

// The bytes of the file at `path` ("" when it cannot be read).
std::string read_file(const std::filesystem::path &path);
// The regular files in a folder.
long files_in(const std::filesystem::path &folder);
// Writes the picture rig::make_picture makes of `options` to `path`; returns its bytes.
std::vector<uint8_t> write_picture(const std::filesystem::path &path, const rig::PictureOptions &options);

} // namespace tooltest
