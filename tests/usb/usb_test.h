// Fixture of the USB tests: the scripted device on the bus driver, the debug channel into a
// line recorder, and helpers to look at the log and to receive transfer callbacks.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_msg.h"
#include "emulator/usb/scripted_device.h"
#include "platform/debugdev/line_recorder.h"
#include "platform/usbbus/usb_bus.h"
#include "tests/support/platform_test.h"
#include "usb/qrnusb.h"

namespace usbtest {

// What one QRNUSB_ReadWrite reported through its callback.
struct TransferResult {
  KEVENT Done; // notification: set by the callback
  std::atomic<int> Calls{0};
  std::atomic<ULONG> Bytes{0};
  std::atomic<NTSTATUS> Status{STATUS_PENDING};
  std::thread::id Thread;          // where the callback ran (written before Done is set)
  size_t LiveBlocksAtCallback = 0; // transport blocks still live when the callback ran
  uint64_t PoolBaseline = 0;       // allocation number before the transfer

  TransferResult() { KeInitializeEvent(&Done, NotificationEvent, FALSE); }
  // Waits for the callback (at most 5 s); true when it came.
  bool wait();
};

// The QRNUSB_RW_CALLBACK of the tests: records the result, logs "TEST CALLBACK\n" (so that its
// place among the transport's log lines shows) and sets Done.
NTSTATUS RecordTransfer(PVOID Context, ULONG Length, NTSTATUS Status);

class UsbTest : public PlatformTest {
protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs a scripted device of `variant` into a new bus.
  void attach(emu::UsbIdentityVariant variant = emu::UsbIdentityVariant::Camera);
  // Plugs `model` (a device model of the test) into a new bus.
  void attach_model(std::shared_ptr<usbbus::UsbDeviceModel> model);
  PDEVICE_OBJECT pdo() const { return bus_->physical_device_object(); }

  // Reads the configuration and selects it as device initialization does; the interface block
  // is kept in interface_ (freed at the end of the test).
  void configure();
  PUSBD_PIPE_INFORMATION pipe(ULONG index) const { return interface_->Pipes + index; }
  // The pipe of the bulk endpoint `address`.
  PUSBD_PIPE_INFORMATION pipe_of(UCHAR address) const;

  // Every logged message so far, and the position of one (or npos).
  std::vector<std::string> log() const { return recorder_->lines(); }
  size_t position(const std::string &message, size_t from = 0) const;
  size_t count(const std::string &message) const;

  std::shared_ptr<platform::LineRecorder> recorder_ = std::make_shared<platform::LineRecorder>();
  std::shared_ptr<emu::ScriptedUsbDevice> device_;
  std::unique_ptr<usbbus::UsbBus> bus_;
  PUSBD_INTERFACE_INFORMATION interface_ = nullptr;
};

} // namespace usbtest
