// The plain sinks of the debug device: stderr, a file, nowhere.
#include "platform/debugdev/debug_sink.h"

namespace platform {

// One stdio call, locked by stdio for the whole text, so that messages from
// several threads do not interleave within a line.
void StderrSink::write(const char *text) {
  std::fputs(text, stderr);
}

FileSink::FileSink(const std::string &path, bool append)
    : file_(std::fopen(path.c_str(), append ? "a" : "w")) {
  if (file_ != nullptr)
    std::setvbuf(file_, nullptr, _IOLBF, BUFSIZ);
}

FileSink::~FileSink() {
  if (file_ != nullptr)
    std::fclose(file_);
}

void FileSink::write(const char *text) {
  if (file_ != nullptr)
    std::fputs(text, file_);
}

} // namespace platform
