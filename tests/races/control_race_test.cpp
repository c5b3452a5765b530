// Races of the camera controls (the deferred zoom change, the auto focus
// exchange) against the stream's close and the device's removal.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/kernel/control.h"
#include "tests/races/race_fixture.h"

using namespace std::chrono_literals;

namespace {

// Whether the driver is built with its camera controls; without them every
// control request ends with STATUS_NOT_IMPLEMENTED.
#if __has_include("controls/controls.h")
constexpr bool kControlsServed = true;
#else
constexpr bool kControlsServed = false;
#endif

// Statuses a control request may truthfully end with here: done, refused (a
// camera exchange that failed), or not served by this driver.
bool control_status_ok(NTSTATUS status) {
  if (kControlsServed)
    return status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER;
  return status == STATUS_NOT_IMPLEMENTED;
}

// A request racing the removal may also be refused by the host, the device
// being removed or gone.
bool racing_removal_ok(NTSTATUS status) {
  return control_status_ok(status) || status == STATUS_INVALID_DEVICE_STATE ||
         status == STATUS_DEVICE_REMOVED;
}

// A zoom Set is taken at once while the device is there.
NTSTATUS expected_zoom_set() {
  return kControlsServed ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
}

} // namespace

// Makes sure closing the stream and removing the device while a zoom change
// is pending in its work item (waiting out its half second, or applying the
// zoom to the camera) and an auto focus runs on another thread ends with the
// work item finished and freed, every request completed once and the transfer
// thread stopped. The removal comes at times before, around and after the
// moment the work item applies the zoom. Catches a work item that outlives the
// device extension it points at (AddressSanitizer: use after free), a zoom
// exchange and the close both stopping or starting the transfer thread, a work
// item leaked or left queued, and a focus exchange left waiting.
TEST_F(RaceTest, CloseAndRemovalAgainstZoomWorkItemAndFocus) {
  const std::chrono::milliseconds removal_after[] = {0ms, 60ms, 300ms, 470ms, 500ms, 530ms, 700ms};
  for (std::chrono::milliseconds delay : removal_after) {
    SCOPED_TRACE("removal after " + std::to_string(delay.count()) + " ms");
    ASSERT_NO_FATAL_FAILURE(start(stepped_camera(fast_camera())));
    ASSERT_NO_FATAL_FAILURE(open_running());
    std::unique_ptr<streamclass::FrameBuffer> read;
    ASSERT_EQ(pin_->submit(320 * 240 * 3, read), STATUS_PENDING);

    EXPECT_EQ(races::control_set_zoom(rig_->adapter(), 70), expected_zoom_set());
    std::atomic<NTSTATUS> focus{STATUS_PENDING};
    std::thread focuser([&] { focus = races::control_focus_auto(rig_->adapter()); });
    std::this_thread::sleep_for(delay);
    std::thread closer([&] { pin_->close(); });
    std::this_thread::sleep_for(delay / 10);
    rig_->remove(streamclass::RemovalKind::Orderly);
    closer.join();
    focuser.join();
    EXPECT_TRUE(racing_removal_ok(focus.load())) << std::hex << focus.load();
    ASSERT_TRUE(read->wait(10s));
    EXPECT_EQ(read->request().completions(), 1);
    read.reset();
    ASSERT_NO_FATAL_FAILURE(end_round());
  }
}

// Makes sure a burst of zoom changes from several threads, with gets of the
// zoom between them, while frames flow, ends with the work item gone and the
// last value applied once the burst is over; then a surprise removal. Catches
// a second work item queued while one is pending (a leak of pool tag "Wdm "),
// a change lost between the work item's timeout and its exit, and a get of
// the zoom and the work item's exchange interleaving on the camera.
TEST_F(RaceTest, ZoomBurstFromSeveralThreadsWhileFramesFlow) {
  ASSERT_NO_FATAL_FAILURE(start(stepped_camera(fast_camera())));
  ASSERT_NO_FATAL_FAILURE(open_running());
  std::atomic<bool> go{true};
  std::unique_ptr<streamclass::FrameBuffer> reads[2];
  std::thread reader([&] {
    while (go) {
      for (auto &read : reads)
        pin_->submit(320 * 240 * 3, read);
      for (auto &read : reads)
        if (read)
          read->wait(10s);
    }
  });
  std::vector<std::thread> setters;
  for (int t = 0; t < 3; ++t) {
    setters.emplace_back([&, t] {
      RaceBudget budget(60, 2s);
      while (budget.next()) {
        EXPECT_EQ(races::control_set_zoom(rig_->adapter(), 10 + t * 20 + budget.done() % 7),
                  expected_zoom_set());
        if (budget.done() % 10 == 0) {
          LONG value = 0;
          EXPECT_TRUE(control_status_ok(races::control_get_zoom(rig_->adapter(), &value)));
        }
        std::this_thread::sleep_for(2ms);
      }
    });
  }
  for (std::thread &setter : setters)
    setter.join();
  // The burst is over: the change is applied 0.5 s later and the item ends.
  EXPECT_TRUE(platform::work_queues_wait_idle(5s));
  go = false;
  reader.join();
  rig_->unplug();
  rig_->remove(streamclass::RemovalKind::Surprise);
  for (auto &read : reads) {
    if (read) {
      EXPECT_TRUE(read->wait(10s));
    }
  }
}
