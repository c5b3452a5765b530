// Concurrency of the video stream: control requests from several threads at once
// with reads arriving, being taken and being cancelled meanwhile, and format
// changes while another thread reads the format. Bounded to a few seconds under
// ThreadSanitizer on two cores.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/streamclass/ks_guids.h"
#include "tests/stream/stream_harness.h"

using namespace streamclass;
using streamharness::format_from_range;

namespace {

class StreamStress : public StreamHost {
protected:
  // Takes queued reads as the transfer thread would and hands them back empty,
  // until `stop` is set and the queue is empty. Returns how many it took.
  size_t drain_reads(const std::atomic<bool> &stop) {
    size_t taken = 0;
    for (;;) {
      PHW_STREAM_REQUEST_BLOCK srb = QueueRemoveSRB(&device_extension(), 0);
      if (srb == nullptr) {
        if (stop.load())
          return taken;
        std::this_thread::yield();
        continue;
      }
      srb->CommandData.DataBufferArray->DataUsed = 0;
      srb->Status = STATUS_CANCELLED;
      CompleteStreamSRB(srb);
      taken++;
    }
  }

  // Counts the queue's links under its lock; -1 when the list is broken.
  LONG linked_reads() {
    HW_DEVICE_EXTENSION &ext = device_extension();
    LONG linked = 0;
    KIRQL irql = KfAcquireSpinLock(&ext.StreamSRBSpinLock[0]);
    LONG counted = ext.StreamSRBListSize[0];
    for (PLIST_ENTRY entry = ext.StreamSRBList[0].Flink; entry != &ext.StreamSRBList[0];
         entry = entry->Flink) {
      if (entry->Flink->Blink != entry || ++linked > 100000) {
        linked = -1;
        break;
      }
    }
    KfReleaseSpinLock(&ext.StreamSRBSpinLock[0], irql);
    return linked == counted ? linked : -1;
  }
};

// Control requests: makes sure that requests of one stream sent from several
// threads are never processed two at a time, that each thread's requests are
// completed in the order it sent them, and that every one is completed once, while
// reads are queued and taken and the format changes under a reader. Example
// failure: the busy flag cleared while a request is still in the list (stranded),
// or two handlers running together.

TEST_F(StreamStress, ControlRequestsAreProcessedOneAtATimeInArrivalOrder) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  constexpr int kControlThreads = 3;
  constexpr int kControlRequests = 150;
  constexpr int kDataThreads = 2;
  constexpr int kReads = 150;

  std::atomic<int> active{0};
  std::atomic<int> most_active{0};
  std::atomic<bool> stop_reads{false};
  std::atomic<bool> stop_reader{false};
  std::atomic<int> torn{0};
  const auto large = format_from_range(StreamFormatRGB24Bpp_Capture);
  const auto small = format_from_range(StreamFormatRGB24Bpp_Capture2);

  std::vector<std::vector<std::shared_ptr<Request>>> sent(kControlThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kControlThreads; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kControlRequests; i++) {
        static const SRB_COMMAND commands[] = {SRB_GET_STREAM_STATE, SRB_SET_STREAM_STATE,
                                               SRB_SET_DATA_FORMAT, SRB_INDICATE_MASTER_CLOCK,
                                               SRB_BEGIN_FLUSH};
        SRB_COMMAND command = commands[(i + t) % 5];
        auto request = pin_->make_request(command);
        ASSERT_TRUE(request);
        if (command == SRB_SET_STREAM_STATE)
          request->srb().CommandData.StreamState = KSSTATE_RUN;
        if (command == SRB_SET_DATA_FORMAT) {
          const auto &format = i % 2 ? small : large;
          void *copy = request->add_block(format.size());
          std::memcpy(copy, format.data(), format.size());
          request->srb().CommandData.OpenFormat = static_cast<KSDATAFORMAT *>(copy);
        }
        request->on_complete([&](Request &) {
          int now = ++active;
          int seen = most_active.load();
          while (now > seen && !most_active.compare_exchange_weak(seen, now)) {
          }
          std::this_thread::yield();
          --active;
        });
        sent[t].push_back(request);
        ASSERT_EQ(pin_->deliver(request), STATUS_PENDING);
      }
    });
  }
  std::vector<std::vector<std::unique_ptr<FrameBuffer>>> buffers(kDataThreads);
  for (int t = 0; t < kDataThreads; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kReads; i++) {
        std::unique_ptr<FrameBuffer> buffer;
        ASSERT_EQ(pin_->submit(64, buffer), STATUS_PENDING);
        buffers[t].push_back(std::move(buffer));
      }
    });
  }
  // The format is read as the transfer thread reads it: both copies belong together.
  std::thread reader([&] {
    while (!stop_reader.load()) {
      STREAM_FORMAT_SNAPSHOT snapshot;
      if (StreamGetFormatSnapshot(&stream_extension(), &snapshot) &&
          (snapshot.DataFormatHeader.bmiHeader.biWidth != snapshot.VideoInfoHeader.bmiHeader.biWidth ||
           snapshot.VideoInfoHeader.bmiHeader.biSizeImage !=
               (ULONG)snapshot.VideoInfoHeader.bmiHeader.biWidth *
                   snapshot.VideoInfoHeader.bmiHeader.biHeight * 3))
        torn++;
    }
  });
  size_t taken = 0;
  std::thread remover([&] { taken = drain_reads(stop_reads); });

  for (auto &thread : threads)
    thread.join();
  stop_reads = true;
  remover.join();
  stop_reader = true;
  reader.join();

  EXPECT_EQ(most_active.load(), 1) << "two control requests were processed at once";
  EXPECT_EQ(torn.load(), 0) << "a reader saw a format and a frame header that do not belong together";
  for (const auto &requests : sent) {
    for (size_t i = 0; i < requests.size(); i++) {
      ASSERT_TRUE(requests[i]->finished());
      if (i > 0) {
        EXPECT_LT(requests[i - 1]->trace().completed, requests[i]->trace().completed) << "out of order";
      }
    }
  }
  EXPECT_EQ(taken, size_t(kDataThreads * kReads));
  EXPECT_EQ(device_extension().ProcessingControlSRB[0], 0u);
  EXPECT_TRUE(IsListEmpty(&device_extension().StreamControlSRBList[0]));
  EXPECT_EQ(linked_reads(), 0);
}

// The read queue: makes sure that reads added from several threads while another
// takes them and a third cancels some never corrupt the list or its count, and
// that every read is completed exactly once (taken, cancelled, or cancelled at
// close). Example failure: an unlink outside the lock losing a neighbour, or a
// count that drifts from the links.

TEST_F(StreamStress, ConcurrentAddRemoveAndCancelKeepTheQueueWhole) {
  ASSERT_NO_FATAL_FAILURE(open_pin());
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  constexpr int kAdders = 3;
  constexpr int kReads = 200;

  std::mutex shared_lock; // protects `shared`
  std::vector<FrameBuffer *> shared;
  std::vector<std::vector<std::unique_ptr<FrameBuffer>>> buffers(kAdders);
  std::atomic<bool> stop{false};
  std::atomic<int> broken{0};

  std::vector<std::thread> adders;
  for (int t = 0; t < kAdders; t++) {
    adders.emplace_back([&, t] {
      buffers[t].reserve(kReads);
      for (int i = 0; i < kReads; i++) {
        std::unique_ptr<FrameBuffer> buffer;
        ASSERT_EQ(pin_->submit(32, buffer), STATUS_PENDING);
        std::lock_guard lock(shared_lock);
        shared.push_back(buffer.get());
        buffers[t].push_back(std::move(buffer));
      }
    });
  }
  size_t taken = 0;
  std::thread remover([&] { taken = drain_reads(stop); });
  std::thread canceller([&] {
    size_t next = 0;
    while (!stop.load()) {
      FrameBuffer *victim = nullptr;
      {
        std::lock_guard lock(shared_lock);
        if (next < shared.size())
          victim = shared[next];
        next += 3;
      }
      if (victim != nullptr)
        victim->cancel();
      if (linked_reads() < 0)
        broken++;
      std::this_thread::yield();
    }
  });

  for (auto &thread : adders)
    thread.join();
  stop = true;
  remover.join();
  canceller.join();

  EXPECT_EQ(broken.load(), 0);
  EXPECT_EQ(linked_reads(), 0);
  size_t cancelled = 0;
  for (auto &list : buffers) {
    for (auto &buffer : list) {
      ASSERT_TRUE(buffer->completed());
      EXPECT_EQ(buffer->status(), STATUS_CANCELLED);
      EXPECT_EQ(buffer->request().completions(), 1);
      cancelled++;
    }
  }
  EXPECT_EQ(cancelled, size_t(kAdders * kReads));
  EXPECT_LE(taken, cancelled);
}

} // namespace
