// A lower test driver for the I/O manager tests: one device that answers
// device-control requests at once (completing them in the caller's context)
// or pends them for the test to complete later, from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"

struct TestBus {
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  std::atomic<bool> pend{false};                // pend instead of completing at once
  std::atomic<NTSTATUS> status{STATUS_SUCCESS}; // status of immediate completions
  std::atomic<ULONG_PTR> information{0};        // byte count of immediate completions
  std::function<void(PIRP)> on_dispatch;        // runs in dispatch before an immediate completion
  std::atomic<int> dispatched{0};
  KSPIN_LOCK lock;    // guards `pending`
  LIST_ENTRY pending; // pended IRPs, linked through Tail.Overlay.ListEntry

  // Creates the driver and its device (named `name`, may be NULL).
  static std::unique_ptr<TestBus> create(const char16_t *name = nullptr) {
    auto bus = std::make_unique<TestBus>();
    KeInitializeSpinLock(&bus->lock);
    InitializeListHead(&bus->pending);
    bus->driver = platform::driver_create(u"\\Driver\\TestBus");
    bus->driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    bus->driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
    UNICODE_STRING device_name;
    RtlInitUnicodeString(&device_name, name);
    if (IoCreateDevice(bus->driver, sizeof(TestBus *), name != nullptr ? &device_name : nullptr,
                       FILE_DEVICE_UNKNOWN, 0, FALSE, &bus->device) == STATUS_SUCCESS)
      *static_cast<TestBus **>(bus->device->DeviceExtension) = bus.get();
    return bus;
  }

  ~TestBus() {
    if (driver != nullptr)
      platform::driver_delete(driver);
  }

  static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
    TestBus *bus = *static_cast<TestBus **>(device->DeviceExtension);
    bus->dispatched++;
    if (bus->pend) {
      IoMarkIrpPending(irp);
      KIRQL old = KfAcquireSpinLock(&bus->lock);
      InsertTailList(&bus->pending, &irp->Tail.Overlay.ListEntry);
      KfReleaseSpinLock(&bus->lock, old);
      return STATUS_PENDING;
    }
    NTSTATUS status = bus->status;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = bus->information;
    if (bus->on_dispatch)
      bus->on_dispatch(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status; // the IRP may be gone now
  }

  // Takes the oldest pended IRP, waiting up to `timeout` for one.
  PIRP take_pending(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      KIRQL old = KfAcquireSpinLock(&lock);
      PIRP irp = nullptr;
      if (!IsListEmpty(&pending))
        irp = CONTAINING_RECORD(RemoveHeadList(&pending), IRP, Tail.Overlay.ListEntry);
      KfReleaseSpinLock(&lock, old);
      if (irp != nullptr || std::chrono::steady_clock::now() > deadline)
        return irp;
      std::this_thread::yield();
    }
  }

  // Completes a pended IRP as a bus would from its own context, at
  // DISPATCH_LEVEL.
  static void complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    KIRQL old = KeRaiseIrqlToDpcLevel();
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
  }
};
