// Where the debug device's messages go. A sink takes one message text at a
// time, exactly as the driver formatted it (the text carries its own line end).
//
// Every sink is thread-safe: write() is called from any thread, several at
// once, from request handlers, the transfer thread, work items and the bus
// driver's completion context alike, and never blocks for long (a short leaf
// lock, or one buffered stdio write).
#pragma once

#include <cstdio>
#include <string>

namespace platform {

class DebugSink {
public:
  virtual ~DebugSink() = default;
  // Takes one NUL-terminated message.
  virtual void write(const char *text) = 0;
};

// Writes each message to stderr as it stands.
class StderrSink : public DebugSink {
public:
  void write(const char *text) override;
};

// Appends each message to a file, flushed at every line end so that a crash
// loses nothing already logged.
class FileSink : public DebugSink {
public:
  // Opens (creates or truncates; with append, extends) the file at path.
  explicit FileSink(const std::string &path, bool append = false);
  ~FileSink() override;
  FileSink(const FileSink &) = delete;
  FileSink &operator=(const FileSink &) = delete;

  // Whether the file could be opened; messages to a sink that is not open
  // are dropped.
  bool is_open() const { return file_ != nullptr; }
  void write(const char *text) override;

private:
  std::FILE *file_; // stdio locks it for each write
};

// Drops every message.
class NullSink : public DebugSink {
public:
  void write(const char *) override {}
};

} // namespace platform
