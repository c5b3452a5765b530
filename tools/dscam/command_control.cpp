// dscam zoom [VALUE] and dscam focus auto: one control, then its reading.
#include <chrono>
#include <cstdio>

#include "tools/dscam/commands.h"
#include "tools/dscam/controls.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/session.h"

namespace dscam {
namespace {

// How long a zoom set may take to show in the camera's reading.
constexpr std::chrono::milliseconds kZoomSettle{2500};

// The exit code of a failed control request.
int failed(const ControlGuard &guard, const std::string &what, NTSTATUS status, std::string *error) {
  *error = guard.failure(what, status);
  return guard.end() == ControlGuard::End::Interrupted ? kExitInterrupted : kExitCapture;
}

// dscam zoom: the reading, or a set confirmed by the reading.
int zoom(Session &session, const Options &options, const SignalWatch &signals, Wakeup &wakeup,
         std::string *error) {
  ControlGuard guard(session, signals, wakeup);
  long reading = 0;
  NTSTATUS status;
  if (options.zoom_given) {
    *error = zoom_check(session.adapter(), options.zoom);
    if (!error->empty())
      return kExitUsage;
    status = zoom_set_and_confirm(guard, signals, options.zoom, kZoomSettle, &reading);
  } else {
    KSPROPERTY_CAMERACONTROL_S value{};
    status = guard.get(KSPROPERTY_CAMERACONTROL_ZOOM, value);
    reading = value.Value;
  }
  if (!NT_SUCCESS(status) || guard.end() != ControlGuard::End::Done)
    return failed(guard, "the zoom request", status, error);
  std::printf("zoom: %ld\n", reading);
  std::fflush(stdout);
  if (signals.caught() != 0) {
    *error = "interrupted";
    return kExitInterrupted;
  }
  if (options.zoom_given && reading != options.zoom) {
    *error = "the camera's zoom shows " + std::to_string(reading) + ", not " + std::to_string(options.zoom);
    return kExitCapture;
  }
  return kExitOk;
}

// dscam focus auto: one auto-focus cycle, then the focus setting read back.
int focus(Session &session, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  ControlGuard guard(session, signals, wakeup);
  NTSTATUS status = guard.set(KSPROPERTY_CAMERACONTROL_FOCUS, 0, KSPROPERTY_CAMERACONTROL_FLAGS_AUTO);
  if (!NT_SUCCESS(status) || guard.end() != ControlGuard::End::Done)
    return failed(guard, "the auto focus", status, error);
  KSPROPERTY_CAMERACONTROL_S value{};
  status = guard.get(KSPROPERTY_CAMERACONTROL_FOCUS, value);
  if (!NT_SUCCESS(status) || guard.end() != ControlGuard::End::Done)
    return failed(guard, "reading the focus", status, error);
  std::printf("focus: %s\n", focus_text(value).c_str());
  std::fflush(stdout);
  return kExitOk;
}

} // namespace

int command_zoom(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  Session session(options, wakeup);
  const int result = session.start(error);
  return result != kExitOk ? result : zoom(session, options, signals, wakeup, error);
}

int command_focus(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  Session session(options, wakeup);
  const int result = session.start(error);
  return result != kExitOk ? result : focus(session, signals, wakeup, error);
}

} // namespace dscam
