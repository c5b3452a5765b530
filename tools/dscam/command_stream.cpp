// dscam stream: raw BGR24 frames, top-down, on standard output (never a
// terminal); messages and the summary on standard error.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "tools/dscam/commands.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/run.h"
#include "tools/session/session.h"

namespace dscam {
namespace {

// Writes each frame's rows, without their padding, to a file descriptor. A
// reader that closed the pipe (EPIPE; SIGPIPE is ignored) ends the stream.
class PipeSink : public FrameSink {
public:
  PipeSink(int fd, long width, long height) : fd_(fd), width_(width), height_(height) {}
  Result write(std::span<const uint8_t> frame, uint64_t, std::string *error) override {
    const size_t row = static_cast<size_t>(width_) * 3;
    const size_t pitch = (row + 3) / 4 * 4;
    if (frame.size() < pitch * static_cast<size_t>(height_)) {
      *error = "short frame of " + std::to_string(frame.size()) + " bytes";
      return Result::Failed;
    }
    for (long y = 0; y < height_; ++y) {
      const Result result = write_all(frame.data() + static_cast<size_t>(y) * pitch, row, error);
      if (result != Result::Ok)
        return result;
    }
    return Result::Ok;
  }

private:
  Result write_all(const uint8_t *data, size_t size, std::string *error) {
    while (size > 0) {
      const ssize_t done = ::write(fd_, data, size);
      if (done < 0 && errno == EINTR)
        continue;
      if (done < 0 && errno == EPIPE)
        return Result::Closed;
      if (done <= 0) {
        *error = std::string("cannot write to standard output: ") + std::strerror(errno);
        return Result::Failed;
      }
      data += done;
      size -= static_cast<size_t>(done);
    }
    return Result::Ok;
  }

  int fd_;
  long width_;
  long height_;
};

} // namespace

int command_stream(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  // Raw video on a terminal is noise that can leave the terminal unusable.
  if (isatty(STDOUT_FILENO) == 1) {
    *error = "standard output is a terminal: send the raw frames to a file or a pipe "
             "(dscam stream > video.bgr, dscam stream | ffplay ...)";
    return kExitOutput;
  }
  Session session(options, wakeup);
  int result = session.start(error);
  if (result != kExitOk)
    return result;
  Options top_down = options;
  top_down.top_down = true;
  RunPlan plan;
  plan.frames = static_cast<uint64_t>(options.frames);
  plan.duration = options.duration;
  plan.json_out = stderr;
  PipeSink sink(STDOUT_FILENO, options.width, options.height);
  return run_stream(session, top_down, plan, sink, signals, wakeup, error);
}

} // namespace dscam
