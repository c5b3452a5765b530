// Concurrency of the stream's control path on the rig with the emulated camera running. Reads queued, filled
// and cancelled from several threads, and frames decoded while the format changes:
// races/read_cancel_race_test.cpp and capture/capture_stress_test.cpp.
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/streamclass/frame_stream.h"
#include "tests/support/rig_test.h"

using streamclass::Request;

namespace {

class StreamStress : public RigTest {};

// Makes sure control requests sent from several threads, format changes among them, are never processed two
// at a time and end in each thread's order. Catches the busy flag cleared with a request still in the list.
TEST_F(StreamStress, ControlRequestsAreProcessedOneAtATimeInArrivalOrder) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  ASSERT_EQ(rig_.open_pin(), STATUS_SUCCESS);
  std::vector<uint8_t> formats[2];
  ASSERT_EQ(streamclass::video_format(rig_.adapter(), 0, 320, 240, formats[0]), STATUS_SUCCESS);
  ASSERT_EQ(streamclass::video_format(rig_.adapter(), 0, 160, 120, formats[1]), STATUS_SUCCESS);
  const int rounds = rig::under_sanitizer() ? 60 : 150;
  std::atomic<int> active{0}, overlaps{0};

  std::vector<std::vector<std::shared_ptr<Request>>> sent(3);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; t++)
    threads.emplace_back([&, t] {
      static const SRB_COMMAND commands[] = {SRB_GET_STREAM_STATE, SRB_SET_STREAM_STATE, SRB_SET_DATA_FORMAT,
                                             SRB_INDICATE_MASTER_CLOCK, SRB_BEGIN_FLUSH};
      for (int i = 0; i < rounds; i++) {
        auto request = rig_.pin().make_request(commands[(i + t) % 5]);
        ASSERT_TRUE(request);
        if (request->srb().Command == SRB_SET_STREAM_STATE)
          request->srb().CommandData.StreamState = KSSTATE_RUN;
        if (request->srb().Command == SRB_SET_DATA_FORMAT) {
          const std::vector<uint8_t> &format = formats[i % 2];
          void *copy = request->add_block(format.size());
          std::memcpy(copy, format.data(), format.size());
          request->srb().CommandData.OpenFormat = static_cast<KSDATAFORMAT *>(copy);
        }
        request->on_complete([&](Request &) {
          overlaps += ++active > 1 ? 1 : 0;
          std::this_thread::yield();
          --active;
        });
        sent[t].push_back(request);
        ASSERT_EQ(rig_.pin().deliver(request), STATUS_PENDING);
      }
    });
  for (auto &thread : threads)
    thread.join();

  EXPECT_EQ(overlaps.load(), 0) << "two control requests were processed at once";
  for (const auto &requests : sent)
    for (size_t i = 0; i < requests.size(); i++) {
      ASSERT_TRUE(requests[i]->finished());
      if (i > 0) {
        EXPECT_LT(requests[i - 1]->trace().completed, requests[i]->trace().completed) << "out of order";
      }
    }
  EXPECT_EQ(rig_.extension()->ProcessingControlSRB[0], 0u);
  EXPECT_TRUE(IsListEmpty(&rig_.extension()->StreamControlSRBList[0]));
}

} // namespace
