// The capture pin's master clock on a GStreamer clock: the stream time is the
// clock's time since the pin opened, so the presentation times the driver
// stamps on its frames are times of the pipeline's clock, and the frame of
// stream time T was stamped at clock time start() + T.
//
// Thread-safe: the driver reads it on its transfer thread. Holds a reference
// on the clock for its life.
#pragma once

#include <gst/gst.h>

#include "platform/streamclass/host.h"

namespace dscam {

class PipelineMasterClock : public streamclass::MasterClock {
public:
  // Starts the stream time at the clock's time now.
  explicit PipelineMasterClock(GstClock *clock);
  ~PipelineMasterClock() override;
  PipelineMasterClock(const PipelineMasterClock &) = delete;
  PipelineMasterClock &operator=(const PipelineMasterClock &) = delete;

  // 100 ns units since start().
  LONGLONG stream_time() override;
  // The clock's time at stream time 0.
  GstClockTime start() const { return start_; }

private:
  GstClock *clock_;
  const GstClockTime start_;
};

} // namespace dscam
