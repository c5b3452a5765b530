// A streaming run, shared by capture and stream: opens the capture pin, keeps
// frame buffers queued (FramePump), hands each frame to a sink on the main
// thread (damaged ones too, unless --skip-damaged), applies the --set control
// changes at their times, draws progress, and ends on the frame count or
// duration, a signal, a closed output, an unplugged camera, pictures the driver
// keeps refusing, reads that keep failing, or the watchdog (no frame for a
// while: a camera that stopped answering). Failed reads mean the driver's
// transfer thread gave up on a failed camera exchange: the run closes and
// reopens the pin (a new transfer thread), --retries times in a row at most.
// Then it stops the pump, closes the pin and prints the summary, whatever ended
// it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "tools/dscam/options.h"
#include "tools/session/session.h"
#include "tools/dscam/signals.h"
#include "tools/dscam/wakeup.h"

namespace dscam {

// Where the frames of a run go. Called on the main thread.
class FrameSink {
public:
  enum class Result { Ok, Closed, Failed };
  virtual ~FrameSink() = default;
  // Takes frame `number` (1, 2, ...) as the driver delivered it. Closed: the
  // reader went away (the run ends cleanly); Failed: *error says why.
  virtual Result write(std::span<const uint8_t> frame, uint64_t number, std::string *error) = 0;
  // The run has ended: the sink completes its output (a file's index). Failed: *error says why.
  virtual Result finish(std::string *) { return Result::Ok; }
};

struct RunPlan {
  uint64_t frames = 0;   // end after this many frames (0: no limit)
  double duration = 0;   // end after this many seconds (0: no limit)
  bool need_all = false; // fewer frames than asked is a failure (capture)
  bool progress = false;
  std::FILE *json_out = stdout; // where --json puts the summary
};

// Runs the stream on a started session. Returns the exit code; *error is the
// one-line reason of a failure (empty on success).
int run_stream(Session &session, const Options &options, const RunPlan &plan, FrameSink &sink,
               const SignalWatch &signals, Wakeup &wakeup, std::string *error);

} // namespace dscam
