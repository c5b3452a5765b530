// dscam zoom [VALUE] and dscam focus auto: one control, then its reading.
#include <chrono>
#include <cstdio>

#include "tools/dscam/commands.h"
#include "tools/dscam/controls.h"
#include "tools/dscam/exit_codes.h"
#include "tools/session/session.h"

namespace dscam {
namespace {

// How long a zoom set may take to show in the camera's reading.
constexpr std::chrono::milliseconds kZoomSettle{2500};

// The exit code of a request that returned: a signal that came meanwhile wins
// over its outcome.
int interrupted(const SignalWatch &signals, std::string *error) {
  if (signals.caught() == 0)
    return kExitOk;
  *error = "interrupted";
  return kExitInterrupted;
}

// The exit code of a failed control request `what`: an unplugged camera is
// named as such; otherwise the request's own reason.
int control_failed(Session &session, const std::string &what, NTSTATUS status, std::string *error) {
  *error = session.camera_gone_now() ? "the camera was disconnected" : control_failure(what, status);
  return kExitCapture;
}

// dscam zoom: the reading, or a set confirmed by the reading. Nothing is shown
// when the camera gave no reading.
int zoom(Session &session, const Options &options, const SignalWatch &signals, std::string *error) {
  streamclass::Adapter &adapter = session.adapter();
  long reading = 0;
  bool read_failed = true;
  NTSTATUS status;
  if (options.zoom_given) {
    *error = zoom_check(adapter, options.zoom);
    if (!error->empty())
      return kExitUsage;
    status = zoom_set_and_confirm(adapter, signals, options.zoom, kZoomSettle, &reading, &read_failed);
  } else {
    KSPROPERTY_CAMERACONTROL_S value{};
    status = streamclass::get_camera_control(adapter, KSPROPERTY_CAMERACONTROL_ZOOM, value);
    reading = value.Value;
  }
  if (const int result = interrupted(signals, error))
    return result;
  if (!NT_SUCCESS(status))
    return control_failed(session, read_failed ? "the zoom reading" : "the zoom setting", status, error);
  std::printf("zoom: %ld\n", reading);
  std::fflush(stdout);
  if (options.zoom_given && reading != options.zoom) {
    *error = "the camera's zoom shows " + std::to_string(reading) + ", not " + std::to_string(options.zoom);
    return kExitCapture;
  }
  return kExitOk;
}

// dscam focus auto: one auto-focus cycle, then the focus setting read back.
int focus(Session &session, const SignalWatch &signals, std::string *error) {
  streamclass::Adapter &adapter = session.adapter();
  NTSTATUS status = streamclass::set_camera_control(adapter, KSPROPERTY_CAMERACONTROL_FOCUS, 0,
                                                    KSPROPERTY_CAMERACONTROL_FLAGS_AUTO);
  if (const int result = interrupted(signals, error))
    return result;
  if (!NT_SUCCESS(status))
    return control_failed(session, "the auto focus", status, error);
  KSPROPERTY_CAMERACONTROL_S value{};
  status = streamclass::get_camera_control(adapter, KSPROPERTY_CAMERACONTROL_FOCUS, value);
  if (!NT_SUCCESS(status))
    return control_failed(session, "the focus reading", status, error);
  std::printf("focus: %s\n", focus_text(value).c_str());
  std::fflush(stdout);
  return kExitOk;
}

} // namespace

int command_zoom(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  Session session(options, wakeup);
  const int result = session.start(error);
  return result != kExitOk ? result : zoom(session, options, signals, error);
}

int command_focus(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  Session session(options, wakeup);
  const int result = session.start(error);
  return result != kExitOk ? result : focus(session, signals, error);
}

} // namespace dscam
