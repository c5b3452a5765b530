// The dscamsrc element in a pipeline, as an application runs it: its frames
// against the reference decode of the camera's pictures, the size downstream
// asks for, a zoom changed while playing, an unplugged camera, and stopping and
// playing again. The fixture's end checks (the host's accounting, the pool,
// threads, work items) run after every test and after every round.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "tests/support/pictures.h"
#include "tests/support/rig_test.h"
#include "tools/gstdscam/dscam_src.h"

// GStreamer hands each buffer from the streaming thread to the appsink's reader
// under locks of its own, which ThreadSanitizer cannot see (GLib is not built
// with it): the source pad's probe and the pull tell it of the hand-off.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
#define BUFFER_SENT(buffer) __tsan_release(buffer)
#define BUFFER_RECEIVED(buffer) __tsan_acquire(buffer)
#endif
#endif
#ifndef BUFFER_SENT
#define BUFFER_SENT(buffer) (void)(buffer)
#define BUFFER_RECEIVED(buffer) (void)(buffer)
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// GStreamer with the two elements the tests use registered statically and no
// plugin loaded from the system: the tests see only this build's code.
void init_gstreamer() {
  static const bool done = [] {
    const std::string registry =
        (fs::temp_directory_path() / ("dscam-gst-" + std::to_string(::getpid()))).string();
    setenv("GST_REGISTRY_1_0", registry.c_str(), 1);
    setenv("GST_PLUGIN_SYSTEM_PATH_1_0", "", 1);
    setenv("GST_PLUGIN_PATH_1_0", "", 1);
    gst_registry_fork_set_enabled(FALSE);
    gst_init(nullptr, nullptr);
    std::error_code ec;
    fs::remove(registry, ec);
    return dscam_src_register(nullptr) &&
           gst_element_register(nullptr, "appsink", GST_RANK_NONE, GST_TYPE_APP_SINK);
  }();
  ASSERT_TRUE(done);
}

// dscamsrc ! appsink, the sink asking for `caps`.
class Pipeline {
public:
  explicit Pipeline(const char *caps = "video/x-raw") {
    pipeline_ = gst_pipeline_new(nullptr);
    src_ = gst_element_factory_make("dscamsrc", nullptr);
    sink_ = gst_element_factory_make("appsink", nullptr);
    GstCaps *sink_caps = gst_caps_from_string(caps);
    g_object_set(sink_, "caps", sink_caps, "sync", FALSE, nullptr);
    gst_caps_unref(sink_caps);
    gst_bin_add_many(GST_BIN(pipeline_), src_, sink_, nullptr);
    gst_element_link(src_, sink_);
    GstPad *pad = gst_element_get_static_pad(src_, "src");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad *, GstPadProbeInfo *info, gpointer) {
          BUFFER_SENT(GST_PAD_PROBE_INFO_BUFFER(info));
          return GST_PAD_PROBE_OK;
        },
        nullptr, nullptr);
    gst_object_unref(pad);
  }
  ~Pipeline() {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(pipeline_);
  }
  GstElement *src() const { return src_; }
  GstElement *sink() const { return sink_; }
  GstStateChangeReturn set_state(GstState state) {
    GstStateChangeReturn result = gst_element_set_state(pipeline_, state);
    return result == GST_STATE_CHANGE_ASYNC
               ? gst_element_get_state(pipeline_, nullptr, nullptr, 10 * GST_SECOND)
               : result;
  }
  // The next sample (NULL after 10 s without one); the caller unrefs it.
  GstSample *pull() {
    GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), 10 * GST_SECOND);
    if (sample != nullptr)
      BUFFER_RECEIVED(gst_sample_get_buffer(sample));
    return sample;
  }
  // The text of the first error on the bus within `seconds` ("" when none).
  std::string error(int seconds) {
    GstBus *bus = gst_element_get_bus(pipeline_);
    GstMessage *message = gst_bus_timed_pop_filtered(bus, seconds * GST_SECOND, GST_MESSAGE_ERROR);
    std::string text;
    if (message != nullptr) {
      GError *error = nullptr;
      gst_message_parse_error(message, &error, nullptr);
      text = error->message;
      g_error_free(error);
      gst_message_unref(message);
    }
    gst_object_unref(bus);
    return text;
  }

private:
  GstElement *pipeline_;
  GstElement *src_;
  GstElement *sink_;
};

class DscamSrcTest : public RigTest {
protected:
  void SetUp() override {
    RigTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(init_gstreamer());
    folder_ = fs::temp_directory_path() / ("dscam-gst-test-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
    RigTest::TearDown();
  }

  // Three different pictures in the test's folder, which the camera plays in
  // this order; returns them.
  std::vector<std::vector<uint8_t>> write_pictures() {
    std::vector<std::vector<uint8_t>> pictures;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      rig::PictureOptions options;
      options.seed = seed;
      pictures.push_back(rig::make_picture(options));
      std::ofstream(folder_ / ("p" + std::to_string(seed) + ".jpg"), std::ios::binary)
          .write(reinterpret_cast<const char *>(pictures.back().data()),
                 static_cast<std::streamsize>(pictures.back().size()));
    }
    return pictures;
  }

  // The transfer thread's starts: one at the open, one after each camera command.
  size_t thread_starts() const { return log_count("VELTRA_ProcessTransferThread Started\n"); }
  void pull_until_thread_starts(Pipeline &pipeline, size_t starts) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (thread_starts() < starts && Clock::now() < deadline)
      gst_sample_unref(pipeline.pull());
  }

  fs::path folder_;
};

// Makes sure every frame reaches the application whole, in order, with its
// caps, its time stamp and its number, at the size downstream asked for.
// Example failure: rows bottom-up, a frame of the other size, offsets that
// skip, times that go back.
TEST_F(DscamSrcTest, FramesAreTheDriversFramesAtTheNegotiatedSize) {
  const std::vector<std::vector<uint8_t>> pictures = write_pictures();
  const struct {
    const char *caps;
    int width, height;
    int frames;
  } kRows[] = {{"video/x-raw", 320, 240, 30}, {"video/x-raw,width=160,height=120", 160, 120, 5}};
  for (const auto &row : kRows) {
    SCOPED_TRACE(row.caps);
    Pipeline pipeline(row.caps);
    g_object_set(pipeline.src(), "pictures", folder_.c_str(), "camera-fps", 0.0, nullptr);
    ASSERT_EQ(pipeline.set_state(GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
    GstClockTime last = 0;
    for (int i = 0; i < row.frames; ++i) {
      GstSample *sample = pipeline.pull();
      ASSERT_NE(sample, nullptr) << "frame " << i + 1 << ": " << pipeline.error(0);
      GstVideoInfo info;
      ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
      EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_BGR);
      EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), row.width);
      EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), row.height);
      EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&info), 15);
      GstBuffer *buffer = gst_sample_get_buffer(sample);
      EXPECT_EQ(GST_BUFFER_OFFSET(buffer), static_cast<guint64>(i + 1));
      EXPECT_EQ(GST_BUFFER_OFFSET_END(buffer), static_cast<guint64>(i + 2));
      EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT), i == 0) << "frame " << i + 1;
      EXPECT_EQ(GST_BUFFER_DURATION(buffer), 666'666u * 100);
      ASSERT_TRUE(GST_BUFFER_PTS_IS_VALID(buffer));
      if (i > 0) {
        EXPECT_GT(GST_BUFFER_PTS(buffer), last) << "frame " << i + 1;
      }
      last = GST_BUFFER_PTS(buffer);
      const std::vector<uint8_t> expected = rig::reference_frame(pictures[i % 3], row.width == 160, true);
      GstMapInfo map;
      ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
      EXPECT_TRUE(map.size == expected.size() && std::equal(expected.begin(), expected.end(), map.data))
          << "frame " << i + 1 << " is not the driver's frame of picture " << i % 3 + 1;
      gst_buffer_unmap(buffer, &map);
      gst_sample_unref(sample);
    }
    guint64 dropped = 1;
    g_object_get(pipeline.src(), "frames-dropped", &dropped, nullptr);
    EXPECT_EQ(dropped, 0u);
  }
}

// Makes sure a zoom set while playing goes through the driver's zoom property
// and reaches the camera once (one camera command, which stops and restarts
// the transfer thread once), and that the auto-focus action runs one focus.
// Example failure: the zoom ignored while playing, or sent again with every
// frame; the action returning before the camera focused.
TEST_F(DscamSrcTest, ControlsWhilePlayingReachTheCameraOnce) {
  Pipeline pipeline;
  g_object_set(pipeline.src(), "camera-fps", 0.0, nullptr);
  ASSERT_EQ(pipeline.set_state(GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  gst_sample_unref(pipeline.pull());
  EXPECT_EQ(thread_starts(), 1u);
  g_object_set(pipeline.src(), "zoom", 80, nullptr);
  pull_until_thread_starts(pipeline, 2);
  // Frames go on after the change; the driver sends nothing more.
  for (int i = 0; i < 10; ++i)
    gst_sample_unref(pipeline.pull());
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(thread_starts(), 2u);
  EXPECT_EQ(log_count("SetCameraControlProperty 00000003 \n"), 1u);
  int zoom = 0;
  g_object_get(pipeline.src(), "zoom", &zoom, nullptr);
  EXPECT_EQ(zoom, 80);

  gboolean focused = FALSE;
  g_signal_emit_by_name(pipeline.src(), "auto-focus", &focused);
  EXPECT_TRUE(focused);
  pull_until_thread_starts(pipeline, 3);
  EXPECT_EQ(thread_starts(), 3u);
}

// Makes sure frames lost on the way are counted and the next frame pushed
// starts a discontinuity, its number showing the gap. Example failure: a gap
// without DISCONT, so that downstream takes the next frame as contiguous.
TEST_F(DscamSrcTest, LostFramesAreCountedAndStartADiscontinuity) {
  Pipeline pipeline;
  g_object_set(pipeline.src(), "camera-fps", 0.0, nullptr);
  // A sink that holds one sample and blocks the element while it is not taken.
  g_object_set(pipeline.sink(), "max-buffers", 1u, "drop", FALSE, nullptr);
  ASSERT_EQ(pipeline.set_state(GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  guint64 previous = 0;
  int gaps = 0;
  for (int i = 0; i < 10; ++i) {
    GstSample *sample = pipeline.pull();
    ASSERT_NE(sample, nullptr);
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    const bool discont = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    if (i > 0) {
      EXPECT_EQ(discont, GST_BUFFER_OFFSET(buffer) > previous + 1) << "frame " << GST_BUFFER_OFFSET(buffer);
      gaps += discont ? 1 : 0;
    }
    previous = GST_BUFFER_OFFSET(buffer);
    gst_sample_unref(sample);
  }
  EXPECT_GE(gaps, 1);
  guint64 dropped = 0;
  g_object_get(pipeline.src(), "frames-dropped", &dropped, nullptr);
  EXPECT_GT(dropped, 0u);
}

// Makes sure an unplugged camera ends the stream with an error that says so,
// and the pipeline stops. Example failure: the stream waits for the watchdog
// and blames a silent camera, or hangs.
TEST_F(DscamSrcTest, UnpluggedCameraPostsAnErrorAndThePipelineStops) {
  Pipeline pipeline;
  g_object_set(pipeline.src(), "camera-fps", 0.0, "fault", "disconnect@5", nullptr);
  ASSERT_EQ(pipeline.set_state(GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(pipeline.error(5), "the camera was disconnected");
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(pipeline.set_state(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
  EXPECT_LT(Clock::now() - start, rig::teardown_limit());
}

// Makes sure stopping ends a create that waits for the camera at once (unlock),
// closes the pin and removes the device with nothing left over, and that the
// element plays again afterwards. Example failure: NULL waits for the next
// picture or the watchdog; a second PLAYING finds the device still there.
TEST_F(DscamSrcTest, PlayingToNullAndBackTwiceLeavesNothingBehind) {
  Pipeline pipeline;
  // One picture every 5 s: after the first frame, create waits.
  g_object_set(pipeline.src(), "camera-fps", 0.2, nullptr);
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(pipeline.set_state(GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
    GstSample *sample = pipeline.pull();
    ASSERT_NE(sample, nullptr) << pipeline.error(0);
    gst_sample_unref(sample);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(pipeline.set_state(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    end_round("after round " + std::to_string(round));
  }
}

} // namespace
