// The zoom change's edges: a Set that arrives while the work item applies the
// previous one, and the device going away while a change is pending or being
// applied.
#include <gtest/gtest.h>

#include "tests/controls/controls_fixture.h"

using namespace ctltest;

namespace {

// The camera answers every packet 200 ms after it was asked, so that the work
// item stays in its applying phase long enough to be met there.
constexpr int64_t kSlowReplyNs = 200'000'000;

} // namespace

// A Set while the work item applies the previous one reaches the camera; catches a work item that goes idle
// after applying without looking for a newer Set (which only signalled an event nobody waits on).
TEST_F(ControlsTest, ZoomSetWhileTheChangeIsAppliedIsNotLost) {
  start(camera_with({}, kSlowReplyNs));
  ASSERT_EQ(set_zoom(30), STATUS_SUCCESS);
  ASSERT_TRUE(wait_until(
      [&] { return find_line(tap_->texts(4), "** Send CAM_RELATIVE_ZOOM_ADDR(Set) (1E)\n") >= 0; }, 10s));
  ASSERT_EQ(set_zoom(60), STATUS_SUCCESS); // the camera's ACK of 30 is still 200 ms away
  ASSERT_TRUE(zoom_settled());
  EXPECT_EQ(camera().counters.zoom_sets, 2u);
  EXPECT_EQ(camera().zoom, 60u);
  EXPECT_EQ(log_count("** Start PropChangeTiemr **\n"), 1u) << "the same work item applied both";
}

// Removal with a change pending or being applied returns once the work item is gone and sends nothing more;
// catches a work item that touches the freed device extension (the sanitizers see it) or leaks its item.

TEST_F(ControlsTest, OrderlyRemovalGivesUpAPendingZoomChange) {
  start(camera_with({}));
  ASSERT_EQ(set_zoom(40), STATUS_SUCCESS);
  const auto before = std::chrono::steady_clock::now();
  ASSERT_EQ(adapter().remove(streamclass::RemovalKind::Orderly), STATUS_SUCCESS);
  EXPECT_EQ(platform::work_items_pending(), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 450ms) << "the quiet time is cut short";
  EXPECT_EQ(camera().counters.zoom_sets, 0u);
  EXPECT_EQ(camera().counters.commands, 0u);
}

TEST_F(ControlsTest, SurpriseRemovalWhileAZoomChangeIsApplied) {
  start(camera_with({}, kSlowReplyNs));
  ASSERT_NO_FATAL_FAILURE(open());
  ASSERT_EQ(set_zoom(30), STATUS_SUCCESS);
  ASSERT_TRUE(wait_until(
      [&] { return find_line(tap_->texts(4), "** Send CAM_RELATIVE_ZOOM_ADDR(Set) (1E)\n") >= 0; }, 10s));
  ASSERT_EQ(set_zoom(90), STATUS_SUCCESS);
  ASSERT_EQ(adapter().remove(streamclass::RemovalKind::Surprise), STATUS_SUCCESS);
  EXPECT_EQ(platform::work_items_pending(), 0u);
  EXPECT_LE(camera().counters.zoom_sets, 1u) << "90 is never sent after the removal began";
  EXPECT_NE(camera().zoom, 90u);
  pin_.reset(); // closed by the removal
}
