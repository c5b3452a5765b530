// Removal of a device while an application opens or closes its pin, and with
// the pool refusing memory: the order of the requests the driver sees, what each
// call returns, and the requests the host makes in advance for the close and the
// removal.
#include <atomic>
#include <ostream>
#include <thread>

#include "platform/kernel/control.h"
#include "platform/kernel/pool.h"
#include "tests/streamclass/stand_in_host.h"

namespace streamclass {
// Names a removal kind in test output.
void PrintTo(RemovalKind kind, std::ostream *out) {
  *out << (kind == RemovalKind::Orderly ? "Orderly" : "Surprise");
}
} // namespace streamclass

using namespace std::chrono_literals;
using streamclass::RemovalKind;
using testdriver::Action;

namespace {

// The pool blocks of the host's request IRPs.
size_t live_irps() {
  return platform::pool_tag_counts(PoolTag("Irp ")).live_blocks;
}

// Refuses every allocation of the pool from now on.
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

  // Starts the removal on another thread and waits until it has begun (the
  // device no longer counts as started), then gives it time to go on as far as
  // it would.
  void begin_removal() {
    removed_ = STATUS_PENDING;
    remover_ = std::thread([this] { removed_ = adapter_->remove(GetParam()); });
    EXPECT_TRUE(rig::wait_until([this] { return !adapter_->started(); }, 10s)) << "the removal never began";
    std::this_thread::sleep_for(50ms);
  }
  void end_removal() {
    remover_.join();
    EXPECT_EQ(removed_.load(), STATUS_SUCCESS);
  }

  // `head`, what this kind of removal tells the driver before it closes pins, `tail`.
  static std::vector<SRB_COMMAND> with_removal(std::vector<SRB_COMMAND> head, std::vector<SRB_COMMAND> tail) {
    if (GetParam() == RemovalKind::Surprise)
      head.push_back(SRB_SURPRISE_REMOVAL);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  }

  std::thread remover_;
  std::atomic<NTSTATUS> removed_{STATUS_PENDING};
};

// Makes sure the removal waits for a close in progress, asks the driver to close
// the stream once and uninitializes the device only after, and that every close
// returns the status of that one close. Catches the driver uninitialized (its
// memory freed) while it still closes the stream.
TEST_P(HostRemoval, CloseInProgressEndsBeforeTheDeviceIsUninitialized) {
  open_pin();
  testdriver::set_action(SRB_CLOSE_STREAM, Action::Hold);
  const size_t before = testdriver::commands().size();
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
  EXPECT_EQ(commands_since(before), with_removal({SRB_CLOSE_STREAM}, {SRB_UNINITIALIZE_DEVICE}));
  EXPECT_FALSE(pin_->is_open());
  EXPECT_EQ(pin_->close(), STATUS_SUCCESS); // closed: nothing more reaches the driver
  EXPECT_EQ(commands_since(before).size(), with_removal({}, {}).size() + 2);
}

// Makes sure the removal waits for an open the driver is answering, closes the
// pin it opens before SRB_UNINITIALIZE_DEVICE and leaves alone a pin whose open
// failed. Catches a stream left open in the driver after its device is gone.
TEST_P(HostRemoval, OpenInProgressIsClosedBeforeTheDeviceIsUninitialized) {
  for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES}) {
    SCOPED_TRACE(rig::status_text(answer));
    testdriver::reset();
    ASSERT_EQ(start(), STATUS_SUCCESS);
    const std::vector<uint8_t> published = format();
    testdriver::set_action(SRB_OPEN_STREAM, Action::Hold);
    std::atomic<NTSTATUS> opened{STATUS_PENDING};
    std::thread opener([&] { opened = adapter_->open_pin(0, published, pin_); });
    EXPECT_TRUE(rig::wait_until([] { return testdriver::held() == 1; }, 10s));
    begin_removal();
    EXPECT_EQ(removed_.load(), STATUS_PENDING);
    testdriver::complete_held(answer);
    opener.join();
    end_removal();
    EXPECT_EQ(opened.load(), answer);
    const bool open = answer == STATUS_SUCCESS;
    EXPECT_EQ(commands_since(3),
              open ? with_removal({SRB_OPEN_STREAM}, {SRB_CLOSE_STREAM, SRB_UNINITIALIZE_DEVICE})
                   : with_removal({SRB_OPEN_STREAM}, {SRB_UNINITIALIZE_DEVICE}));
    EXPECT_EQ(pin_ != nullptr, open);
    if (open) {
      EXPECT_FALSE(pin_->is_open());
      EXPECT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
    }
    pin_.reset();
    adapter_.reset();
  }
}

// Makes sure that once a removal has begun an open never reaches the driver,
// and a second removal returns only when the device is removed, the driver told
// once. Catches the caller of the second removal deleting what the first uses.
TEST_P(HostRemoval, RemovalInProgressRefusesOpensAndHoldsBackASecondRemoval) {
  open_pin();
  testdriver::set_action(SRB_UNINITIALIZE_DEVICE, Action::Hold);
  begin_removal();
  EXPECT_TRUE(rig::wait_until([] { return testdriver::held() == 1; }, 10s));
  const size_t before = testdriver::commands().size();
  std::unique_ptr<streamclass::Pin> late;
  EXPECT_EQ(adapter_->open_pin(0, format(), late), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(late, nullptr);
  std::atomic<NTSTATUS> second{STATUS_PENDING};
  std::thread second_remover([&] { second = adapter_->remove(RemovalKind::Orderly); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(second.load(), STATUS_PENDING);
  EXPECT_FALSE(adapter_->removed());
  EXPECT_TRUE(commands_since(before).empty());
  testdriver::complete_held();
  second_remover.join();
  EXPECT_EQ(second.load(), STATUS_SUCCESS);
  EXPECT_TRUE(adapter_->removed());
  end_removal();
  EXPECT_EQ(count(SRB_UNINITIALIZE_DEVICE), 1);
  EXPECT_EQ(count(SRB_CLOSE_STREAM), 1);
}

// Makes sure that with no memory at all the removal still tells the driver
// everything and lets go of the requests it made in advance, also when it meets
// an application's close. Catches a pin's transfer thread left running on a
// device extension the removal frees, or the driver's memory leaked for want of
// SRB_UNINITIALIZE_DEVICE.
TEST_P(HostRemoval, RemovalTellsTheDriverEverythingWithThePoolRefusingEverything) {
  open_pin();
  const size_t before = testdriver::commands().size();
  refuse_all_memory();
  EXPECT_EQ(adapter_->remove(GetParam()), STATUS_SUCCESS);
  EXPECT_EQ(commands_since(before), with_removal({}, {SRB_CLOSE_STREAM, SRB_UNINITIALIZE_DEVICE}));
  EXPECT_FALSE(pin_->is_open());
  EXPECT_EQ(live_irps(), 0u); // only the adapter and pin objects are held now
}

TEST_P(HostRemoval, RemovalDuringAnApplicationsCloseWithThePoolRefusingEverything) {
  open_pin();
  testdriver::set_action(SRB_CLOSE_STREAM, Action::Hold);
  refuse_all_memory();
  std::thread closer([this] { EXPECT_EQ(pin_->close(), STATUS_SUCCESS); });
  EXPECT_TRUE(rig::wait_until([] { return testdriver::held() == 1; }, 10s));
  begin_removal();
  testdriver::complete_held();
  closer.join();
  end_removal();
  EXPECT_EQ(count(SRB_UNINITIALIZE_DEVICE), 1);
  EXPECT_EQ(count(SRB_CLOSE_STREAM), 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostRemoval, testing::Values(RemovalKind::Orderly, RemovalKind::Surprise),
                         [](const testing::TestParamInfo<RemovalKind> &info) {
                           return info.param == RemovalKind::Orderly ? "Orderly" : "Surprise";
                         });

class HostLowMemory : public StandInHost {};

// Makes sure a stream's close reaches the driver, and its reads come back, with
// the pool refusing everything. Catches a pin taken for closed without the
// driver knowing.
TEST_F(HostLowMemory, CloseReachesTheDriverWithThePoolRefusingEverything) {
  open_pin();
  std::unique_ptr<streamclass::FrameBuffer> buffer;
  ASSERT_EQ(pin_->submit(64, buffer), STATUS_PENDING);
  const size_t before = testdriver::commands().size();
  const uint64_t refused = platform::pool_counts().failed;
  refuse_all_memory();
  EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
  EXPECT_EQ(commands_since(before), std::vector<SRB_COMMAND>{SRB_CLOSE_STREAM});
  EXPECT_EQ(buffer->status(), STATUS_CANCELLED);
  EXPECT_EQ(platform::pool_counts().failed, refused) << "the close asked the pool for memory";
}

// Makes sure a shortage refuses the start or the open before the driver sees it
// (never the close or the removal later), that a reserved request is freed when
// its open fails or its removal does not need it, and that a device whose
// initialization failed is never told of its removal. Catches a driver
// initialized that cannot be uninitialized, or a close request kept per failed
// open until the device goes.
TEST_F(HostLowMemory, RequestsForTheCloseAndTheRemovalAreMadeInAdvance) {
  const size_t irps = live_irps();
  // The first IRPs of a start: SRB_UNINITIALIZE_DEVICE's, SRB_SURPRISE_REMOVAL's,
  // then SRB_INITIALIZE_DEVICE's.
  for (uint64_t nth = 1; nth <= 3; nth++) {
    SCOPED_TRACE(nth);
    platform::pool_fail_nth(nth, PoolTag("Irp "));
    EXPECT_EQ(start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(adapter_, nullptr);
    EXPECT_EQ(live_irps(), irps);
  }
  EXPECT_EQ(count(SRB_INITIALIZE_DEVICE), 0);
  platform::pool_faults_clear();
  ASSERT_EQ(start(), STATUS_SUCCESS);
  EXPECT_EQ(live_irps(), irps + 2) << "the removal's two requests are made at the start";

  // The open's IRPs: SRB_OPEN_STREAM's, then the reserved SRB_CLOSE_STREAM's.
  platform::pool_fail_nth(2, PoolTag("Irp "));
  EXPECT_EQ(adapter_->open_pin(0, format(), pin_), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(pin_, nullptr);
  testdriver::set_action(SRB_OPEN_STREAM, Action::Complete, STATUS_INVALID_PARAMETER);
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(adapter_->open_pin(0, format(), pin_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(live_irps(), irps + 2);
  EXPECT_EQ(count(SRB_OPEN_STREAM), 3);
  EXPECT_EQ(count(SRB_CLOSE_STREAM), 0);

  EXPECT_EQ(adapter_->remove(RemovalKind::Orderly), STATUS_SUCCESS);
  EXPECT_EQ(count(SRB_SURPRISE_REMOVAL), 0);
  EXPECT_EQ(live_irps(), irps);

  adapter_.reset();
  testdriver::set_action(SRB_INITIALIZE_DEVICE, Action::Complete, STATUS_UNSUCCESSFUL);
  const size_t before = testdriver::commands().size();
  EXPECT_EQ(start(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(live_irps(), irps);
  EXPECT_EQ(commands_since(before), std::vector<SRB_COMMAND>{SRB_INITIALIZE_DEVICE});
}

} // namespace
