// Removal of a device while an application closes its pin or opens one, with the pool refusing memory: the
// requests the driver sees, what each call returns, and the requests made in advance for close and removal.
// Opens in progress at removal: races/removal_race_test.cpp; a start or an open the pool refuses: the
// low-resources sweep.
#include <atomic>
#include <thread>

#include "platform/kernel/pool.h"
#include "tests/streamclass/test_driver.h"

using namespace std::chrono_literals;
using streamclass::RemovalKind;
using testdriver::Action;
using Commands = std::vector<SRB_COMMAND>;

namespace {

size_t live_irps() {
  return platform::pool_tag_counts(PoolTag("Irp ")).live_blocks;
}

void refuse_all_memory() {
  platform::pool_fail_random(0, 1.0, 1);
  platform::pool_fail_tag(PoolTag("Irp "));
}

class HostRemoval : public StandInHost, public testing::WithParamInterface<RemovalKind> {
protected:
  void release() override {
    testdriver::complete_held();
    if (remover_.joinable())
      remover_.join();
    StandInHost::release();
  }
  // Starts the removal on another thread, waits until it has begun and gives it time to go on.
  void begin_removal() {
    remover_ = std::thread([this] { removed_ = adapter_->remove(GetParam()); });
    EXPECT_TRUE(rig::wait_until([this] { return !adapter_->started(); }, 10s)) << "the removal never began";
    std::this_thread::sleep_for(50ms);
  }
  void end_removal() {
    remover_.join();
    EXPECT_EQ(removed_.exchange(STATUS_PENDING), STATUS_SUCCESS);
  }
  // `head`, what this kind of removal tells the driver before it closes pins, `tail`.
  static Commands with_removal(Commands head, const Commands &tail) {
    if (GetParam() == RemovalKind::Surprise)
      head.push_back(SRB_SURPRISE_REMOVAL);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  }

  std::thread remover_;
  std::atomic<NTSTATUS> removed_{STATUS_PENDING};
};

// Makes sure the removal waits for a close in progress, the driver is asked to close once and uninitialized
// only after, every close returns that close's status, and neither needs memory. Catches the driver
// uninitialized while it still closes the stream, or a pin taken for closed without the driver knowing.
TEST_P(HostRemoval, CloseInProgressEndsBeforeTheDeviceIsUninitialized) {
  const size_t irps = live_irps();
  open_pin();
  std::unique_ptr<streamclass::FrameBuffer> read;
  ASSERT_EQ(pin_->submit(64, read), STATUS_PENDING);
  testdriver::set_action(SRB_CLOSE_STREAM, Action::Hold);
  const size_t before = testdriver::commands().size();
  const uint64_t refused = platform::pool_counts().failed;
  refuse_all_memory();
  std::atomic<NTSTATUS> closed{STATUS_PENDING}, closed_again{STATUS_PENDING};
  std::thread closer([&] { closed = pin_->close(); });
  EXPECT_TRUE(rig::wait_until([] { return testdriver::held() == 1; }, 10s));
  std::thread second_closer([&] { closed_again = pin_->close(); });
  begin_removal();
  EXPECT_EQ(commands_since(before), with_removal({SRB_CLOSE_STREAM}, {}));
  EXPECT_EQ((std::vector<NTSTATUS>{closed, closed_again, removed_}),
            std::vector<NTSTATUS>(3, STATUS_PENDING));
  testdriver::complete_held(STATUS_UNSUCCESSFUL);
  closer.join();
  second_closer.join();
  end_removal();
  EXPECT_EQ(closed.load(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(closed_again.load(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pin_->close(), STATUS_SUCCESS); // closed: nothing more reaches the driver
  EXPECT_EQ(commands_since(before), with_removal({SRB_CLOSE_STREAM}, {SRB_UNINITIALIZE_DEVICE}));
  EXPECT_EQ(read->status(), STATUS_CANCELLED);
  EXPECT_EQ(platform::pool_counts().failed, refused) << "the close or the removal asked the pool for memory";
  read.reset();
  EXPECT_EQ(live_irps(), irps) << "requests made in advance outlive the removal";
}

// Makes sure a removal closes the pin and uninitializes with the pool refusing everything, no open reaches
// the driver once it has begun, and a second removal returns only once the device is removed. Catches the
// driver's memory leaked for want of SRB_UNINITIALIZE_DEVICE, or a second removal's caller deleting what the
// first uses.
TEST_P(HostRemoval, RemovalInProgressRefusesOpensAndHoldsBackASecondRemoval) {
  const size_t irps = live_irps();
  open_pin();
  testdriver::set_action(SRB_UNINITIALIZE_DEVICE, Action::Hold);
  const std::vector<uint8_t> published = format();
  const size_t before = testdriver::commands().size();
  refuse_all_memory();
  begin_removal();
  EXPECT_TRUE(rig::wait_until([] { return testdriver::held() == 1; }, 10s));
  std::unique_ptr<streamclass::Pin> late;
  EXPECT_EQ(adapter_->open_pin(0, published, late), STATUS_DEVICE_REMOVED);
  std::atomic<NTSTATUS> second{STATUS_PENDING};
  std::thread second_remover([&] { second = adapter_->remove(RemovalKind::Orderly); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(second.load(), STATUS_PENDING);
  EXPECT_FALSE(adapter_->removed());
  testdriver::complete_held();
  second_remover.join();
  EXPECT_EQ(second.load(), STATUS_SUCCESS);
  EXPECT_TRUE(adapter_->removed());
  end_removal();
  EXPECT_FALSE(pin_->is_open());
  EXPECT_EQ(commands_since(before), with_removal({}, {SRB_CLOSE_STREAM, SRB_UNINITIALIZE_DEVICE}));
  EXPECT_EQ(live_irps(), irps) << "requests made in advance outlive the removal";
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostRemoval, testing::Values(RemovalKind::Orderly, RemovalKind::Surprise),
                         [](const testing::TestParamInfo<RemovalKind> &info) {
                           return info.param == RemovalKind::Orderly ? "Orderly" : "Surprise";
                         });

using HostFailedStart = StandInHost;

// Makes sure a device whose initialization failed is never told of removal and keeps no request. Catches
// SRB_UNINITIALIZE_DEVICE sent to a driver that never initialized.
TEST_F(HostFailedStart, FailedInitializationIsNeverToldOfRemoval) {
  const size_t irps = live_irps();
  testdriver::set_action(SRB_INITIALIZE_DEVICE, Action::Complete, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(start(), STATUS_UNSUCCESSFUL);
  adapter_.reset();
  EXPECT_EQ(testdriver::commands(), Commands{SRB_INITIALIZE_DEVICE});
  EXPECT_EQ(live_irps(), irps);
}

} // namespace
