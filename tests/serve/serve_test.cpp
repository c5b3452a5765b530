// dscam serve in process over HTTP: the MJPEG stream and snapshots, the pin
// opened only while watched, zoom and focus reaching the camera, and bad
// requests answered with a reason.
#include <chrono>
#include <tuple>

#include "tests/serve/serve_test.h"
#include "tests/support/pictures.h"

namespace {

using namespace std::chrono_literals;

constexpr const char *kForm = "application/x-www-form-urlencoded";

// The signed 32-bit little-endian field at `at`.
int32_t le32(const std::string &bytes, size_t at) {
  return static_cast<int32_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
                              static_cast<uint8_t>(bytes[at + 2]) << 16 |
                              static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24);
}

// Makes sure the stream's parts are whole JPEG pictures of the size asked for,
// at both sizes, that /snapshot.bmp is the frame as delivered, and that the
// pin is open only while someone watches, the device staying started.
// Example failure: a part cut short or of the old size after a size change, a
// pin left open after the last viewer went.
TEST_F(ServeTest, StreamPartsAreJpegsOfTheFrameSizeWhileWatched) {
  serve();
  EXPECT_FALSE(feed_->figures().streaming);
  for (const auto &[size, width, height] :
       {std::tuple{"320x240", 320, 240}, std::tuple{"160x120", 160, 120}}) {
    SCOPED_TRACE(size);
    auto size_set = client().Post("/api/size", std::string("value=") + size, kForm);
    ASSERT_TRUE(size_set && size_set->status == 200);
    Viewer viewer(server_->port());
    viewer.read(10s, 4);
    EXPECT_EQ(viewer.text.rfind("HTTP/1.1 200 ", 0), 0u) << viewer.text.substr(0, 200);
    EXPECT_NE(viewer.text.find("Content-Type: multipart/x-mixed-replace; boundary=dscamframe\r\n"),
              std::string::npos);
    ASSERT_EQ(viewer.parts.parts.size(), 4u);
    viewer.hang_up();
    for (const std::vector<uint8_t> &jpeg : viewer.parts.parts) {
      const rig::Decoded decoded = rig::reference_decode(jpeg, false);
      EXPECT_TRUE(decoded.ok);
      EXPECT_EQ(decoded.width, width);
      EXPECT_EQ(decoded.height, height);
    }
    auto bmp = client().Get("/snapshot.bmp");
    ASSERT_TRUE(bmp && bmp->status == 200);
    ASSERT_EQ(bmp->body.size(), 54u + static_cast<size_t>(width * height * 3));
    EXPECT_EQ(bmp->body.substr(0, 2), "BM");
    EXPECT_EQ(le32(bmp->body, 18), width);
    EXPECT_EQ(le32(bmp->body, 22), height); // bottom-up, as delivered
  }
  EXPECT_TRUE(rig::wait_until([&] { return !feed_->figures().streaming; }, 5s));
  EXPECT_TRUE(rig_.adapter().started());
  EXPECT_FALSE(rig_.adapter().removed());
  EXPECT_EQ(feed_->figures().failed_reads, 0u);
}

// Makes sure a burst of zoom requests (form and JSON bodies) moves the camera
// once, to the last value, that the status then shows the camera's reading,
// and that the auto focus runs on the camera. Example failure: every request
// sent on to the camera, a reading reported before the camera moved.
TEST_F(ServeTest, ZoomOverHttpReachesTheCameraOncePerBurst) {
  serve();
  const uint64_t sets_before = rig_.camera().snapshot().counters.zoom_sets;
  auto c = client();
  for (int value : {55, 60, 65, 70, 75}) {
    auto answer = c.Post("/api/zoom", "value=" + std::to_string(value), kForm);
    ASSERT_TRUE(answer && answer->status == 200);
  }
  auto last = c.Post("/api/zoom", R"({"value": 80})", "application/json");
  ASSERT_TRUE(last && last->status == 200);
  EXPECT_TRUE(rig::wait_until(
      [&] {
        auto status = c.Get("/api/status");
        return status && status->body.find(R"("requested":80,"camera":80)") != std::string::npos;
      },
      5s));
  EXPECT_EQ(rig_.camera().snapshot().counters.zoom_sets - sets_before, 1u);
  EXPECT_EQ(rig_.camera().snapshot().zoom, 80u);

  auto focus = c.Post("/api/focus", "", kForm);
  ASSERT_TRUE(focus && focus->status == 200);
  EXPECT_TRUE(rig_.camera().snapshot().focused);
  EXPECT_NE(c.Get("/api/status")->body.find(R"("focus":{"state":"focused","runs":1)"), std::string::npos);
}

// Makes sure requests the server cannot serve get a 4xx with the reason, and
// reach neither the camera nor the server's health. Example failure: zoom 101
// passed to the driver (which would accept it and move nothing), a crash on a
// cut-off JSON body, an empty 404.
TEST_F(ServeTest, BadRequestsAreAnsweredWithAReason) {
  struct BadRequest {
    const char *method;
    const char *path;
    const char *body;
    const char *type;
    int status;
    const char *reason;
  };
  const BadRequest kRequests[] = {
      {"POST", "/api/zoom", "value=101", kForm, 400, "zoom 101 is outside 0..100"},
      {"POST", "/api/zoom", "value=-1", kForm, 400, "zoom -1 is outside 0..100"},
      {"POST", "/api/zoom", "value=eighty", kForm, 400, "the zoom needs a whole number"},
      {"POST", "/api/zoom", "", kForm, 400, "the zoom needs a whole number"},
      {"POST", "/api/zoom", R"({"value": 101})", "application/json", 400, "zoom 101 is outside"},
      {"POST", "/api/zoom", R"({"value": )", "application/json", 400, "the zoom needs a whole number"},
      {"POST", "/api/size", "value=640x480", kForm, 400, "the camera offers no 640x480 format"},
      {"POST", "/api/size", "value=large", kForm, 400, "the size needs WIDTHxHEIGHT"},
      {"GET", "/api/zoom", nullptr, nullptr, 405, "/api/zoom takes POST"},
      {"GET", "/no/such/page", nullptr, nullptr, 404, "no such page: /no/such/page"},
  };
  serve();
  auto c = client();
  for (const BadRequest &bad : kRequests) {
    SCOPED_TRACE(std::string(bad.method) + " " + bad.path + " " + (bad.body ? bad.body : ""));
    auto answer = bad.body != nullptr ? c.Post(bad.path, bad.body, bad.type) : c.Get(bad.path);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, bad.status);
    EXPECT_NE(answer->body.find(bad.reason), std::string::npos) << answer->body;
  }
  EXPECT_EQ(rig_.camera().snapshot().counters.zoom_sets, 0u);
  auto status = c.Get("/api/status");
  ASSERT_TRUE(status && status->status == 200);
  EXPECT_NE(status->body.find(R"("size":"320x240")"), std::string::npos);
}

} // namespace
