// One device of a driver: its class device object, made over the physical device
// object, and which requests it admits in each state of its life.
#include "platform/streamclass/host_internal.h"

namespace streamclass {

NTSTATUS AdapterCore::create(std::shared_ptr<DriverCore> driver, PDEVICE_OBJECT pdo,
                             std::shared_ptr<AdapterCore> &out) {
  if (pdo == nullptr)
    return STATUS_INVALID_PARAMETER;
  std::shared_ptr<AdapterCore> core(new AdapterCore(std::move(driver)));
  const HW_INITIALIZATION_DATA &init = core->init();
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(core->driver_->driver_object(),
                                   static_cast<ULONG>(kClassHeaderSize + init.DeviceExtensionSize), nullptr,
                                   FILE_DEVICE_KS, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status))
    return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (lower == nullptr) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;

  auto *header = static_cast<CLASS_DEVICE_HEADER *>(fdo->DeviceExtension);
  header->Signature = 0x78644353; // "SCdx"
  header->Adapter = core.get();
  core->fdo_ = fdo;
  core->pdo_ = pdo;
  core->lower_ = lower;
  core->stack_size_ = fdo->StackSize;
  core->hw_ext_ = static_cast<uint8_t *>(fdo->DeviceExtension) + kClassHeaderSize;
  core->serialise_ = !init.TurnOffSynchronization;
  core->watchdog_ = std::thread(&AdapterCore::watchdog_loop, core.get(), host_options().tick);
  out = std::move(core);
  return STATUS_SUCCESS;
}

// The devices are gone by now (Adapter removes them before it lets go); what is
// left is memory the driver may no longer look at.
AdapterCore::~AdapterCore() {
  stop_watchdog();
}

AdapterCore::State AdapterCore::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

// Whether a request of `admission` may be delivered now; the adapter's lock is
// held. While removing, the removal's own requests go through, and pin closes
// until removal's close step is over: a close never reaches the driver after
// SRB_UNINITIALIZE_DEVICE has been sent, nor after the device is deleted.
bool AdapterCore::accepts(Admission admission) const {
  switch (state_) {
  case State::Added:
  case State::Started:
  case State::StartFailed:
    return true;
  case State::Starting:
    return admission == Admission::Sequence;
  case State::Removing:
    return admission == Admission::Sequence || (admission == Admission::PinClose && !pins_closed_);
  case State::Removed:
    return false;
  }
  return false;
}

} // namespace streamclass
