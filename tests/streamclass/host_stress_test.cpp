// The stream class host under concurrent use, with the stand-in driver. Cancels racing a close:
// capture/capture_stress_test.cpp; opens and closes racing a removal: races/removal_race_test.cpp.
#include <atomic>
#include <thread>

#include "tests/streamclass/test_driver.h"

using namespace std::chrono_literals;
using streamclass::FrameBuffer;
using testdriver::Action;

namespace {

class HostStress : public StandInHost {};

// Makes sure adapter, control and data requests from several threads end once each while other threads
// complete, cancel and time them out. Catches a completion racing a cancel or a time-out that frees a block
// the driver uses.
TEST_F(HostStress, ConcurrentRequestsCompletionsCancelsAndTimeouts) {
  streamclass::HostOptions options = rig::host_options();
  options.tick = 1ms;
  options.device_request_timeout = options.control_request_timeout = options.data_request_timeout = 1;
  streamclass::set_host_options(options);
  open_pin();
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);
  constexpr int kThreads = 3, kRounds = 300;
  std::atomic<bool> done{false};
  std::atomic<int> frames{0};
  std::thread filler([&] {
    while (!done.load()) {
      if (!testdriver::fill_oldest_read())
        std::this_thread::yield();
      testdriver::complete_held();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; i++) {
        std::unique_ptr<FrameBuffer> buffer;
        ASSERT_EQ(pin_->submit(8, buffer, [&](const streamclass::Frame &) { frames++; }), STATUS_PENDING);
        if ((i + t) % 3 == 0)
          buffer->cancel();
        KSSTATE state;
        EXPECT_EQ(pin_->get_state(state), STATUS_SUCCESS);
        auto power = adapter_->make_request(SRB_CHANGE_POWER_STATE);
        ASSERT_EQ(adapter_->deliver(power), STATUS_PENDING);
        if (i % 5 == 0)
          adapter_->cancel(power);
        EXPECT_TRUE(power->wait(10s));
        EXPECT_TRUE(buffer->wait(10s));
      }
    });
  for (auto &thread : threads)
    thread.join();
  done = true;
  filler.join();
  EXPECT_EQ(frames.load(), kThreads * kRounds);
}

} // namespace
