// The routes of dscam serve on cpp-httplib.
#include "tools/dscam/serve/web_server.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <regex>

#include <httplib.h>

#include "tools/dscam/serve/status_json.h"
#include "tools/dscam/serve/web_files.h"
#include "tools/session/session.h"

namespace dscam {
namespace {

using namespace std::chrono_literals;

constexpr const char *kBoundary = "dscamframe";
constexpr auto kWaitSlice = 200ms;     // waits end this soon after stop() has begun
constexpr unsigned kSpareThreads = 8;  // connection threads beyond the viewers' (page, status, controls)
constexpr int kSendBuffer = 32 * 1024; // bytes; the kernel doubles it

void reply(httplib::Response &response, int status, const std::string &reason) {
  response.status = status;
  response.set_content(reason + "\n", "text/plain; charset=utf-8");
}

// A whole number that fills the text.
bool parse_long(std::string_view text, long *value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The request's "value": a form or query field, or a JSON body {"value": ...}
// holding a number or a string. False when there is none.
bool request_value(const httplib::Request &request, std::string *value) {
  if (request.has_param("value")) {
    *value = request.get_param_value("value");
    return true;
  }
  if (request.get_header_value("Content-Type").find("application/json") != 0)
    return false;
  static const std::regex kJson(R"re(^\s*\{\s*"value"\s*:\s*(?:(-?[0-9]+)|"([^"\\]*)")\s*\}\s*$)re");
  std::smatch match;
  if (!std::regex_match(request.body, match, kJson))
    return false;
  *value = match[1].matched ? match[1].str() : match[2].str();
  return true;
}

// "320x240" as width and height.
bool parse_size(const std::string &text, long *width, long *height) {
  const size_t x = text.find('x');
  if (x == std::string::npos)
    return false;
  return parse_long(std::string_view(text).substr(0, x), width) &&
         parse_long(std::string_view(text).substr(x + 1), height) && *width > 0 && *height > 0 &&
         *width <= 4096 && *height <= 4096;
}

// Why no picture came, as a viewer or a snapshot is told.
std::string no_picture_reason(const FeedFigures &figures, std::chrono::milliseconds waited) {
  if (!figures.error.empty())
    return figures.error;
  return "no picture from the camera within " + std::to_string(waited.count()) + " ms";
}

// The reason of an answer the library gave before any route ran.
std::string library_refusal(int status, const httplib::Request &request) {
  switch (status) {
  case 404:
    if (request.method != "GET" && request.method != "HEAD")
      return "nothing here takes " + request.method + ": " + request.path;
    return "no such page: " + request.path;
  case 413:
    return "the request's body is too large";
  case 414:
    return "the request's address is too long";
  default:
    return "the request could not be read (malformed, or a POST without a Content-Length)";
  }
}

// The listening socket's options. SO_REUSEADDR gives a restarted server its
// port back at once; the library's default SO_REUSEPORT is left out, since it
// would let a second server share the port unnoticed. The connections inherit
// the small send buffer: a slow viewer's backlog in the kernel stays a few
// pictures long, so that it is shown the newest picture, not an old queue.
void listening_socket_options(int socket) {
  const int yes = 1;
  const int send_buffer = kSendBuffer;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof(send_buffer));
}

} // namespace

// One MJPEG viewer: its slot among the viewers and its watch of the feed, held
// for as long as the library holds its content provider (the connection).
class WebServer::Viewer {
public:
  Viewer(WebServer &server, LiveFeed::Watch watch, std::shared_ptr<const LivePicture> first)
      : server_(server), watch_(std::move(watch)), pending_(std::move(first)) {}
  ~Viewer() { server_.viewer_gone(skipped_); }
  Viewer(const Viewer &) = delete;
  Viewer &operator=(const Viewer &) = delete;

  // Sends the next picture as one part; false ends the connection.
  bool send(httplib::DataSink &sink) {
    std::shared_ptr<const LivePicture> picture = std::move(pending_);
    if (!picture)
      picture = server_.wait_picture(sent_, std::chrono::hours(24));
    if (!picture)
      return false;
    if (sent_ > 0 && picture->number > sent_ + 1)
      skipped_ += picture->number - sent_ - 1;
    sent_ = picture->number;
    const std::string head =
        std::string("--") + kBoundary +
        "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(picture->jpeg.size()) +
        "\r\n\r\n";
    return sink.write(head.data(), head.size()) &&
           sink.write(reinterpret_cast<const char *>(picture->jpeg.data()), picture->jpeg.size()) &&
           sink.write("\r\n", 2);
  }

private:
  WebServer &server_;
  LiveFeed::Watch watch_;
  std::shared_ptr<const LivePicture> pending_;
  uint64_t sent_ = 0; // the number of the last picture sent
  uint64_t skipped_ = 0;
};

WebServer::WebServer(LiveFeed &feed, LiveControls &controls, const Settings &settings)
    : feed_(feed), controls_(controls), settings_(settings), server_(std::make_unique<httplib::Server>()) {}

WebServer::~WebServer() {
  stop();
}

bool WebServer::start(std::string *error) {
  const size_t threads = settings_.max_viewers + kSpareThreads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  const time_t timeout = settings_.io_timeout.count();
  server_->set_keep_alive_timeout(timeout);
  server_->set_read_timeout(timeout, 0);
  server_->set_write_timeout(timeout, 0);
  server_->set_payload_max_length(64 * 1024);
  server_->set_socket_options(listening_socket_options);
  add_routes();
  errno = 0;
  if (settings_.port == 0)
    port_ = server_->bind_to_any_port(settings_.host);
  else if (server_->bind_to_port(settings_.host, settings_.port))
    port_ = settings_.port;
  if (port_ <= 0) {
    // The library keeps no reason: bind's errno is it when it is one of
    // bind's own; a name that did not resolve leaves other values behind.
    const int reason = errno;
    const bool from_bind = reason == EADDRINUSE || reason == EACCES || reason == EADDRNOTAVAIL;
    *error = "cannot listen on " + settings_.host + ":" + std::to_string(settings_.port) + ": " +
             (from_bind ? std::strerror(reason) : "no such address on this machine");
    return false;
  }
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  // The library's stop() only stops a server that is running already.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(1ms);
  return true;
}

void WebServer::stop() {
  closing_.store(true);
  if (listener_.joinable()) {
    server_->stop();
    listener_.join();
  }
}

ViewerFigures WebServer::viewer_figures() const {
  std::lock_guard lock(mutex_);
  return figures_;
}

void WebServer::add_routes() {
  for (const WebFile &file : web_files()) {
    const std::string type = std::string(file.media_type) + "; charset=utf-8";
    server_->Get(file.path, [file, type](const httplib::Request &, httplib::Response &response) {
      response.set_content(reinterpret_cast<const char *>(file.data), file.size, type.c_str());
    });
  }
  server_->Get("/stream.mjpg", [this](const httplib::Request &, httplib::Response &r) { serve_stream(r); });
  server_->Get("/snapshot.jpg",
               [this](const httplib::Request &, httplib::Response &r) { serve_snapshot(r, false); });
  server_->Get("/snapshot.bmp",
               [this](const httplib::Request &, httplib::Response &r) { serve_snapshot(r, true); });
  server_->Get("/api/status", [this](const httplib::Request &, httplib::Response &r) { serve_status(r); });
  server_->Post("/api/zoom", [this](const httplib::Request &q, httplib::Response &r) { serve_zoom(q, r); });
  server_->Post("/api/focus", [this](const httplib::Request &, httplib::Response &r) { serve_focus(r); });
  server_->Post("/api/size", [this](const httplib::Request &q, httplib::Response &r) { serve_size(q, r); });
  server_->Get("/api/(zoom|focus|size)", [](const httplib::Request &request, httplib::Response &response) {
    response.set_header("Allow", "POST");
    reply(response, 405, request.path + " takes POST");
  });
  // Routing failures and library errors get a reason too.
  server_->set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request &request, httplib::Response &response) {
        if (!response.body.empty())
          return httplib::Server::HandlerResponse::Unhandled;
        reply(response, response.status, library_refusal(response.status, request));
        return httplib::Server::HandlerResponse::Handled;
      }));
}

// A picture newer than `after`, waited for in slices so that stop() ends the wait.
std::shared_ptr<const LivePicture> WebServer::wait_picture(uint64_t after, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!closing_.load() && std::chrono::steady_clock::now() < deadline) {
    if (auto picture = feed_.next_picture(after, kWaitSlice))
      return picture;
  }
  return nullptr;
}

bool WebServer::take_viewer_slot() {
  std::lock_guard lock(mutex_);
  if (figures_.viewers >= settings_.max_viewers) {
    figures_.refused_viewers++;
    return false;
  }
  figures_.viewers++;
  return true;
}

void WebServer::viewer_gone(uint64_t skipped) {
  std::lock_guard lock(mutex_);
  figures_.viewers--;
  figures_.skipped += skipped;
}

void WebServer::serve_stream(httplib::Response &response) {
  if (!take_viewer_slot()) {
    reply(response, 503, "at most " + std::to_string(settings_.max_viewers) + " viewers at once");
    return;
  }
  LiveFeed::Watch watch = feed_.watch();
  auto first = wait_picture(feed_.figures().frames, settings_.picture_wait);
  auto viewer = std::make_shared<Viewer>(*this, std::move(watch), first);
  if (!first) {
    reply(response, 503,
          closing_.load() ? "the server is stopping"
                          : no_picture_reason(feed_.figures(), settings_.picture_wait));
    return;
  }
  response.set_header("Cache-Control", "no-store");
  response.set_content_provider(std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
                                [viewer](size_t, httplib::DataSink &sink) { return viewer->send(sink); });
}

void WebServer::serve_snapshot(httplib::Response &response, bool bmp) {
  LiveFeed::Watch watch = feed_.watch();
  const auto picture = wait_picture(feed_.figures().frames, settings_.picture_wait);
  if (!picture) {
    reply(response, 503,
          closing_.load() ? "the server is stopping"
                          : no_picture_reason(feed_.figures(), settings_.picture_wait));
    return;
  }
  response.set_header("Cache-Control", "no-store");
  const std::string name = "dscam-" + std::to_string(picture->number) + (bmp ? ".bmp" : ".jpg");
  response.set_header("Content-Disposition", "inline; filename=\"" + name + "\"");
  if (bmp) {
    const std::vector<uint8_t> file = encode_bmp(picture->image());
    response.set_content(reinterpret_cast<const char *>(file.data()), file.size(), "image/bmp");
  } else {
    response.set_content(reinterpret_cast<const char *>(picture->jpeg.data()), picture->jpeg.size(),
                         "image/jpeg");
  }
}

void WebServer::serve_status(httplib::Response &response) {
  response.set_header("Cache-Control", "no-store");
  response.set_content(
      status_json(feed_.figures(), controls_.zoom(), controls_.focus_figures(), viewer_figures()),
      "application/json");
}

void WebServer::serve_zoom(const httplib::Request &request, httplib::Response &response) {
  std::string text;
  long value = 0;
  if (!request_value(request, &text) || !parse_long(text, &value)) {
    reply(response, 400, "the zoom needs a whole number: value=N");
    return;
  }
  const LiveControls::Outcome outcome = controls_.set_zoom(value);
  if (outcome.http_status != 200)
    reply(response, outcome.http_status, outcome.reason);
  else
    response.set_content("{\"requested\":" + std::to_string(value) + "}\n", "application/json");
}

void WebServer::serve_focus(httplib::Response &response) {
  const LiveControls::Outcome outcome = controls_.focus();
  if (outcome.http_status != 200)
    reply(response, outcome.http_status, outcome.reason);
  else
    response.set_content("{\"focus\":\"focused\"}\n", "application/json");
}

void WebServer::serve_size(const httplib::Request &request, httplib::Response &response) {
  std::string text;
  long width = 0, height = 0;
  if (!request_value(request, &text) || !parse_size(text, &width, &height)) {
    reply(response, 400, "the size needs WIDTHxHEIGHT: value=320x240 or value=160x120");
    return;
  }
  const NTSTATUS status = feed_.set_size(width, height);
  if (status == STATUS_NO_MATCH) {
    reply(response, 400, "the camera offers no " + text + " format (320x240 or 160x120)");
    return;
  }
  if (!NT_SUCCESS(status)) {
    reply(response, 502, "choosing the " + text + " format failed: " + status_text(status));
    return;
  }
  response.set_content("{\"size\":\"" + text + "\"}\n", "application/json");
}

} // namespace dscam
