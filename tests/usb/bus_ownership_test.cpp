// Who destroys what when the last owner lets go while a device model's thread still holds a
// transfer: the model's thread must never run the destructor of the model that owns it.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/usb/usb_fixture.h"

namespace usbtest {
namespace {

using namespace std::chrono_literals;

// What the test and the model's thread tell each other; owned by the test, so it outlives the
// model.
struct Gate {
  std::mutex lock;
  std::condition_variable changed;
  bool answer = false;       // the test: answer the waiting IN transfer now
  bool release = false;      // the test: let go of the answered transfer
  bool thread_ended = false; // the model: its thread has returned
};

// A device with the camera's descriptors whose thread answers an IN transfer when told, finishes
// it on its own thread (as the emulated camera does), and then keeps its handle until the test
// or the model's destruction lets it go.
class HoldingDevice final : public usbbus::UsbDeviceModel {
public:
  explicit HoldingDevice(Gate &gate) : gate_(gate), thread_([this] { run(); }) {}
  ~HoldingDevice() override {
    {
      std::lock_guard guard(gate_.lock);
      stop_ = true;
    }
    gate_.changed.notify_all();
    thread_.join();
  }

  std::span<const uint8_t> descriptor(uint8_t type, uint8_t, uint16_t) override {
    if (type == 1)
      return emu::usb_device_descriptor();
    if (type == 2)
      return emu::usb_configuration_descriptor(emu::UsbIdentityVariant::Camera);
    return {};
  }
  void submit(const usbbus::TransferHandle &transfer) override {
    std::lock_guard guard(gate_.lock);
    waiting_ = transfer;
  }

private:
  void run() {
    std::unique_lock guard(gate_.lock);
    gate_.changed.wait(guard, [this] { return gate_.answer || stop_; });
    usbbus::TransferHandle held = std::move(waiting_);
    if (held && !stop_) {
      usbbus::ThreadCompletions completions;
      const uint8_t data[4] = {1, 2, 3, 4};
      held->complete_in(data);
      guard.unlock();
      completions.finish();
      guard.lock();
    }
    gate_.changed.wait(guard, [this] { return gate_.release || stop_; });
    guard.unlock();
    held.reset(); // may be the last reference of the transfer
    guard.lock();
    gate_.thread_ended = true;
    gate_.changed.notify_all();
  }

  Gate &gate_;
  bool stop_ = false;              // guarded by gate_.lock
  usbbus::TransferHandle waiting_; // guarded by gate_.lock
  std::thread thread_;
};

// Makes sure that a device model's thread holding the last reference of a finished transfer
// after the bus and every other owner of the model are gone does not destroy the model from
// that thread, and that nothing is left behind. Catches requests that own the bus's state and,
// through it, the model (the model's thread then joins itself: "Resource deadlock avoided").
TEST_F(UsbTest, AModelThreadHoldingTheLastTransferDoesNotDestroyItsModel) {
  Gate gate;
  auto model = std::make_shared<HoldingDevice>(gate);
  ASSERT_TRUE(rig_.plug(model));
  ASSERT_EQ(rig_.start(), STATUS_SUCCESS);

  TransferResult result;
  std::vector<uint8_t> buffer(64, 0xEE);
  ASSERT_EQ(transfer(result, buffer.data(), 64), STATUS_PENDING);
  {
    std::lock_guard guard(gate.lock);
    gate.answer = true;
  }
  gate.changed.notify_all();
  ASSERT_TRUE(result.wait());
  EXPECT_EQ(result.calls, 1);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.bytes, 4u);
  const usbbus::UsbBus::Counters counters = rig_.bus().counters();
  EXPECT_EQ(counters.completed_later, 1u);
  EXPECT_EQ(counters.cancelled + counters.device_gone, 0u);

  // Every owner lets go while the model's thread still holds the transfer; then the thread
  // drops it.
  rig_.stop();
  model.reset();
  {
    std::lock_guard guard(gate.lock);
    gate.release = true;
  }
  gate.changed.notify_all();
  std::unique_lock guard(gate.lock);
  EXPECT_TRUE(gate.changed.wait_for(guard, 5s, [&] { return gate.thread_ended; }));
}

} // namespace
} // namespace usbtest
