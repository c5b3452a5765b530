// Races of the camera controls (the deferred zoom change, the auto focus
// exchange, zoom Gets) against each other, the transfer thread, the stream's
// open and close, and the device's removal.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/kernel/control.h"
#include "tests/races/race_test.h"

using namespace std::chrono_literals;

namespace {

// Statuses of a control request racing the removal: done, refused (a failed
// exchange), or refused by the host.
bool racing_removal_ok(NTSTATUS status) {
  return status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER ||
         status == STATUS_INVALID_DEVICE_STATE || status == STATUS_DEVICE_REMOVED;
}

} // namespace

// Makes sure close and removal racing a pending or running zoom change and a focus end with all completed,
// a change before its half second given up. Catches a work item outliving the device, the camera lock taken
// after the thread was stopped (a command and the close both stopping or starting it).
TEST_F(RaceTest, CloseAndRemovalAgainstZoomWorkItemAndFocus) {
  struct Round {
    std::chrono::milliseconds removal_after;
    streamclass::RemovalKind kind;
  };
  const Round rounds[] = {
      {0ms, streamclass::RemovalKind::Orderly},   {60ms, streamclass::RemovalKind::Surprise},
      {300ms, streamclass::RemovalKind::Orderly}, {470ms, streamclass::RemovalKind::Surprise},
      {500ms, streamclass::RemovalKind::Orderly}, {530ms, streamclass::RemovalKind::Surprise},
      {700ms, streamclass::RemovalKind::Orderly}};
  for (const Round &round : rounds) {
    SCOPED_TRACE("removal after " + std::to_string(round.removal_after.count()) + " ms");
    ASSERT_NO_FATAL_FAILURE(start_camera());
    ASSERT_EQ(rig_.open_pin(320, 240), STATUS_SUCCESS);
    std::unique_ptr<streamclass::FrameBuffer> read;
    ASSERT_EQ(rig_.pin().submit(rig_.image_bytes(), read), STATUS_PENDING);
    EXPECT_EQ(rig::set_zoom(rig_.adapter(), 70), STATUS_SUCCESS);
    std::atomic<NTSTATUS> focus{STATUS_PENDING};
    std::thread focuser([&] { focus = rig::focus_auto(rig_.adapter()); });
    std::this_thread::sleep_for(round.removal_after);
    std::thread closer([&] { rig_.pin().close(); });
    std::this_thread::sleep_for(round.removal_after / 10);
    EXPECT_EQ(rig_.remove(round.kind), STATUS_SUCCESS);
    closer.join();
    focuser.join();
    EXPECT_TRUE(racing_removal_ok(focus.load())) << std::hex << focus.load();
    ASSERT_TRUE(read->wait(10s));
    EXPECT_EQ(read->request().completions(), 1);
    const uint64_t most = round.removal_after < 100ms ? 0 : 1; // a removal well before the delay gives it up
    EXPECT_LE(rig_.camera().snapshot().counters.zoom_sets, most);
    read.reset();
    end_round();
  }
}

// Makes sure a zoom burst from several threads with Gets while frames flow moves the camera once, to the last
// value, half a second on. Catches a timer not restarted, a second work item, a lost change.
TEST_F(RaceTest, ZoomBurstFromSeveralThreadsWhileFramesFlow) {
  ASSERT_NO_FATAL_FAILURE(start_streaming(320, 240, 2));
  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> sets; // when each Set returned
  std::vector<std::thread> setters;
  for (int t = 0; t < 3; ++t) {
    setters.emplace_back([&, t] {
      RaceBudget budget(60, 2s);
      while (budget.next()) {
        EXPECT_EQ(rig::set_zoom(rig_.adapter(), 10 + t * 20 + budget.done() % 7), STATUS_SUCCESS);
        {
          std::lock_guard lock(mutex);
          sets.push_back(std::chrono::steady_clock::now());
        }
        LONG value = 0;
        if (budget.done() % 10 == 0) {
          EXPECT_EQ(rig::get_zoom(rig_.adapter(), &value), STATUS_SUCCESS);
        }
        std::this_thread::sleep_for(2ms);
      }
    });
  }
  for (std::thread &setter : setters)
    setter.join();
  std::sort(sets.begin(), sets.end());
  std::chrono::steady_clock::duration gap{0}; // the longest pause in the burst
  for (size_t i = 1; i < sets.size(); ++i)
    gap = std::max(gap, sets[i] - sets[i - 1]);
  const bool steady = gap < 400ms; // else the machine stalled the burst past the change's delay
  const auto last = std::chrono::steady_clock::now();
  ASSERT_EQ(rig::set_zoom(rig_.adapter(), 77), STATUS_SUCCESS);
  if (steady) {
    EXPECT_EQ(rig_.camera().snapshot().counters.zoom_sets, 0u) << "the camera moves only after the burst";
  }
  ASSERT_TRUE(rig::wait_until([&] { return rig_.camera().snapshot().counters.zoom_sets >= 1; }, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - last, 490ms);
  EXPECT_TRUE(platform::work_queues_wait_idle(5s));
  EXPECT_EQ(rig_.camera().snapshot().zoom, 77u);
  if (steady) {
    EXPECT_EQ(rig_.camera().snapshot().counters.zoom_sets, 1u);
    EXPECT_EQ(log_count("** Start PropChangeTiemr **\n"), 1u) << "one work item served the whole burst";
  }
  rig_.unplug();
  EXPECT_EQ(rig_.remove(streamclass::RemovalKind::Surprise), STATUS_SUCCESS);
}

// Makes sure opens and closes churning while each Set is applied leave no thread and lose no value. Catches a
// command's restart undoing a close's stop (the camera lock taken after the thread was stopped).
TEST_F(RaceTest, ZoomChangesRaceStreamOpenAndClose) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  std::atomic<bool> churning{true};
  std::thread getter([&] { // zoom Gets: commands of their own, meeting the work item's
    for (LONG read = 0; churning; std::this_thread::sleep_for(1ms))
      EXPECT_EQ(rig::get_zoom(rig_.adapter(), &read), STATUS_SUCCESS);
  });
  std::mt19937 random(1);
  LONG value = 0;
  RaceBudget budget(10, 20s);
  while (budget.next()) {
    value = 10 * budget.done();
    EXPECT_EQ(rig::set_zoom(rig_.adapter(), value), STATUS_SUCCESS);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (rig_.camera().snapshot().counters.zoom_sets < static_cast<uint64_t>(budget.done()) &&
           std::chrono::steady_clock::now() < deadline) {
      EXPECT_EQ(rig_.open_pin(320, 240), STATUS_SUCCESS);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
      EXPECT_EQ(rig_.close_pin(), STATUS_SUCCESS);
      EXPECT_EQ(rig_.extension()->pStrmEx[0], nullptr);
    }
  }
  churning = false;
  getter.join();
  ASSERT_TRUE(platform::work_queues_wait_idle(10s));
  EXPECT_EQ(rig_.camera().snapshot().zoom, static_cast<uint32_t>(value));
  EXPECT_TRUE(platform::system_threads_wait_all(5s)) << "no transfer thread outlives its stream";
}
