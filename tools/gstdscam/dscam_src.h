// dscamsrc: the camera as a GStreamer live source (a GstPushSrc) on the stream
// class host's application API. It starts the device when it goes to PAUSED,
// opens the capture pin at the size downstream fixes (BGR, 320x240 or
// 160x120, 15 frames per second, top-down rows) on the pipeline's clock, and
// pushes every frame the driver delivers: time-stamped from its presentation
// time, its picture number as offset, a discontinuity after lost or damaged
// frames. Its properties choose the camera (the emulated one, with its
// pictures, rate and faults) and its zoom; the action signal "auto-focus" runs
// the one-touch auto focus. Failures end the stream with an error message that
// gives the driver's reason.
#pragma once

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define DSCAM_TYPE_SRC (dscam_src_get_type())
G_DECLARE_FINAL_TYPE(DscamSrc, dscam_src, DSCAM, SRC, GstPushSrc)

// Registers the element factory "dscamsrc" with `plugin` (NULL: a static
// registration, for a program that links the element in).
gboolean dscam_src_register(GstPlugin *plugin);

G_END_DECLS
