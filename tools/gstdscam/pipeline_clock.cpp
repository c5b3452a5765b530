// The pin's master clock on the pipeline's clock.
#include "tools/gstdscam/pipeline_clock.h"

namespace dscam {

PipelineMasterClock::PipelineMasterClock(GstClock *clock)
    : clock_(static_cast<GstClock *>(gst_object_ref(clock))), start_(gst_clock_get_time(clock)) {}

PipelineMasterClock::~PipelineMasterClock() {
  gst_object_unref(clock_);
}

LONGLONG PipelineMasterClock::stream_time() {
  const GstClockTime now = gst_clock_get_time(clock_);
  return now > start_ ? static_cast<LONGLONG>((now - start_) / 100) : 0;
}

} // namespace dscam
