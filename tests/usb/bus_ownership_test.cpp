// Who destroys what when the last owner lets go while a device model's thread still holds a
// transfer: the model's thread must never run the destructor of the model that owns it.
#include <chrono>
#include <condition_variable>
#include <mutex>

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

  void set(bool Gate::*flag) {
    std::lock_guard guard(lock);
    this->*flag = true;
    changed.notify_all();
  }
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
    return type == 1   ? emu::usb_device_descriptor()
           : type == 2 ? emu::usb_configuration_descriptor(emu::UsbIdentityVariant::Camera)
                       : std::span<const uint8_t>{};
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

// Makes sure a model's thread holding the last transfer after every owner is gone does not destroy its model.
// Catches requests owning the model through the bus's state (the thread joins itself).
TEST_F(UsbTest, AModelThreadHoldingTheLastTransferDoesNotDestroyItsModel) {
  Gate gate;
  auto model = std::make_shared<HoldingDevice>(gate);
  ASSERT_TRUE(rig_.plug(model));
  ASSERT_EQ(rig_.start(), STATUS_SUCCESS);
  TransferResult result;
  std::vector<uint8_t> buffer(64, 0xEE);
  ASSERT_EQ(transfer(result, buffer.data(), 64), STATUS_PENDING);
  gate.set(&Gate::answer);
  ASSERT_TRUE(result.wait());
  EXPECT_TRUE(result.calls == 1 && result.status == STATUS_SUCCESS && result.bytes == 4);
  EXPECT_EQ(rig_.bus().counters().completed_later, 1u);

  rig_.stop(); // every owner lets go while the model's thread still holds the transfer
  model.reset();
  gate.set(&Gate::release);
  std::unique_lock guard(gate.lock);
  EXPECT_TRUE(gate.changed.wait_for(guard, 5s, [&] { return gate.thread_ended; }));
}

} // namespace
} // namespace usbtest
