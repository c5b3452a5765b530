// The fixture of the serve tests: the live feed, the controls and the web
// server on the rig's started device, listening on a free loopback port, and
// what a client needs to read the MJPEG stream.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <httplib.h>

#include "tests/support/rig_test.h"
#include "tools/dscam/serve/live_controls.h"
#include "tools/dscam/serve/live_feed.h"
#include "tools/dscam/serve/web_server.h"

class ServeTest : public RigTest {
protected:
  // The fast camera at 30 pictures a second, the feed, the controls and the
  // server on a free port.
  void serve(dscam::WebServer::Settings settings = {}) {
    emu::CameraConfig config = rig::fast_camera();
    config.fps = 30;
    start_camera(config);
    feed_ = std::make_unique<dscam::LiveFeed>(rig_.adapter(), dscam::LiveFeed::Settings{});
    controls_ = std::make_unique<dscam::LiveControls>(rig_.adapter(), *feed_);
    settings.port = 0;
    server_ = std::make_unique<dscam::WebServer>(*feed_, *controls_, settings);
    feed_->start();
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
  }
  void release() override {
    server_.reset();
    controls_.reset();
    feed_.reset();
  }
  httplib::Client client() const {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_read_timeout(10, 0);
    return client;
  }

  std::unique_ptr<dscam::LiveFeed> feed_;
  std::unique_ptr<dscam::LiveControls> controls_;
  std::unique_ptr<dscam::WebServer> server_;
};

// Cuts an MJPEG byte stream into the JPEG parts it holds whole; the bytes of
// a part not yet complete stay for the next call.
class MjpegParts {
public:
  // Adds bytes; returns the number of whole parts so far.
  size_t add(const char *data, size_t size) {
    pending_.append(data, size);
    for (;;) {
      const size_t head_end = pending_.find("\r\n\r\n");
      const size_t length_at = pending_.find("Content-Length: ");
      if (head_end == std::string::npos || length_at == std::string::npos || length_at > head_end)
        break;
      const size_t length = std::stoul(pending_.substr(length_at + 16));
      if (pending_.size() < head_end + 4 + length + 2)
        break;
      parts.emplace_back(pending_.begin() + static_cast<std::ptrdiff_t>(head_end + 4),
                         pending_.begin() + static_cast<std::ptrdiff_t>(head_end + 4 + length));
      pending_.erase(0, head_end + 4 + length + 2);
    }
    return parts.size();
  }
  std::vector<std::vector<uint8_t>> parts;

private:
  std::string pending_;
};

// A viewer of /stream.mjpg on a plain socket (the HTTP library's client is
// not built with ThreadSanitizer); `receive_buffer` > 0 makes its
// receive buffer that small, so that the server's writes to it soon block
// when it stops reading.
class Viewer {
public:
  explicit Viewer(int port, int receive_buffer = 0) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receive_buffer > 0)
      setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
    const timeval slice{0, 20000};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static const char kRequest[] =
        "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    connected_ = ::connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
                 ::send(socket_, kRequest, sizeof(kRequest) - 1, 0) == sizeof(kRequest) - 1;
  }
  ~Viewer() { hang_up(); }
  bool connected() const { return connected_; }
  // Reads for at most `time`, until `parts` holds `count` whole parts or the
  // server has ended the answer; `text` keeps all of it.
  void read(std::chrono::milliseconds time, size_t count = SIZE_MAX) {
    const auto end = std::chrono::steady_clock::now() + time;
    char buffer[65536];
    while (std::chrono::steady_clock::now() < end && parts.parts.size() < count) {
      const ssize_t got = ::recv(socket_, buffer, sizeof(buffer), 0);
      if (got == 0)
        return;
      if (got > 0)
        text.append(buffer, static_cast<size_t>(got));
      const size_t head_end = text.find("\r\n\r\n");
      if (head_end == std::string::npos)
        continue;
      fed_ = std::max(fed_, head_end + 4); // the parts start after the answer's head
      parts.add(text.data() + fed_, text.size() - fed_);
      fed_ = text.size();
    }
  }
  void hang_up() {
    if (socket_ >= 0)
      ::close(socket_);
    socket_ = -1;
  }
  std::string text;
  MjpegParts parts;

private:
  int socket_;
  size_t fed_ = 0; // bytes of text given to parts
  bool connected_ = false;
};
