// dscam serve under many viewers: the viewer limit, and a viewer that stops
// reading while others watch.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/serve/serve_test.h"

namespace {

using namespace std::chrono_literals;

// Waits up to 20 s for `condition`.
template <typename Condition> bool eventually(Condition condition) {
  for (int i = 0; i < 1000 && !condition(); ++i)
    std::this_thread::sleep_for(20ms);
  return condition();
}

// A viewer that asks for the stream and then reads nothing, on a socket with
// a small receive buffer so that the server's writes to it soon block.
class StalledViewer {
public:
  explicit StalledViewer(int port) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const int buffer = 4096;
    setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static const char kRequest[] = "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    connected_ = ::connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
                 ::send(socket_, kRequest, sizeof(kRequest) - 1, 0) == sizeof(kRequest) - 1;
  }
  ~StalledViewer() { hang_up(); }
  bool connected() const { return connected_; }
  // Reads again for `time`: the server's blocked write goes on.
  void read_for(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    char buffer[65536];
    timeval slice{0, 20000};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
    while (std::chrono::steady_clock::now() < end)
      (void)::recv(socket_, buffer, sizeof(buffer), 0);
  }
  void hang_up() {
    if (socket_ >= 0)
      ::close(socket_);
    socket_ = -1;
  }

private:
  int socket_;
  bool connected_ = false;
};

// Makes sure 16 viewers are served at once, each getting pictures, while a
// 17th is refused with 503 and a reason at once. Example failure: a 17th
// viewer queued behind busy connection threads, viewers that take turns
// instead of watching together.
TEST_F(ServeTest, SixteenViewersWatchAndASeventeenthIsRefused) {
  serve();
  std::atomic<unsigned> watching{0};
  std::atomic<bool> done{false};
  std::vector<size_t> got(16);
  std::vector<std::thread> viewers;
  for (size_t i = 0; i < got.size(); ++i) {
    viewers.emplace_back([&, i] {
      MjpegParts parts;
      client().Get("/stream.mjpg", [&](const char *data, size_t size) {
        const size_t before = parts.parts.size();
        if (parts.add(data, size) > 0 && before == 0)
          watching++;
        got[i] = parts.parts.size();
        return !done.load() || got[i] < 3;
      });
    });
  }
  ASSERT_TRUE(eventually([&] { return watching.load() == 16; }));
  EXPECT_EQ(server_->viewer_figures().viewers, 16u);
  int status = 0;
  std::string body;
  client().Get(
      "/stream.mjpg", [&](const httplib::Response &response) { return (status = response.status) != 200; },
      [&](const char *data, size_t size) { return body.append(data, size).size() < 100; });
  EXPECT_EQ(status, 503);
  EXPECT_EQ(body, "at most 16 viewers at once\n");
  done = true;
  for (std::thread &viewer : viewers)
    viewer.join();
  for (size_t parts : got)
    EXPECT_GE(parts, 3u);
  EXPECT_EQ(server_->viewer_figures().refused_viewers, 1u);
  EXPECT_TRUE(eventually([&] { return server_->viewer_figures().viewers == 0; }));
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
  StalledViewer stalled(server_->port());
  ASSERT_TRUE(stalled.connected());
  ASSERT_TRUE(eventually([&] { return server_->viewer_figures().viewers == 1; }));
  std::this_thread::sleep_for(1s); // its buffers fill up
  const uint64_t frames_before = feed_->figures().frames;
  MjpegParts parts;
  client().Get("/stream.mjpg", [&](const char *data, size_t size) { return parts.add(data, size) < 60; });
  EXPECT_EQ(parts.parts.size(), 60u);
  EXPECT_GE(feed_->figures().frames - frames_before, 60u);
  EXPECT_TRUE(eventually([&] { return server_->viewer_figures().viewers == 1; })); // the stalled one stays
  stalled.read_for(1s);
  stalled.hang_up();
  ASSERT_TRUE(eventually([&] { return server_->viewer_figures().viewers == 0; }));
  EXPECT_GT(server_->viewer_figures().skipped, 30u);
}

} // namespace
