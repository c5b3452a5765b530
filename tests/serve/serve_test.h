// The fixture of the serve tests: the live feed, the controls and the web
// server on the rig's started device, listening on a free loopback port, and
// what a client needs to read the MJPEG stream.
#pragma once

#include <memory>
#include <string>
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
