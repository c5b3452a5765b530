// The host with the pool refusing memory: a stream's close and a device's
// removal still reach the driver, and the requests made for them in advance
// are counted in the pool and let go when they are not needed.
#include <algorithm>
#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

#include "platform/kernel/control.h"
#include "tests/streamclass/test_driver_fixture.h"

namespace streamclass {
// Names a removal kind in test output.
void PrintTo(RemovalKind kind, std::ostream *out);
} // namespace streamclass

using namespace streamclass;
using testdriver::Action;

namespace {

constexpr ULONG kIrpTag = 0x20707249; // "Irp ": the pool blocks of the host's request IRPs

class HostLowMemory : public TestDriverHost {
protected:
  void TearDown() override {
    platform::pool_faults_clear();
    TestDriverHost::TearDown();
  }

  // Refuses every allocation of the pool, whatever its tag, from now on.
  static void refuse_all_memory() {
    platform::pool_fail_random(0, 1.0, 1);
    platform::pool_fail_tag(kIrpTag);
  }

  // The commands the driver received from index `from` on.
  static std::vector<SRB_COMMAND> commands_since(size_t from) {
    auto all = testdriver::commands();
    return from < all.size() ? std::vector<SRB_COMMAND>(all.begin() + static_cast<long>(from), all.end())
                             : std::vector<SRB_COMMAND>{};
  }

  static bool received(SRB_COMMAND command) {
    auto all = testdriver::commands();
    return std::find(all.begin(), all.end(), command) != all.end();
  }

  // IRP blocks of the pool allocated during this test and still live.
  size_t live_irps() const {
    auto blocks = platform::pool_live_blocks_since(pool_baseline());
    return static_cast<size_t>(std::count_if(blocks.begin(), blocks.end(),
                                             [](const platform::PoolBlock &b) { return b.tag == kIrpTag; }));
  }
};

class HostLowMemoryRemoval : public HostLowMemory, public ::testing::WithParamInterface<RemovalKind> {};

// Close and removal with no memory at all: makes sure the driver is still told
// SRB_CLOSE_STREAM, SRB_SURPRISE_REMOVAL and SRB_UNINITIALIZE_DEVICE, and that
// the stream's reads come back. Example failure: the pin taken for closed
// without the driver knowing, its transfer thread running on a device
// extension that removal frees; the driver's memory leaked for want of
// SRB_UNINITIALIZE_DEVICE.

TEST_F(HostLowMemory, CloseReachesTheDriverWithThePoolRefusingEverything) {
  open_pin();
  std::unique_ptr<FrameBuffer> buffer;
  bool read_ended = false;
  ASSERT_EQ(pin_->submit(64, buffer, [&](const Frame &) { read_ended = true; }), STATUS_PENDING);
  const size_t before = testdriver::commands().size();
  const uint64_t refused_before = platform::pool_counts().failed;
  refuse_all_memory();

  EXPECT_EQ(pin_->close(), STATUS_SUCCESS);
  EXPECT_EQ(commands_since(before), std::vector<SRB_COMMAND>{SRB_CLOSE_STREAM});
  EXPECT_FALSE(pin_->is_open());
  EXPECT_TRUE(read_ended) << "the driver never gave the stream's read back";
  EXPECT_EQ(testdriver::queued_reads(), 0u);
  EXPECT_EQ(platform::pool_counts().failed, refused_before) << "the close asked the pool for memory";
}

TEST_P(HostLowMemoryRemoval, RemovalTellsTheDriverEverythingWithThePoolRefusingEverything) {
  open_pin();
  const size_t before = testdriver::commands().size();
  refuse_all_memory();

  EXPECT_EQ(adapter_->remove(GetParam()), STATUS_SUCCESS);
  std::vector<SRB_COMMAND> expected;
  if (GetParam() == RemovalKind::Surprise)
    expected.push_back(SRB_SURPRISE_REMOVAL);
  expected.push_back(SRB_CLOSE_STREAM);
  expected.push_back(SRB_UNINITIALIZE_DEVICE);
  EXPECT_EQ(commands_since(before), expected);
  EXPECT_TRUE(adapter_->removed());
  EXPECT_FALSE(pin_->is_open());
  // Only the adapter and the pin objects are held now: none of their requests.
  EXPECT_EQ(live_irps(), 0u);
}

TEST_P(HostLowMemoryRemoval, RemovalDuringAnApplicationsCloseWithThePoolRefusingEverything) {
  open_pin();
  testdriver::set_action(SRB_CLOSE_STREAM, Action::Hold);
  refuse_all_memory();
  std::thread closer([this] { EXPECT_EQ(pin_->close(), STATUS_SUCCESS); });
  while (testdriver::held() == 0)
    std::this_thread::yield();
  std::thread remover([this] { EXPECT_EQ(adapter_->remove(GetParam()), STATUS_SUCCESS); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  testdriver::complete_held();
  closer.join();
  remover.join();
  EXPECT_TRUE(received(SRB_UNINITIALIZE_DEVICE));
  auto all = testdriver::commands();
  EXPECT_EQ(std::count(all.begin(), all.end(), SRB_CLOSE_STREAM), 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostLowMemoryRemoval,
                         ::testing::Values(RemovalKind::Orderly, RemovalKind::Surprise));

// Requests made in advance: makes sure a shortage refuses the start or the open
// before the driver sees it (never the close or the removal later), and that
// a reserved request not needed is freed at once. Example failure: a driver
// initialized that cannot be uninitialized; a close request per failed open
// kept until the device goes.

TEST_F(HostLowMemory, StartWithoutMemoryForItsRemovalIsRefusedBeforeTheDriverIsInitialized) {
  // The first IRPs of a start: SRB_UNINITIALIZE_DEVICE, SRB_SURPRISE_REMOVAL, then
  // SRB_INITIALIZE_DEVICE.
  for (uint64_t nth = 1; nth <= 3; nth++) {
    SCOPED_TRACE(nth);
    platform::pool_fail_nth(nth, kIrpTag);
    EXPECT_EQ(start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(received(SRB_INITIALIZE_DEVICE));
    EXPECT_EQ(adapter_, nullptr);
    EXPECT_EQ(live_irps(), 0u);
  }
  platform::pool_faults_clear();
  EXPECT_EQ(start(), STATUS_SUCCESS);
}

TEST_F(HostLowMemory, OpenWithoutMemoryForItsCloseIsRefusedBeforeTheDriverSeesIt) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto format = adapter_->data_ranges(0)[0];
  const size_t irps = live_irps();
  // The open's IRPs: SRB_OPEN_STREAM's, then the reserved SRB_CLOSE_STREAM's.
  platform::pool_fail_nth(2, kIrpTag);
  EXPECT_EQ(adapter_->open_pin(0, format, pin_), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(pin_, nullptr);
  EXPECT_FALSE(received(SRB_OPEN_STREAM));
  EXPECT_EQ(live_irps(), irps);
  EXPECT_EQ(adapter_->open_pin(0, format, pin_), STATUS_SUCCESS);
}

TEST_F(HostLowMemory, FailedOpenFreesItsReservedClose) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto format = adapter_->data_ranges(0)[0];
  const size_t irps = live_irps();
  testdriver::set_action(SRB_OPEN_STREAM, Action::Complete, STATUS_INVALID_PARAMETER);
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(adapter_->open_pin(0, format, pin_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(live_irps(), irps);
  EXPECT_FALSE(received(SRB_CLOSE_STREAM));
}

TEST_F(HostLowMemory, RequestsHeldForTheRemovalAreFreedWhenNotSent) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  EXPECT_EQ(live_irps(), 2u) << "SRB_UNINITIALIZE_DEVICE and SRB_SURPRISE_REMOVAL are held from the start";
  EXPECT_EQ(adapter_->remove(RemovalKind::Orderly), STATUS_SUCCESS);
  EXPECT_FALSE(received(SRB_SURPRISE_REMOVAL));
  EXPECT_EQ(live_irps(), 0u);

  // A device whose initialization fails is never told of its removal.
  adapter_.reset();
  testdriver::set_action(SRB_INITIALIZE_DEVICE, Action::Complete, STATUS_UNSUCCESSFUL);
  ASSERT_EQ(driver().add_device(pdo(), adapter_), STATUS_SUCCESS);
  const size_t before = testdriver::commands().size();
  EXPECT_EQ(adapter_->start(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(live_irps(), 0u);
  EXPECT_EQ(adapter_->remove(RemovalKind::Surprise), STATUS_SUCCESS);
  EXPECT_EQ(commands_since(before), std::vector<SRB_COMMAND>{SRB_INITIALIZE_DEVICE});
}

} // namespace
