// A lower device for the IRP tests that acts as a bus does: it completes each
// request at once with success or, with `pend`, parks it with a cancel routine
// until the test takes it back or it is cancelled.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"

// Owns its driver object and device; destroy it after its last request ended.
struct TestBus {
  PDRIVER_OBJECT driver = platform::driver_create(u"\\Driver\\TestBus");
  PDEVICE_OBJECT device = nullptr;
  std::atomic<bool> pend{false};
  std::mutex lock;         // guards `parked`
  std::deque<PIRP> parked; // oldest first

  TestBus() {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    if (IoCreateDevice(driver, sizeof(TestBus *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device) ==
        STATUS_SUCCESS)
      *static_cast<TestBus **>(device->DeviceExtension) = this;
  }
  ~TestBus() { platform::driver_delete(driver); }
  static TestBus &of(PDEVICE_OBJECT device) { return **static_cast<TestBus **>(device->DeviceExtension); }

  static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (!of(device).pend) {
      complete(irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    }
    IoMarkIrpPending(irp);
    std::lock_guard<std::mutex> hold(of(device).lock);
    of(device).parked.push_back(irp);
    IoSetCancelRoutine(irp, cancel);
    return STATUS_PENDING;
  }

  // Takes a parked IRP off the list if it is still there; completes it as cancelled.
  static VOID cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
      std::lock_guard<std::mutex> hold(of(device).lock);
      std::erase(of(device).parked, irp);
    }
    complete(irp, STATUS_CANCELLED);
  }

  // Takes back the oldest parked IRP not being cancelled, waiting up to `timeout`; NULL when none came.
  PIRP take_parked(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      PIRP irp = nullptr;
      bool cancelling = false;
      {
        // The cancel routine is cleared under the lock: a cancel that won it
        // takes the lock before it completes (and frees) the IRP.
        std::lock_guard<std::mutex> hold(lock);
        if (!parked.empty()) {
          irp = parked.front();
          parked.pop_front();
          cancelling = IoSetCancelRoutine(irp, nullptr) == nullptr;
        }
      }
      if (irp != nullptr && !cancelling)
        return irp; // else its cancel routine owns it
      if (irp == nullptr && std::chrono::steady_clock::now() > deadline)
        return nullptr;
      std::this_thread::yield();
    }
  }

  // Completes an IRP as a bus does from its own context, at DISPATCH_LEVEL.
  static void complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
  }
};
