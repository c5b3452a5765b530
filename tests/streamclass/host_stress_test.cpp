// The stream class host under concurrent use: several application threads submit
// adapter, control and data requests while other threads complete, cancel and
// time them out. Makes sure every request is completed exactly once and nothing
// is left outstanding. Example failure: a completion racing a cancel or a time-out
// that frees a request block the driver still uses.
#include <atomic>
#include <random>
#include <thread>

#include "tests/streamclass/test_driver_fixture.h"

using namespace streamclass;
using testdriver::Action;

namespace {

class HostStress : public TestDriverHost {};

TEST_F(HostStress, ConcurrentRequestsCompletionsCancelsAndTimeouts) {
  HostOptions options = test_options();
  options.tick = std::chrono::milliseconds(1);
  options.device_request_timeout = 1;
  options.control_request_timeout = 1;
  options.data_request_timeout = 1;
  set_options(options);
  open_pin();
  ASSERT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_SUCCESS);
  testdriver::set_action(SRB_CHANGE_POWER_STATE, Action::Hold);

  constexpr int kThreads = 3;
  constexpr int kRounds = 300;
  std::atomic<bool> done{false};
  std::atomic<uint64_t> frames{0};
  std::thread filler([&] {
    while (!done.load()) {
      if (!testdriver::fill_oldest_read(3, 8))
        std::this_thread::yield();
      testdriver::complete_held();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; i++) {
        std::unique_ptr<FrameBuffer> buffer;
        ASSERT_EQ(pin_->submit(8, buffer, [&](const Frame &) { frames++; }), STATUS_PENDING);
        if ((i + t) % 3 == 0)
          buffer->cancel();
        KSSTATE state;
        EXPECT_TRUE(NT_SUCCESS(pin_->get_state(state)));
        auto power = adapter_->make_request(SRB_CHANGE_POWER_STATE);
        ASSERT_EQ(adapter_->deliver(power), STATUS_PENDING);
        if (i % 5 == 0)
          adapter_->cancel(power);
        EXPECT_TRUE(power->wait(std::chrono::seconds(10)));
        EXPECT_TRUE(buffer->wait(std::chrono::seconds(10)));
      }
    });
  for (auto &thread : threads)
    thread.join();
  done = true;
  filler.join();
  EXPECT_EQ(frames.load(), static_cast<uint64_t>(kThreads * kRounds));
  pin_->close();
  HostAccounting a = host_accounting();
  EXPECT_TRUE(a.clean());
  EXPECT_EQ(a.outstanding, 0u);
}

TEST_F(HostStress, OpenAndCloseWhileOtherThreadsUseThePin) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto format = adapter_->data_ranges(0)[0];
  for (int round = 0; round < 40; round++) {
    std::shared_ptr<Pin> pin;
    {
      std::unique_ptr<Pin> opened;
      ASSERT_EQ(adapter_->open_pin(0, format, opened), STATUS_SUCCESS);
      pin = std::move(opened);
    }
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    for (int t = 0; t < 2; t++)
      users.emplace_back([&] {
        while (!stop.load()) {
          std::unique_ptr<FrameBuffer> buffer;
          NTSTATUS status = pin->submit(4, buffer);
          if (status != STATUS_PENDING)
            break; // closed
          testdriver::fill_oldest_read(1, 4);
        }
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
    stop = true;
    for (auto &user : users)
      user.join();
  }
}

// A pin's close waits for a cancel call that has already taken a read out of
// the driver's queue: catches the read being completed after close abandoned it
// ("completed after it was abandoned") or a close that misses the cancel.
TEST_F(HostStress, CancelsRacingClose) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto format = adapter_->data_ranges(0)[0];
#if defined(__SANITIZE_THREAD__)
  constexpr int kRounds = 300;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  constexpr int kRounds = 300;
#else
  constexpr int kRounds = 2000;
#endif
#else
  constexpr int kRounds = 2000;
#endif
  for (int round = 0; round < kRounds; round++) {
    std::unique_ptr<Pin> pin;
    ASSERT_EQ(adapter_->open_pin(0, format, pin), STATUS_SUCCESS);
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    std::unique_ptr<FrameBuffer> buffer;
    ASSERT_EQ(pin->submit(8, buffer), STATUS_PENDING);
    std::atomic<bool> go{false};
    std::thread canceller([&] {
      while (!go.load())
        std::this_thread::yield();
      buffer->cancel();
    });
    go = true;
    if (round % 2 == 1)
      std::this_thread::yield();
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
    canceller.join();
    EXPECT_TRUE(buffer->wait(std::chrono::seconds(10)));
    EXPECT_FALSE(buffer->request().abandoned()) << "round " << round;
    EXPECT_EQ(buffer->request().completions(), 1) << "round " << round;
    if (HasFailure())
      break;
  }
  HostAccounting a = host_accounting();
  EXPECT_TRUE(a.clean());
  EXPECT_EQ(a.outstanding, 0u);
}

// Pins opened, used and closed on one thread while another removes the device:
// makes sure every stream the driver opened is closed before the device is
// uninitialized, nothing reaches the driver after that, and every request ends
// once. Catches a removal that passes an open or a close in progress (a stream
// left open in the driver, or closed after its device went).
TEST_F(HostStress, OpenAndCloseRacingRemoval) {
#if defined(__SANITIZE_THREAD__)
  constexpr int kRounds = 40;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  constexpr int kRounds = 40;
#else
  constexpr int kRounds = 300;
#endif
#else
  constexpr int kRounds = 300;
#endif
  std::mt19937 random(7);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (int round = 0; round < kRounds && std::chrono::steady_clock::now() < end; round++) {
    ASSERT_EQ(start(), STATUS_SUCCESS);
    auto format = adapter_->data_ranges(0)[0];
    const size_t before = testdriver::commands().size();
    const auto head_start = std::chrono::microseconds(random() % 2000);
    const RemovalKind kind = round % 2 == 0 ? RemovalKind::Orderly : RemovalKind::Surprise;
    std::atomic<bool> removed{false};
    std::thread opener([&] {
      while (!removed.load()) {
        std::unique_ptr<Pin> pin;
        if (adapter_->open_pin(0, format, pin) != STATUS_SUCCESS)
          continue;
        pin->set_state(KSSTATE_RUN);
        std::unique_ptr<FrameBuffer> read;
        pin->submit(8, read);
        testdriver::fill_oldest_read(2, 8);
        pin->close();
        if (read && !read->wait(std::chrono::seconds(10)))
          ADD_FAILURE() << "a read of a closed pin never completed";
      }
    });
    std::this_thread::sleep_for(head_start);
    adapter_->remove(kind);
    removed = true;
    opener.join();

    // Streams open in the driver, command by command: never below 0, 0 when the
    // device is uninitialized, and nothing after that.
    auto commands = testdriver::commands();
    int open_streams = 0;
    bool uninitialized = false;
    for (size_t i = before; i < commands.size(); i++) {
      EXPECT_FALSE(uninitialized) << "command 0x" << std::hex << commands[i] << " after uninitialize";
      if (commands[i] == SRB_OPEN_STREAM)
        open_streams++;
      if (commands[i] == SRB_CLOSE_STREAM) {
        EXPECT_GE(--open_streams, 0);
      }
      if (commands[i] == SRB_UNINITIALIZE_DEVICE) {
        EXPECT_EQ(open_streams, 0) << "a stream open at uninitialize";
        uninitialized = true;
      }
    }
    EXPECT_TRUE(uninitialized);
    adapter_.reset();
    if (HasFailure()) {
      ADD_FAILURE() << "round " << round;
      break;
    }
  }
  HostAccounting a = host_accounting();
  EXPECT_TRUE(a.clean());
  EXPECT_EQ(a.outstanding, 0u);
}

} // namespace
