// Zoom and auto focus for the live page.
#include "tools/dscam/serve/live_controls.h"

#include "platform/streamclass/ks_guids.h"
#include "tools/dscam/controls.h"

namespace dscam {
namespace {

using Clock = std::chrono::steady_clock;

// A reading that still differs from the value set is taken again until this
// long after the set (a camera slow to answer, a set that raced the reading).
constexpr std::chrono::milliseconds kReadBackLimit{3000};

} // namespace

const char *focus_state_name(FocusFigures::State state) {
  switch (state) {
  case FocusFigures::State::Idle:
    return "idle";
  case FocusFigures::State::Focusing:
    return "focusing";
  case FocusFigures::State::Focused:
    return "focused";
  case FocusFigures::State::Failed:
    return "failed";
  }
  return "idle";
}

LiveControls::LiveControls(streamclass::Adapter &adapter, LiveFeed &feed) : adapter_(adapter), feed_(feed) {
  streamclass::ControlDescription description;
  if (streamclass::describe_control(adapter_, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM,
                                    description)) {
    zoom_.settable = description.set_supported;
    if (description.has_range) {
      zoom_.minimum = description.minimum;
      zoom_.maximum = description.maximum;
    }
    if (description.step > 0)
      zoom_.step = static_cast<long>(description.step);
    if (description.has_default)
      zoom_.default_value = description.default_value;
  }
  if (description.get)
    read_zoom();
}

LiveControls::Outcome LiveControls::set_zoom(long value) {
  const std::string refused = zoom_check(adapter_, value);
  if (!refused.empty())
    return {400, refused};
  const NTSTATUS status =
      streamclass::set_camera_control(adapter_, KSPROPERTY_CAMERACONTROL_ZOOM, static_cast<LONG>(value),
                                      KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL);
  std::lock_guard lock(mutex_);
  if (!NT_SUCCESS(status)) {
    zoom_.error = control_failure("setting the zoom", status);
    return {502, zoom_.error};
  }
  zoom_.requested_known = true;
  zoom_.requested = value;
  zoom_.error.clear();
  reading_due_ = true;
  last_set_ = Clock::now();
  return {};
}

LiveControls::Outcome LiveControls::focus() {
  std::unique_lock running(focus_mutex_, std::try_to_lock);
  if (!running.owns_lock())
    return {409, "an auto focus is running already"};
  {
    std::lock_guard lock(mutex_);
    focus_.state = FocusFigures::State::Focusing;
  }
  feed_.control_started();
  const NTSTATUS status = streamclass::set_camera_control(adapter_, KSPROPERTY_CAMERACONTROL_FOCUS, 0,
                                                          KSPROPERTY_CAMERACONTROL_FLAGS_AUTO);
  feed_.control_ended();
  std::lock_guard lock(mutex_);
  focus_.runs++;
  if (NT_SUCCESS(status)) {
    focus_.state = FocusFigures::State::Focused;
    focus_.error.clear();
    return {};
  }
  focus_.state = FocusFigures::State::Failed;
  focus_.error = control_failure("the auto focus", status);
  return {502, focus_.error};
}

ZoomFigures LiveControls::zoom() {
  bool due;
  {
    std::lock_guard lock(mutex_);
    due = reading_due_ && Clock::now() - last_set_ >= kSettle;
  }
  if (due) {
    // One reading at a time: other callers see the figures as they stand.
    std::unique_lock reading(read_mutex_, std::try_to_lock);
    if (reading.owns_lock())
      read_zoom();
  }
  std::lock_guard lock(mutex_);
  return zoom_;
}

FocusFigures LiveControls::focus_figures() const {
  std::lock_guard lock(mutex_);
  return focus_;
}

// Reads the camera's zoom (a camera exchange, without the lock). The reading
// is due again while it differs from the value set and the set is recent.
void LiveControls::read_zoom() {
  KSPROPERTY_CAMERACONTROL_S value{};
  const NTSTATUS status = streamclass::get_camera_control(adapter_, KSPROPERTY_CAMERACONTROL_ZOOM, value);
  std::lock_guard lock(mutex_);
  zoom_.reading_known = NT_SUCCESS(status);
  if (!NT_SUCCESS(status)) {
    zoom_.error = control_failure("reading the zoom", status);
    reading_due_ = false;
    return;
  }
  zoom_.reading = value.Value;
  reading_due_ =
      zoom_.requested_known && value.Value != zoom_.requested && Clock::now() - last_set_ < kReadBackLimit;
}

} // namespace dscam
