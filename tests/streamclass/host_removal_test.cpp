// Removal of a device while an application opens or closes its pin on another
// thread: the order of the requests the driver sees, and what each call returns.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

#include "tests/streamclass/test_driver_fixture.h"

namespace streamclass {
// Names a removal kind in test output.
void PrintTo(RemovalKind kind, std::ostream *out) {
  *out << (kind == RemovalKind::Orderly ? "Orderly" : "Surprise");
}
} // namespace streamclass

using namespace streamclass;
using namespace std::chrono_literals;
using testdriver::Action;

namespace {

class HostRemoval : public TestDriverHost, public ::testing::WithParamInterface<RemovalKind> {
protected:
  // Waits until `done` holds (at most 10 s); false when it never did.
  template <typename Condition> static bool eventually(Condition done) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end)
        return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  // The commands the driver received from index `from` on.
  static std::vector<SRB_COMMAND> commands_since(size_t from) {
    auto all = testdriver::commands();
    return from < all.size() ? std::vector<SRB_COMMAND>(all.begin() + static_cast<long>(from), all.end())
                             : std::vector<SRB_COMMAND>{};
  }

  // Starts the removal on `remover` and waits until it has begun (the device no
  // longer counts as started), then gives it time to go as far as it would.
  void begin_removal(std::thread &remover, std::atomic<NTSTATUS> &status) {
    remover = std::thread([this, &status] { status = adapter_->remove(GetParam()); });
    EXPECT_TRUE(eventually([this] { return !adapter_->started(); })) << "the removal never began";
    std::this_thread::sleep_for(50ms);
  }

  // What a removal of this kind tells the driver before it closes the pins.
  static std::vector<SRB_COMMAND> announced() {
    return GetParam() == RemovalKind::Surprise ? std::vector<SRB_COMMAND>{SRB_SURPRISE_REMOVAL}
                                               : std::vector<SRB_COMMAND>{};
  }

  // `head`, then `tail`.
  static std::vector<SRB_COMMAND> join(std::vector<SRB_COMMAND> head, const std::vector<SRB_COMMAND> &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  }
};

// An application's close racing the removal: makes sure the removal waits for the
// close in progress and sends SRB_UNINITIALIZE_DEVICE only once SRB_CLOSE_STREAM has
// completed, that the driver is asked to close the stream once, and that every
// close returns the status of that one close. Example failure: the driver
// uninitialized, its device memory freed, while it still closes the stream.

TEST_P(HostRemoval, CloseInProgressEndsBeforeTheDeviceIsUninitialized) {
  open_pin();
  testdriver::set_action(SRB_CLOSE_STREAM, Action::Hold);
  const size_t before = testdriver::commands().size();
  std::atomic<NTSTATUS> closed{STATUS_PENDING};
  std::thread closer([&] { closed = pin_->close(); });
  EXPECT_TRUE(eventually([] { return testdriver::held() == 1; })) << "the close never reached the driver";

  // A second close by the application, and the removal's own, wait for the first.
  std::atomic<NTSTATUS> closed_again{STATUS_PENDING};
  std::thread second_closer([&] { closed_again = pin_->close(); });
  std::thread remover;
  std::atomic<NTSTATUS> removed{STATUS_PENDING};
  begin_removal(remover, removed);
  EXPECT_EQ(commands_since(before), join({SRB_CLOSE_STREAM}, announced()));
  EXPECT_EQ(closed.load(), STATUS_PENDING);
  EXPECT_EQ(closed_again.load(), STATUS_PENDING);
  EXPECT_EQ(removed.load(), STATUS_PENDING);

  testdriver::complete_held(STATUS_UNSUCCESSFUL);
  closer.join();
  second_closer.join();
  remover.join();
  EXPECT_EQ(closed.load(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(closed_again.load(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(removed.load(), STATUS_SUCCESS);
  EXPECT_EQ(commands_since(before), join(join({SRB_CLOSE_STREAM}, announced()), {SRB_UNINITIALIZE_DEVICE}));
  EXPECT_FALSE(pin_->is_open());
  EXPECT_TRUE(adapter_->removed());
  EXPECT_EQ(pin_->close(), STATUS_SUCCESS); // closed: nothing more reaches the driver
  EXPECT_EQ(commands_since(before).size(), announced().size() + 2);
}

// An open racing the removal: makes sure the removal waits for an open the driver
// is answering, closes the pin it opens before SRB_UNINITIALIZE_DEVICE, leaves alone
// a pin whose open failed, and that an open arriving once the removal has begun
// never reaches the driver. Example failure: a stream left open in the driver
// after its device is gone.

TEST_P(HostRemoval, PinOpenedDuringRemovalIsClosedBeforeTheDeviceIsUninitialized) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto format = adapter_->data_ranges(0)[0];
  testdriver::set_action(SRB_OPEN_STREAM, Action::Hold);
  const size_t before = testdriver::commands().size();
  std::atomic<NTSTATUS> opened{STATUS_PENDING};
  std::thread opener([&] { opened = adapter_->open_pin(0, format, pin_); });
  EXPECT_TRUE(eventually([] { return testdriver::held() == 1; })) << "the open never reached the driver";
  std::thread remover;
  std::atomic<NTSTATUS> removed{STATUS_PENDING};
  begin_removal(remover, removed);
  EXPECT_EQ(commands_since(before), join({SRB_OPEN_STREAM}, announced()));
  EXPECT_EQ(removed.load(), STATUS_PENDING);

  testdriver::complete_held();
  opener.join();
  remover.join();
  EXPECT_EQ(opened.load(), STATUS_SUCCESS);
  EXPECT_EQ(removed.load(), STATUS_SUCCESS);
  EXPECT_EQ(commands_since(before),
            join(join({SRB_OPEN_STREAM}, announced()), {SRB_CLOSE_STREAM, SRB_UNINITIALIZE_DEVICE}));
  ASSERT_NE(pin_, nullptr);
  EXPECT_FALSE(pin_->is_open());
  EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
  EXPECT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(commands_since(before).size(), announced().size() + 3);
}

TEST_P(HostRemoval, PinWhoseOpenFailsDuringRemovalIsNotClosed) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto format = adapter_->data_ranges(0)[0];
  testdriver::set_action(SRB_OPEN_STREAM, Action::Hold);
  const size_t before = testdriver::commands().size();
  std::atomic<NTSTATUS> opened{STATUS_PENDING};
  std::thread opener([&] { opened = adapter_->open_pin(0, format, pin_); });
  EXPECT_TRUE(eventually([] { return testdriver::held() == 1; }));
  std::thread remover;
  std::atomic<NTSTATUS> removed{STATUS_PENDING};
  begin_removal(remover, removed);
  testdriver::complete_held(STATUS_INSUFFICIENT_RESOURCES);
  opener.join();
  remover.join();
  EXPECT_EQ(opened.load(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(pin_, nullptr);
  EXPECT_EQ(commands_since(before), join(join({SRB_OPEN_STREAM}, announced()), {SRB_UNINITIALIZE_DEVICE}));
}

TEST_P(HostRemoval, OpenAfterTheRemovalBeganNeverReachesTheDriver) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto format = adapter_->data_ranges(0)[0];
  // The removal stops at its last request, with the device still there.
  testdriver::set_action(SRB_UNINITIALIZE_DEVICE, Action::Hold);
  std::thread remover([&] { adapter_->remove(GetParam()); });
  EXPECT_TRUE(eventually([] { return testdriver::held() == 1; }));
  const size_t before = testdriver::commands().size();
  EXPECT_EQ(adapter_->open_pin(0, format, pin_), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(pin_, nullptr);
  EXPECT_TRUE(commands_since(before).empty());
  testdriver::complete_held();
  remover.join();
}

// A second removal while one is in progress: makes sure it returns only once the
// device is removed, and that the driver is told once. Example failure: the caller
// of the second removal deletes what the first still uses.

TEST_P(HostRemoval, SecondRemovalWaitsForTheFirst) {
  open_pin();
  testdriver::set_action(SRB_UNINITIALIZE_DEVICE, Action::Hold);
  std::thread remover([&] { adapter_->remove(GetParam()); });
  EXPECT_TRUE(eventually([] { return testdriver::held() == 1; }));
  std::atomic<NTSTATUS> second{STATUS_PENDING};
  std::thread second_remover([&] { second = adapter_->remove(RemovalKind::Orderly); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(second.load(), STATUS_PENDING);
  EXPECT_FALSE(adapter_->removed());
  testdriver::complete_held();
  second_remover.join();
  EXPECT_EQ(second.load(), STATUS_SUCCESS);
  EXPECT_TRUE(adapter_->removed());
  remover.join();
  auto commands = testdriver::commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), SRB_UNINITIALIZE_DEVICE), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), SRB_CLOSE_STREAM), 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostRemoval, ::testing::Values(RemovalKind::Orderly, RemovalKind::Surprise),
                         [](const ::testing::TestParamInfo<RemovalKind> &info) {
                           return info.param == RemovalKind::Orderly ? "Orderly" : "Surprise";
                         });

} // namespace
