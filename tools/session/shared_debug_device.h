// The debug device as the sessions of one process share it. The device is the
// process's, as a debug driver is loaded once for every driver that logs
// through it: the first session to join creates it (unless the process made
// one of its own, which then stays the process's), the last to leave removes
// what the sessions created. Thread-safe: sessions of one process may start
// and close on different threads at once.
#pragma once

#include <memory>

#include "platform/debugdev/debug_sink.h"
#include "platform/kernel/ntdef.h"

namespace dscam {

// Joins the debug device, creating it with `sink` when there is none.
// *sink_used tells whether `sink` now receives the messages (false: the device
// was there already and keeps its own sink). STATUS_SUCCESS, or the status of
// the failed creation (the session has then not joined).
NTSTATUS shared_debug_device_join(std::shared_ptr<platform::DebugSink> sink, bool *sink_used);

// Leaves the device joined; the last session to leave removes the device if the
// sessions created it.
void shared_debug_device_leave();

} // namespace dscam
