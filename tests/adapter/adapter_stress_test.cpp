// Adapter requests delivered from several threads at once to the rig's started device.
#include "tests/adapter/adapter_test.h"

using streamclass::Request;

namespace {

class AdapterStress : public AdapterTest {};

// Makes sure requests from several threads are processed one at a time, each thread's in the order it sent
// them, each completed once with its status, and that every request processed by another thread than its
// sender's was queued with the busy lines. Catches a request stranded in the list when the busy flag is
// cleared, or two requests dispatched at once.
TEST_F(AdapterStress, RequestsFromSeveralThreadsAreProcessedOneAtATimeInArrivalOrder) {
  constexpr int kThreads = 3, kPerThread = 1000;
  constexpr SRB_COMMAND kCommands[] = {SRB_CHANGE_POWER_STATE, SRB_INITIALIZATION_COMPLETE,
                                       SRB_OPEN_DEVICE_INSTANCE};
  ASSERT_NO_FATAL_FAILURE(start());
  // Dispatches ('D', by their lines) and completions ('C') in the order they happened.
  std::mutex events_mutex;
  std::string events;
  gate_->observer = [&](const char *text) {
    const std::string line(text);
    if (line == "SRB_CHANGE_POWER_STATE\n" || line == "SRB_INITIALIZATION_COMPLETE\n" ||
        line == "SRB_UNKNOWN_DEVICE_COMMAND 0x00000103\n") {
      std::lock_guard lock(events_mutex);
      events += 'D';
    }
  };
  // The first request is held in its dispatch until every thread has started, so that requests pile up behind
  // it.
  gate_->arm("SRB_CHANGE_POWER_STATE\n");
  std::vector<std::vector<std::shared_ptr<Request>>> sent(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; i++) {
        auto request = adapter().make_request(kCommands[(i + t) % 3]);
        ASSERT_NE(request, nullptr);
        request->on_complete([&](Request &) {
          std::lock_guard lock(events_mutex);
          events += 'C';
        });
        sent[t].push_back(request);
        ASSERT_EQ(adapter().deliver(request), STATUS_PENDING);
      }
    });
  gate_->wait_for("SRB_CHANGE_POWER_STATE\n", std::chrono::seconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  gate_->open();
  for (auto &thread : threads)
    thread.join();

  size_t processed_elsewhere = 0;
  for (const auto &requests : sent) {
    ASSERT_EQ(requests.size(), size_t(kPerThread));
    for (size_t i = 0; i < requests.size(); i++) {
      const Request &request = *requests[i];
      ASSERT_EQ(request.completions(), 1);
      ASSERT_EQ(request.status(),
                request.srb().Command == SRB_OPEN_DEVICE_INSTANCE ? STATUS_NOT_IMPLEMENTED : STATUS_SUCCESS);
      if (i > 0) {
        ASSERT_LT(requests[i - 1]->trace().completed, request.trace().completed) << "out of order";
      }
      processed_elsewhere += request.trace().completed_on != request.trace().delivered_on ? 1 : 0;
    }
  }
  ASSERT_EQ(events.size(), size_t(2 * kThreads * kPerThread));
  for (size_t i = 0; i < events.size(); i++)
    ASSERT_EQ(events[i], i % 2 == 0 ? 'D' : 'C') << "two requests processed at once, at event " << i;
  EXPECT_GT(processed_elsewhere, 0u);
  EXPECT_EQ(log_count("AdapterReceivePacket Busy\n"), processed_elsewhere);
  EXPECT_EQ(log_count("AddToListIfBusy Busy\n"), processed_elsewhere);
  EXPECT_EQ(rig_.extension()->AdapterSRBInProcess, 0u);
  EXPECT_TRUE(IsListEmpty(&rig_.extension()->AdapterSRBList));
}

} // namespace
