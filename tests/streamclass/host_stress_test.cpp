// The stream class host under concurrent use, with the stand-in driver: every
// request ends exactly once and nothing is left outstanding (checked at the end
// of every test) while requests, completions, cancels, time-outs, closes and
// removals race.
#include <atomic>
#include <random>
#include <thread>

#include "tests/streamclass/stand_in_host.h"

using namespace std::chrono_literals;
using streamclass::FrameBuffer;
using streamclass::RemovalKind;
using testdriver::Action;

namespace {

class HostStress : public StandInHost {};

// Makes sure adapter, control and data requests from several threads end once
// each while other threads complete, cancel and time them out. Catches a
// completion racing a cancel or a time-out that frees a block the driver uses.
TEST_F(HostStress, ConcurrentRequestsCompletionsCancelsAndTimeouts) {
  streamclass::HostOptions options = rig::host_options();
  options.tick = 1ms;
  options.device_request_timeout = options.control_request_timeout = options.data_request_timeout = 1;
  streamclass::set_host_options(options);
  open_pin();
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);
  constexpr int kThreads = 3;
  constexpr int kRounds = 300;
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

// Makes sure a pin's close waits for a cancel call that has already taken a read
// out of the driver's queue. Catches the read completed after the close
// abandoned it, or a close that misses the cancel.
TEST_F(HostStress, CancelsRacingClose) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  const int rounds = rig::under_sanitizer() ? 300 : 2000;
  for (int round = 0; round < rounds && !HasFailure(); round++) {
    SCOPED_TRACE(round);
    ASSERT_EQ(adapter_->open_pin(0, format(), pin_), STATUS_SUCCESS);
    std::unique_ptr<FrameBuffer> buffer;
    ASSERT_EQ(pin_->submit(8, buffer), STATUS_PENDING);
    std::atomic<bool> go{false};
    std::thread canceller([&] {
      while (!go.load())
        std::this_thread::yield();
      buffer->cancel();
    });
    go = true;
    if (round % 2 == 1)
      std::this_thread::yield();
    EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
    canceller.join();
    EXPECT_TRUE(buffer->wait(10s));
    EXPECT_FALSE(buffer->request().abandoned());
    EXPECT_EQ(buffer->request().completions(), 1);
    pin_.reset();
  }
}

// Makes sure every stream the driver opened while pins were opened, used and
// closed on one thread and the device removed on another is closed before the
// device is uninitialized, and nothing reaches the driver after that. Catches a
// removal that passes an open or a close in progress.
TEST_F(HostStress, OpenAndCloseRacingRemoval) {
  const int rounds = rig::under_sanitizer() ? 40 : 300;
  std::mt19937 random(7);
  const auto end = std::chrono::steady_clock::now() + 3s;
  for (int round = 0; round < rounds && std::chrono::steady_clock::now() < end && !HasFailure(); round++) {
    SCOPED_TRACE(round);
    testdriver::reset();
    ASSERT_EQ(start(), STATUS_SUCCESS);
    const std::vector<uint8_t> published = format();
    std::atomic<bool> removed{false};
    std::thread opener([&] {
      while (!removed.load()) {
        std::unique_ptr<streamclass::Pin> pin;
        if (adapter_->open_pin(0, published, pin) != STATUS_SUCCESS)
          continue;
        (void)pin->set_state(KSSTATE_RUN);
        std::unique_ptr<FrameBuffer> read;
        (void)pin->submit(8, read);
        (void)testdriver::fill_oldest_read();
        (void)pin->close();
        if (read && !read->wait(10s))
          ADD_FAILURE() << "a read of a closed pin never completed";
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    (void)adapter_->remove(round % 2 == 0 ? RemovalKind::Orderly : RemovalKind::Surprise);
    removed = true;
    opener.join();

    // Streams open in the driver, command by command: never below 0, 0 at
    // uninitialization, and nothing after it.
    int open_streams = 0;
    bool uninitialized = false;
    for (SRB_COMMAND command : commands_since(3)) {
      EXPECT_FALSE(uninitialized) << "command 0x" << std::hex << command << " after uninitialization";
      open_streams += command == SRB_OPEN_STREAM ? 1 : command == SRB_CLOSE_STREAM ? -1 : 0;
      EXPECT_GE(open_streams, 0);
      if (command == SRB_UNINITIALIZE_DEVICE) {
        EXPECT_EQ(open_streams, 0) << "a stream open at uninitialization";
        uninitialized = true;
      }
    }
    EXPECT_TRUE(uninitialized);
    adapter_.reset();
  }
}

} // namespace
