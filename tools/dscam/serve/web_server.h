// The web server of dscam serve (cpp-httplib): the page, the live picture as
// an MJPEG stream, snapshots, the figures and the controls.
//
//   GET  /                 the page (and its /app.js, /style.css)
//   GET  /stream.mjpg      multipart/x-mixed-replace JPEG parts, one per new
//                          picture; at most Settings::max_viewers at once,
//                          503 beyond
//   GET  /snapshot.jpg     the next picture as JPEG
//   GET  /snapshot.bmp     the next frame as the driver delivered it (BMP)
//   GET  /api/status       the figures as JSON
//   POST /api/zoom         value=N (form) or {"value": N} (JSON)
//   POST /api/focus        one auto focus; answers when it is done
//   POST /api/size         value=320x240 (form or JSON)
// Bad requests are answered 4xx with the reason as plain text.
//
// Each viewer is served on a thread of the server's pool: it waits for a
// picture newer than the one it sent last, so a viewer that takes its bytes
// slowly gets fewer pictures (the skipped ones are counted) and never holds
// the others up; one that takes no bytes for Settings::io_timeout is let go.
//
// Thread-safe. Ownership: the server owns its listening thread and the
// library's server object with its pool of connection threads; the feed and
// the controls are the caller's and must outlive stop(). stop() (at the latest
// ~WebServer) ends every viewer and joins every thread, so no handler runs
// after it returns.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/dscam/serve/live_controls.h"
#include "tools/dscam/serve/live_feed.h"

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace dscam {

// What the server counted of its viewers.
struct ViewerFigures {
  unsigned viewers = 0;         // MJPEG streams being served
  uint64_t refused_viewers = 0; // streams refused for being one too many
  uint64_t skipped = 0;         // pictures viewers did not get because they were still sending an older one
};

class WebServer {
public:
  struct Settings {
    std::string host = "127.0.0.1";
    int port = 8080; // 0: any free port
    unsigned max_viewers = 16;
    // How long a viewer may take no bytes before it is let go, and how long an
    // idle or half-sent request is waited for: bounds the stop.
    std::chrono::seconds io_timeout{1};
    // How long a snapshot or a new viewer waits for a picture.
    std::chrono::milliseconds picture_wait{5000};
  };

  WebServer(LiveFeed &feed, LiveControls &controls, const Settings &settings);
  ~WebServer();
  WebServer(const WebServer &) = delete;
  WebServer &operator=(const WebServer &) = delete;

  // Binds the address and starts listening. False with *error when the
  // address cannot be bound.
  bool start(std::string *error);
  // The port listened on (the one chosen when Settings::port was 0).
  int port() const { return port_; }
  // Ends the viewers, stops listening and joins every thread. Idempotent.
  void stop();

  ViewerFigures viewer_figures() const;

private:
  class Viewer;

  void add_routes();
  void serve_stream(httplib::Response &response);
  void serve_snapshot(httplib::Response &response, bool bmp);
  void serve_status(httplib::Response &response);
  void serve_zoom(const httplib::Request &request, httplib::Response &response);
  void serve_focus(httplib::Response &response);
  void serve_size(const httplib::Request &request, httplib::Response &response);
  std::shared_ptr<const LivePicture> wait_picture(uint64_t after, std::chrono::milliseconds limit);
  bool take_viewer_slot();
  void viewer_gone(uint64_t skipped);

  LiveFeed &feed_;
  LiveControls &controls_;
  const Settings settings_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_; // runs the library's accept loop
  int port_ = 0;
  std::atomic<bool> closing_{false}; // stop() has begun: viewers and waits end
  mutable std::mutex mutex_;         // protects figures_; a leaf lock
  ViewerFigures figures_;
};

} // namespace dscam
