// dscam serve: the live page until Ctrl-C. The device starts at once and stays
// started; the feed opens the pin while someone watches.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "tools/dscam/commands.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/serve/live_controls.h"
#include "tools/dscam/serve/live_feed.h"
#include "tools/dscam/serve/web_server.h"
#include "tools/session/session.h"

namespace dscam {
namespace {

bool loopback(const std::string &host) {
  return host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost";
}

// Waits until a signal or an unplugged camera ends the serving; the exit code
// and reason.
int wait_for_end(Session &session, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  for (;;) {
    if (const int signal = signals.caught()) {
      *error = signal == SIGTERM ? "terminated" : "interrupted";
      return signal == SIGTERM ? kExitTerminated : kExitInterrupted;
    }
    if (session.camera_gone()) {
      session.unplug();
      *error = "the camera was disconnected";
      return kExitCapture;
    }
    wakeup.wait(std::chrono::milliseconds(200));
  }
}

// The closing summary: what the viewers were shown, and what went wrong.
void print_summary(const FeedFigures &feed, const ViewerFigures &viewers, double stop_seconds) {
  std::fprintf(
      stderr,
      "frames: %llu (dropped by the driver %llu, damaged %llu, failed reads %llu, refused pictures %s)\n"
      "viewers: %llu refused, %llu pictures skipped for slow viewers\n"
      "stopped in %.2f s\n",
      static_cast<unsigned long long>(feed.frames), static_cast<unsigned long long>(feed.dropped),
      static_cast<unsigned long long>(feed.damaged), static_cast<unsigned long long>(feed.failed_reads),
      feed.refused_known ? std::to_string(feed.refused).c_str() : "unknown",
      static_cast<unsigned long long>(viewers.refused_viewers),
      static_cast<unsigned long long>(viewers.skipped), stop_seconds);
}

// How long the camera may give no picture: 3 s, or three picture intervals of
// a slower camera.
std::chrono::milliseconds stall_limit(const Options &options) {
  const double seconds = options.camera.fps > 0 ? std::max(3.0, 3.0 / options.camera.fps) : 3.0;
  return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

int serve(Session &session, const Options &options, const SignalWatch &signals, Wakeup &wakeup,
          std::string *error) {
  LiveFeed::Settings feed_settings;
  feed_settings.width = options.width;
  feed_settings.height = options.height;
  feed_settings.stall_limit = stall_limit(options);
  LiveFeed feed(session.adapter(), feed_settings);
  LiveControls controls(session.adapter(), feed);
  WebServer::Settings settings;
  settings.host = options.listen_host;
  settings.port = options.listen_port;
  settings.picture_wait = feed_settings.stall_limit + std::chrono::seconds(2);
  WebServer server(feed, controls, settings);
  feed.start();
  if (!server.start(error))
    return kExitOutput;
  const std::string host =
      settings.host.find(':') != std::string::npos ? "[" + settings.host + "]" : settings.host;
  std::printf("dscam: serving http://%s:%d/ (Ctrl-C to stop)\n", host.c_str(), server.port());
  std::fflush(stdout);
  if (!loopback(settings.host))
    std::fprintf(stderr, "dscam: listening on %s: other machines can watch and control the camera\n",
                 settings.host.c_str());
  const int result = wait_for_end(session, signals, wakeup, error);
  const auto stopping = std::chrono::steady_clock::now();
  // Viewers first (they hold watches of the feed), then the pin, then the device.
  server.stop();
  feed.stop();
  session.close();
  print_summary(feed.figures(), server.viewer_figures(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping).count());
  return result;
}

} // namespace

int command_serve(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  Session session(options, wakeup);
  const int result = session.start(error);
  return result != kExitOk ? result : serve(session, options, signals, wakeup, error);
}

} // namespace dscam
