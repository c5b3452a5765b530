// The dscamsrc element: GStreamer's object machinery around CameraSource.
#include "tools/gstdscam/dscam_src.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <gst/video/video.h>

#include "tools/gstdscam/camera_source.h"
#include "tools/gstdscam/source_settings.h"

GST_DEBUG_CATEGORY_STATIC(dscam_src_debug);
#define GST_CAT_DEFAULT dscam_src_debug

namespace {

enum Property : guint {
  PROP_0,
  PROP_DEVICE,
  PROP_ZOOM,
  PROP_PICTURES,
  PROP_CAMERA_FPS,
  PROP_FAULT,
  PROP_FRAMES_DROPPED,
};

constexpr int kZoomMin = 0;
constexpr int kZoomMax = 100;
constexpr int kZoomDefault = 50;                         // the driver's zoom when its device starts
constexpr GstClockTime kFrameDuration = GST_SECOND / 15; // of every format the driver offers

// The formats the driver offers: RGB24 in blue-green-red byte order, two sizes,
// 15 frames per second. The element asks for top-down rows.
GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format=(string)BGR, width=(int)320, height=(int)240, "
                    "framerate=(fraction)15/1, pixel-aspect-ratio=(fraction)1/1; "
                    "video/x-raw, format=(string)BGR, width=(int)160, height=(int)120, "
                    "framerate=(fraction)15/1, pixel-aspect-ratio=(fraction)1/1"));

} // namespace

// The element's state, apart from the GObject instance.
struct DscamSrcState {
  std::mutex settings_lock; // guards settings, zoom and zoom_set
  dscam::SourceSettings settings;
  int zoom = kZoomDefault;
  bool zoom_set = false; // the application chose a zoom: it is set when the device starts

  // Guards `camera` (made by start(), destroyed by stop()) and serializes the
  // application threads' calls into it; the streaming thread uses it between
  // start() and stop() without holding the lock.
  std::mutex camera_lock;
  std::unique_ptr<dscam::CameraSource> camera;
  uint64_t frames_lost_at_stop = 0; // the count of the last run, once it stopped (camera_lock)

  // The negotiated format (streaming thread; atomics for the application's reads).
  std::atomic<long> width{0};
  std::atomic<long> height{0};
  std::atomic<GstClockTime> frame_duration{kFrameDuration};
  std::atomic<bool> pipeline_clock{false}; // the pin runs on the element's clock (else on the system clock)
};

struct _DscamSrc {
  GstPushSrc parent;
  DscamSrcState *state;
};

G_DEFINE_TYPE(DscamSrc, dscam_src, GST_TYPE_PUSH_SRC)

namespace {

// The camera while the element is started (NULL otherwise), for the streaming
// thread.
dscam::CameraSource *camera_of(DscamSrc *src) {
  std::lock_guard guard(src->state->camera_lock);
  return src->state->camera.get();
}

// Sets the zoom of the started camera; a failure is posted as a warning with
// the driver's status. camera_lock held.
void set_zoom_now(DscamSrc *src, int zoom) {
  const NTSTATUS status = src->state->camera->set_zoom(zoom);
  if (!NT_SUCCESS(status))
    GST_ELEMENT_WARNING(src, RESOURCE, SETTINGS,
                        ("setting the zoom failed: %s", dscam::status_text(status).c_str()), (nullptr));
}

// ---------------------------------------------------------------------------
// Properties and the action signal

void dscam_src_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
  DscamSrc *src = DSCAM_SRC(object);
  DscamSrcState &state = *src->state;
  std::unique_lock settings(state.settings_lock);
  switch (id) {
  case PROP_DEVICE:
    state.settings.device = g_value_get_string(value) ? g_value_get_string(value) : "emulated";
    break;
  case PROP_PICTURES:
    state.settings.pictures = g_value_get_string(value) ? g_value_get_string(value) : "";
    break;
  case PROP_CAMERA_FPS:
    state.settings.camera_fps = g_value_get_double(value);
    break;
  case PROP_FAULT:
    state.settings.faults = g_value_get_string(value) ? g_value_get_string(value) : "";
    break;
  case PROP_ZOOM: {
    const int zoom = g_value_get_int(value);
    state.zoom = zoom;
    state.zoom_set = true;
    settings.unlock();
    std::lock_guard guard(state.camera_lock);
    if (state.camera)
      set_zoom_now(src, zoom);
    break;
  }
  default:
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    break;
  }
}

void dscam_src_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
  DscamSrcState &state = *DSCAM_SRC(object)->state;
  if (id == PROP_FRAMES_DROPPED) {
    std::lock_guard guard(state.camera_lock);
    g_value_set_uint64(value, state.camera ? state.camera->frames_lost() : state.frames_lost_at_stop);
    return;
  }
  std::lock_guard guard(state.settings_lock);
  switch (id) {
  case PROP_DEVICE:
    g_value_set_string(value, state.settings.device.c_str());
    break;
  case PROP_PICTURES:
    g_value_set_string(value, state.settings.pictures.empty() ? nullptr : state.settings.pictures.c_str());
    break;
  case PROP_CAMERA_FPS:
    g_value_set_double(value, state.settings.camera_fps);
    break;
  case PROP_FAULT:
    g_value_set_string(value, state.settings.faults.empty() ? nullptr : state.settings.faults.c_str());
    break;
  case PROP_ZOOM:
    g_value_set_int(value, state.zoom);
    break;
  default:
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    break;
  }
}

// The "auto-focus" action: runs the one-touch auto focus and waits for its
// end. TRUE when the camera focused; FALSE, with a warning message giving the
// reason, when not (or when the device is not started).
gboolean dscam_src_auto_focus(DscamSrc *src) {
  DscamSrcState &state = *src->state;
  std::lock_guard guard(state.camera_lock);
  if (!state.camera) {
    GST_WARNING_OBJECT(src, "no auto focus: the device is not started");
    return FALSE;
  }
  const NTSTATUS status = state.camera->auto_focus();
  if (!NT_SUCCESS(status)) {
    GST_ELEMENT_WARNING(src, RESOURCE, SETTINGS,
                        ("the auto focus failed: %s", dscam::status_text(status).c_str()), (nullptr));
    return FALSE;
  }
  return TRUE;
}

// ---------------------------------------------------------------------------
// Base source

// Starts the device (READY to PAUSED); the pin opens when the first frame is
// asked for, at the negotiated size.
gboolean dscam_src_start(GstBaseSrc *base) {
  DscamSrc *src = DSCAM_SRC(base);
  DscamSrcState &state = *src->state;
  dscam::SessionOptions options;
  std::string error;
  {
    std::lock_guard guard(state.settings_lock);
    error = dscam::session_options_from(state.settings, &options);
  }
  if (!error.empty()) {
    GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS, ("%s", error.c_str()), (nullptr));
    return FALSE;
  }
  auto camera = std::make_unique<dscam::CameraSource>(options);
  if (!camera->start(&error)) {
    GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ, ("%s", error.c_str()), (nullptr));
    return FALSE;
  }
  std::lock_guard guard(state.camera_lock);
  state.camera = std::move(camera);
  std::unique_lock settings(state.settings_lock);
  if (state.zoom_set) {
    const int zoom = state.zoom;
    settings.unlock();
    set_zoom_now(src, zoom);
  }
  return TRUE;
}

// Closes the pin and removes the device (PAUSED to READY, after the streaming
// thread stopped). Waits for an auto focus in progress to end.
gboolean dscam_src_stop(GstBaseSrc *base) {
  DscamSrcState &state = *DSCAM_SRC(base)->state;
  std::unique_ptr<dscam::CameraSource> camera;
  {
    std::lock_guard guard(state.camera_lock);
    camera = std::move(state.camera);
    if (camera)
      state.frames_lost_at_stop = camera->frames_lost();
  }
  camera.reset();
  return TRUE;
}

// Notes the size downstream fixed; create() opens the pin at it (closing one
// open at another size).
gboolean dscam_src_set_caps(GstBaseSrc *base, GstCaps *caps) {
  DscamSrcState &state = *DSCAM_SRC(base)->state;
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps) || GST_VIDEO_INFO_FPS_N(&info) <= 0)
    return FALSE;
  state.width.store(GST_VIDEO_INFO_WIDTH(&info));
  state.height.store(GST_VIDEO_INFO_HEIGHT(&info));
  state.frame_duration.store(
      gst_util_uint64_scale_int(GST_SECOND, GST_VIDEO_INFO_FPS_D(&info), GST_VIDEO_INFO_FPS_N(&info)));
  return TRUE;
}

// A frame is time-stamped when the driver completes it, and waits at most the
// queue's length before it is pushed: one frame interval at least, the queue's
// at most.
gboolean dscam_src_query(GstBaseSrc *base, GstQuery *query) {
  if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
    const GstClockTime frame = DSCAM_SRC(base)->state->frame_duration.load();
    gst_query_set_latency(query, TRUE, frame, frame * dscam::CameraSource::kQueuedFrames);
    return TRUE;
  }
  return GST_BASE_SRC_CLASS(dscam_src_parent_class)->query(base, query);
}

gboolean dscam_src_unlock(GstBaseSrc *base) {
  if (dscam::CameraSource *camera = camera_of(DSCAM_SRC(base)))
    camera->interrupt();
  return TRUE;
}

gboolean dscam_src_unlock_stop(GstBaseSrc *base) {
  if (dscam::CameraSource *camera = camera_of(DSCAM_SRC(base)))
    camera->resume();
  return TRUE;
}

// Opens the pin at the negotiated size when none is open at that size, on the
// element's clock (the system clock when the element has none).
GstFlowReturn open_pin(DscamSrc *src, dscam::CameraSource &camera) {
  DscamSrcState &state = *src->state;
  GstClock *clock = gst_element_get_clock(GST_ELEMENT(src));
  state.pipeline_clock.store(clock != nullptr);
  if (clock == nullptr)
    clock = gst_system_clock_obtain();
  std::string error;
  const bool opened = camera.open(state.width.load(), state.height.load(), clock, &error);
  gst_object_unref(clock);
  if (!opened) {
    GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ, ("%s", error.c_str()), (nullptr));
    return GST_FLOW_ERROR;
  }
  return GST_FLOW_OK;
}

// The running time of a frame's clock time; false for a frame taken before
// the running time began (held while the pipeline was paused).
bool running_time(DscamSrc *src, dscam::CameraSource &camera, GstClockTime clock_time, GstClockTime *time) {
  if (clock_time == GST_CLOCK_TIME_NONE) {
    *time = GST_CLOCK_TIME_NONE;
    return true;
  }
  const GstClockTime base =
      src->state->pipeline_clock.load() ? gst_element_get_base_time(GST_ELEMENT(src)) : camera.clock_time(0);
  if (clock_time < base)
    return false;
  *time = clock_time - base;
  return true;
}

// The next frame as a buffer: its running time from the driver's presentation
// time, DISCONT after lost frames, CORRUPTED when the driver marked it damaged.
// Streaming thread.
GstFlowReturn dscam_src_create(GstPushSrc *push, GstBuffer **buffer) {
  DscamSrc *src = DSCAM_SRC(push);
  dscam::CameraSource *camera = camera_of(src);
  if (camera == nullptr)
    return GST_FLOW_FLUSHING;
  if (!camera->is_open(src->state->width.load(), src->state->height.load())) {
    const GstFlowReturn opened = open_pin(src, *camera);
    if (opened != GST_FLOW_OK)
      return opened;
  }
  for (;;) {
    dscam::CapturedFrame frame;
    bool discont = false;
    std::string error;
    switch (camera->next(&frame, &discont, &error)) {
    case dscam::CameraSource::Next::Interrupted:
      return GST_FLOW_FLUSHING;
    case dscam::CameraSource::Next::Failed:
      GST_ELEMENT_ERROR(src, RESOURCE, READ, ("%s", error.c_str()), (nullptr));
      return GST_FLOW_ERROR;
    case dscam::CameraSource::Next::Frame:
      break;
    }
    GstClockTime pts;
    if (!running_time(src, *camera, camera->clock_time(frame.presentation_time), &pts)) {
      camera->discard(frame);
      continue;
    }
    GST_BUFFER_PTS(frame.buffer) = pts;
    if (discont)
      GST_BUFFER_FLAG_SET(frame.buffer, GST_BUFFER_FLAG_DISCONT);
    if (frame.damaged)
      GST_BUFFER_FLAG_SET(frame.buffer, GST_BUFFER_FLAG_CORRUPTED);
    *buffer = frame.buffer;
    return GST_FLOW_OK;
  }
}

void dscam_src_finalize(GObject *object) {
  delete DSCAM_SRC(object)->state;
  G_OBJECT_CLASS(dscam_src_parent_class)->finalize(object);
}

} // namespace

static void dscam_src_class_init(DscamSrcClass *klass) {
  GObjectClass *object_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseSrcClass *base_class = GST_BASE_SRC_CLASS(klass);
  GstPushSrcClass *push_class = GST_PUSH_SRC_CLASS(klass);

  object_class->set_property = dscam_src_set_property;
  object_class->get_property = dscam_src_get_property;
  object_class->finalize = dscam_src_finalize;

  const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  const auto ready = static_cast<GParamFlags>(flags | GST_PARAM_MUTABLE_READY);
  g_object_class_install_property(
      object_class, PROP_DEVICE,
      g_param_spec_string(
          "device", "Device",
          "The camera: 'emulated' (the emulated camera in this process), or a real one through "
          "libusb: 'usb:VID:PID' (hexadecimal, as lsusb shows them) or 'usb:BUS-ADDR' (decimal)",
          "emulated", ready));
  g_object_class_install_property(
      object_class, PROP_ZOOM,
      g_param_spec_int(
          "zoom", "Zoom",
          "Zoom position to set, also while playing (the driver moves the camera half a second "
          "after the last change); reads back the value last set, the driver's default 50 before",
          kZoomMin, kZoomMax, kZoomDefault, static_cast<GParamFlags>(flags | GST_PARAM_MUTABLE_PLAYING)));
  g_object_class_install_property(
      object_class, PROP_PICTURES,
      g_param_spec_string("pictures", "Pictures",
                          "The emulated camera's pictures: a JPEG file or a folder of them, played in a loop "
                          "(unset: its moving, numbered synthetic scene)",
                          nullptr, ready));
  g_object_class_install_property(
      object_class, PROP_CAMERA_FPS,
      g_param_spec_double("camera-fps", "Camera pictures per second",
                          "Pictures per second the emulated camera takes; 0: whenever asked", 0.0, 1000.0,
                          15.0, ready));
  g_object_class_install_property(
      object_class, PROP_FAULT,
      g_param_spec_string(
          "fault", "Faults",
          "Faults of the emulated camera, as dscam's --fault takes them, separated by commas: "
          "NAME, NAME=RATE (0..1 or a percentage) or NAME@PICTURE ('dscam --fault help' lists them)",
          nullptr, ready));
  g_object_class_install_property(
      object_class, PROP_FRAMES_DROPPED,
      g_param_spec_uint64(
          "frames-dropped", "Frames dropped",
          "Frames lost since the stream started: the driver's drop count (frame intervals it had "
          "no frame for) plus the frames this element discarded (downstream too slow, no whole "
          "image, or taken while the pipeline was paused)",
          0, G_MAXUINT64, 0, static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

  g_signal_new_class_handler("auto-focus", G_TYPE_FROM_CLASS(klass),
                             static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
                             G_CALLBACK(dscam_src_auto_focus), nullptr, nullptr, nullptr, G_TYPE_BOOLEAN, 0);

  gst_element_class_set_static_metadata(element_class, "dscam camera source", "Source/Video",
                                        "Live video from the dscam camera, through its driver and the stream "
                                        "class host",
                                        "dscam developers");
  gst_element_class_add_static_pad_template(element_class, &src_template);

  base_class->start = dscam_src_start;
  base_class->stop = dscam_src_stop;
  base_class->set_caps = dscam_src_set_caps;
  base_class->query = dscam_src_query;
  base_class->unlock = dscam_src_unlock;
  base_class->unlock_stop = dscam_src_unlock_stop;
  push_class->create = dscam_src_create;
}

static void dscam_src_init(DscamSrc *src) {
  src->state = new DscamSrcState;
  gst_base_src_set_live(GST_BASE_SRC(src), TRUE);
  gst_base_src_set_format(GST_BASE_SRC(src), GST_FORMAT_TIME);
}

gboolean dscam_src_register(GstPlugin *plugin) {
  GST_DEBUG_CATEGORY_INIT(dscam_src_debug, "dscamsrc", 0, "dscam camera source");
  return gst_element_register(plugin, "dscamsrc", GST_RANK_NONE, DSCAM_TYPE_SRC);
}
