// Adapter requests delivered from several threads at once to the rig's started
// device.
#include <algorithm>
#include <map>

#include "tests/adapter/adapter_test.h"

using streamclass::Request;

namespace {

class AdapterStress : public AdapterTest {};

// A dispatch line of one of the commands the test sends.
bool is_dispatch_line(const char *text) {
  std::string line(text);
  return line == "SRB_CHANGE_POWER_STATE\n" || line == "SRB_INITIALIZATION_COMPLETE\n" ||
         line == "SRB_UNKNOWN_DEVICE_COMMAND 0x00000103\n";
}

// Makes sure requests from several threads are processed one at a time, in
// arrival order, each on the thread of a caller that found the adapter idle and
// each completed once, and that one finding the adapter busy is queued with its
// busy lines. Catches a request stranded in the list when the busy flag is
// cleared, or two requests dispatched at once.
TEST_F(AdapterStress, RequestsFromSeveralThreadsAreProcessedOneAtATimeInArrivalOrder) {
  constexpr int kThreads = 3;
  constexpr int kPerThread = 1000;
  constexpr SRB_COMMAND kCommands[] = {SRB_CHANGE_POWER_STATE, SRB_INITIALIZATION_COMPLETE,
                                       SRB_OPEN_DEVICE_INSTANCE};
  ASSERT_NO_FATAL_FAILURE(start());

  // Dispatches ('D') and completions ('C') in the order they happened.
  std::mutex events_mutex;
  std::string events;
  gate_->observe([&](const char *text) {
    if (is_dispatch_line(text)) {
      std::lock_guard lock(events_mutex);
      events += 'D';
    }
  });
  clear_log();

  // The first request is held in its dispatch until every thread has started, so
  // that requests pile up behind it.
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
  gate_->wait_held(std::chrono::seconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  gate_->open();
  for (auto &thread : threads)
    thread.join();

  std::vector<std::shared_ptr<Request>> all;
  for (auto &list : sent)
    all.insert(all.end(), list.begin(), list.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));

  // Each completed once with its status.
  for (auto &request : all) {
    ASSERT_EQ(request->completions(), 1);
    NTSTATUS expected =
        request->srb().Command == SRB_OPEN_DEVICE_INSTANCE ? STATUS_NOT_IMPLEMENTED : STATUS_SUCCESS;
    ASSERT_EQ(request->status(), expected);
  }

  // One at a time: every dispatch is followed by its completion before the next.
  ASSERT_EQ(events.size(), 2 * all.size());
  for (size_t i = 0; i < events.size(); i++)
    ASSERT_EQ(events[i], i % 2 == 0 ? 'D' : 'C') << "at event " << i;

  // In arrival order: within a thread, and across threads whenever one delivery
  // returned before another began.
  for (auto &list : sent)
    for (size_t i = 1; i < list.size(); i++)
      ASSERT_LT(list[i - 1]->trace().completed, list[i]->trace().completed);
  std::vector<Request::Trace> traces;
  for (auto &request : all)
    traces.push_back(request->trace());
  std::sort(traces.begin(), traces.end(), [](const Request::Trace &a, const Request::Trace &b) {
    return a.delivery_returned < b.delivery_returned;
  });
  std::vector<uint64_t> latest_completion(traces.size());
  for (size_t i = 0; i < traces.size(); i++)
    latest_completion[i] = std::max(i ? latest_completion[i - 1] : 0, traces[i].completed);
  for (const Request::Trace &b : traces) {
    auto before =
        std::lower_bound(traces.begin(), traces.end(), b.delivery_started,
                         [](const Request::Trace &a, uint64_t seq) { return a.delivery_returned < seq; });
    size_t n = before - traces.begin();
    if (n > 0) {
      ASSERT_LT(latest_completion[n - 1], b.completed);
    }
  }

  // On the thread of a caller that was inside its own delivery, which found the
  // adapter idle; every request processed by another thread was queued with a Busy line.
  std::map<std::thread::id, std::vector<std::pair<uint64_t, uint64_t>>> deliveries;
  for (const Request::Trace &t : traces)
    deliveries[t.delivered_on].emplace_back(t.delivery_started, t.delivery_returned);
  size_t processed_elsewhere = 0;
  for (const Request::Trace &t : traces) {
    const auto &spans = deliveries[t.completed_on];
    bool inside = std::any_of(spans.begin(), spans.end(), [&](auto span) {
      return span.first < t.completed && t.completed < span.second;
    });
    ASSERT_TRUE(inside);
    processed_elsewhere += t.completed_on != t.delivered_on ? 1 : 0;
  }
  EXPECT_GT(processed_elsewhere, 0u);
  EXPECT_EQ(log_count("AdapterReceivePacket Busy\n"), processed_elsewhere);
  EXPECT_EQ(log_count("AddToListIfBusy Busy\n"), processed_elsewhere);

  // Idle again.
  EXPECT_EQ(rig_.extension()->AdapterSRBInProcess, 0u);
  EXPECT_TRUE(IsListEmpty(&rig_.extension()->AdapterSRBList));
}

} // namespace
