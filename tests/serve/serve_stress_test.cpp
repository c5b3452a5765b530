// dscam serve under many viewers: the viewer limit, and a viewer that stops
// reading while others watch. The viewers are plain sockets: the HTTP
// library's client is not built with ThreadSanitizer.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/serve/serve_test.h"

// The HTTP library is not built with ThreadSanitizer: the function-local
// statics it builds on the first connection thread are read on the others
// after a guard check the sanitizer cannot see. Its own calls of intercepted
// functions (memcmp on those statics) are left unchecked; this system's code,
// the handlers the library calls included, is checked as everywhere.
extern "C" const char *__tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}

namespace {

using namespace std::chrono_literals;

// A viewer of /stream.mjpg on a socket; `receive_buffer` > 0 makes its
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

// Makes sure 16 viewers are served at once, each getting pictures, while a
// 17th is refused with 503 and a reason at once. Example failure: a 17th
// viewer queued behind busy connection threads, viewers that take turns
// instead of watching together.
TEST_F(ServeTest, SixteenViewersWatchAndASeventeenthIsRefused) {
  serve();
  std::atomic<bool> done{false};
  std::atomic<unsigned> watched{0}; // viewers that got 3 pictures
  std::vector<std::unique_ptr<Viewer>> viewers;
  std::vector<std::thread> readers;
  for (int i = 0; i < 16; ++i) {
    viewers.push_back(std::make_unique<Viewer>(server_->port()));
    readers.emplace_back([&done, &watched, viewer = viewers.back().get()] {
      for (bool counted = false; !done.load();) {
        viewer->read(100ms);
        if (!counted && viewer->parts.parts.size() >= 3) {
          counted = true;
          watched++;
        }
      }
    });
  }
  EXPECT_TRUE(rig::wait_until([&] { return server_->viewer_figures().viewers == 16; }, 20s));
  Viewer refused(server_->port());
  refused.read(10s);
  EXPECT_EQ(refused.text.rfind("HTTP/1.1 503 ", 0), 0u) << refused.text;
  EXPECT_NE(refused.text.find("\r\n\r\nat most 16 viewers at once\n"), std::string::npos) << refused.text;
  EXPECT_TRUE(rig::wait_until([&] { return watched.load() == 16; }, 20s));
  done = true;
  for (std::thread &reader : readers)
    reader.join();
  EXPECT_EQ(server_->viewer_figures().refused_viewers, 1u);
  viewers.clear();
  EXPECT_TRUE(rig::wait_until([&] { return server_->viewer_figures().viewers == 0; }, 20s));
}

// Makes sure a viewer that stops reading holds up no other viewer: while it
// stays connected (a long write time limit) another gets two seconds of
// pictures; when it reads again it is sent the latest picture, the ones it
// missed counted as skipped; once it hangs up it is let go. Example failure:
// viewers sent to one after the other, a picture handed out under a lock a
// blocked write holds, a slow viewer sent every old picture in turn.
TEST_F(ServeTest, AViewerThatStopsReadingDoesNotStallTheOthers) {
  dscam::WebServer::Settings settings;
  settings.io_timeout = std::chrono::seconds(60);
  serve(settings);
  Viewer stalled(server_->port(), 4096);
  ASSERT_TRUE(stalled.connected());
  ASSERT_TRUE(rig::wait_until([&] { return server_->viewer_figures().viewers == 1; }, 20s));
  std::this_thread::sleep_for(1s); // its buffers fill up
  const uint64_t frames_before = feed_->figures().frames;
  {
    Viewer watching(server_->port());
    watching.read(20s, 60);
    EXPECT_EQ(watching.parts.parts.size(), 60u);
  }
  EXPECT_GE(feed_->figures().frames - frames_before, 60u);
  // The stalled one stays.
  EXPECT_TRUE(rig::wait_until([&] { return server_->viewer_figures().viewers == 1; }, 20s));
  stalled.read(1s);
  stalled.hang_up();
  ASSERT_TRUE(rig::wait_until([&] { return server_->viewer_figures().viewers == 0; }, 20s));
  EXPECT_GT(server_->viewer_figures().skipped, 30u);
}

} // namespace
