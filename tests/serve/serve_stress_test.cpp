// dscam serve under many viewers: the viewer limit, and a viewer that stops
// reading while others watch.
#include <atomic>
#include <chrono>
#include <thread>

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
