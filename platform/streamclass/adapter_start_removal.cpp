// The start and removal sequences of a device: the adapter requests they send,
// the removal requests reserved at start, the close step of removal, and the
// requests abandoned when the driver never completed them.
#include "platform/streamclass/host_internal.h"

namespace streamclass {

NTSTATUS AdapterCore::start() {
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Added)
      return STATUS_INVALID_DEVICE_STATE;
    state_ = State::Starting;
  }
  // The removal's requests are made before the driver is initialized: a device
  // that starts can always be told it goes away.
  auto initialize = reserve_removal_requests()
                        ? make_request(RequestKind::Device, SRB_INITIALIZE_DEVICE, nullptr)
                        : nullptr;
  auto *config = initialize ? initialize->add_record<PORT_CONFIGURATION_INFORMATION>() : nullptr;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (config != nullptr) {
    config->SizeOfThisPacket = sizeof(PORT_CONFIGURATION_INFORMATION);
    config->HwDeviceExtension = hw_ext_;
    config->ClassDeviceObject = fdo_;
    config->PhysicalDeviceObject = lower_;
    config->RealPhysicalDeviceObject = pdo_;
    config->AdapterInterfaceType = PNPBus;
    config->Irp = initialize->srb().Irp;
    initialize->srb().CommandData.ConfigInfo = config;
    status = call(initialize, nullptr, true);
  }
  if (NT_SUCCESS(status)) {
    // The initialization has completed: the driver has set the descriptor's size.
    start_stream_info(config->StreamDescriptorSize);
    send_internal(SRB_INITIALIZATION_COMPLETE);
  } else {
    release_removal_requests(); // a device that did not start gets no removal sequence
  }
  std::lock_guard lock(mutex_);
  state_ = NT_SUCCESS(status) ? State::Started : State::StartFailed;
  return status;
}

// Makes the removal sequence's SRB_UNINITIALIZE_DEVICE and SRB_SURPRISE_REMOVAL;
// false (none kept) when memory is short. While starting; takes mutex_.
bool AdapterCore::reserve_removal_requests() {
  auto uninitialize = make_request(RequestKind::Device, SRB_UNINITIALIZE_DEVICE, nullptr);
  auto surprise = uninitialize ? make_request(RequestKind::Device, SRB_SURPRISE_REMOVAL, nullptr) : nullptr;
  if (!surprise)
    return false;
  std::lock_guard lock(mutex_);
  uninitialize_request_ = std::move(uninitialize);
  surprise_request_ = std::move(surprise);
  return true;
}

// Lets the reserved removal requests not sent go (outside mutex_: freeing a
// request takes the pool's lock). Takes mutex_.
void AdapterCore::release_removal_requests() {
  std::shared_ptr<Request> uninitialize;
  std::shared_ptr<Request> surprise;
  std::lock_guard lock(mutex_);
  uninitialize.swap(uninitialize_request_);
  surprise.swap(surprise_request_);
}

NTSTATUS AdapterCore::remove(RemovalKind kind) {
  if (refuse_in_completion_callback("adapter removal"))
    return STATUS_INVALID_DEVICE_STATE;
  State was;
  {
    std::unique_lock lock(mutex_);
    if (state_ == State::Removing || state_ == State::Removed) {
      removed_.wait(lock, [this] { return state_ == State::Removed; });
      return STATUS_SUCCESS;
    }
    was = state_;
    state_ = State::Removing;
  }
  NTSTATUS status = was == State::Started ? removal_sequence(kind) : STATUS_SUCCESS;
  release_removal_requests();

  stop_watchdog();
  {
    // Past this point nothing calls the driver: opens and stream requests are
    // refused, the pins are closed, the watchdog has stopped, cancels are refused.
    std::unique_lock lock(mutex_);
    pins_closed_ = true;
    drained_.wait(lock, [this] { return in_flight_ == 0; });
    quiet_ = true;
  }
  abandon_outstanding(nullptr, "outstanding at device removal");
  IoDetachDevice(lower_);
  IoDeleteDevice(fdo_);
  {
    std::lock_guard lock(mutex_);
    state_ = State::Removed;
  }
  removed_.notify_all();
  return status;
}

// What a started device is told at removal: SRB_SURPRISE_REMOVAL first for a
// surprise; then, as for every removal, the pins are closed and the adapter
// uninitialized. The status of SRB_SURPRISE_REMOVAL or SRB_UNINITIALIZE_DEVICE.
// The adapter is Removing. Passive level; blocks.
NTSTATUS AdapterCore::removal_sequence(RemovalKind kind) {
  NTSTATUS status = STATUS_SUCCESS;
  if (kind == RemovalKind::Surprise)
    status = send_reserved(surprise_request_);
  close_pins();
  NTSTATUS uninitialized = send_reserved(uninitialize_request_);
  return kind == RemovalKind::Orderly ? uninitialized : status;
}

// The close step of removal. The adapter is Removing, so no open starts any more;
// the opens in progress are waited for (one not yet delivered is refused, one the
// driver has is answered), then every pin is closed: an open one here, one whose
// close is in progress on another thread by waiting for that close. After this
// step no pin close reaches the driver. Passive level; blocks.
void AdapterCore::close_pins() {
  std::vector<std::shared_ptr<PinCore>> pins;
  {
    std::unique_lock lock(mutex_);
    opens_done_.wait(lock, [this] { return opening_ == 0; });
    pins = pins_;
  }
  for (auto &pin : pins)
    pin->close();
  std::lock_guard lock(mutex_);
  pins_closed_ = true;
}

// Sends an adapter request of the start or removal sequence and waits for it.
NTSTATUS AdapterCore::send_internal(SRB_COMMAND command) {
  auto request = make_request(RequestKind::Device, command, nullptr);
  return request ? call(request, nullptr, true) : STATUS_INSUFFICIENT_RESOURCES;
}

// Sends a request the start reserved for the removal (taken from `reserved`, one
// of the members below mutex_) and waits for it. Removing; takes mutex_ briefly.
NTSTATUS AdapterCore::send_reserved(std::shared_ptr<Request> &reserved) {
  std::shared_ptr<Request> request;
  {
    std::lock_guard lock(mutex_);
    request.swap(reserved);
  }
  return request ? call(request, nullptr, true) : STATUS_INVALID_DEVICE_STATE;
}

// Abandons the outstanding requests (of `pin`, or all when NULL): they are counted
// and reported as never completed, their waiters woken.
void AdapterCore::abandon_outstanding(const PinCore *pin, const char *why) {
  std::vector<std::shared_ptr<Request>> abandoned;
  {
    std::lock_guard lock(mutex_);
    for (auto it = outstanding_.begin(); it != outstanding_.end();) {
      auto owner = RequestOps::pin(*it->second).lock();
      if (pin != nullptr && owner.get() != pin) {
        ++it;
        continue;
      }
      if (RequestOps::abandon(*it->second, why)) {
        abandoned.push_back(it->second);
        abandoned_.push_back(it->second);
      }
      it = outstanding_.erase(it);
    }
  }
  for (auto &request : abandoned)
    RequestOps::finish_abandoned(*request);
}

} // namespace streamclass
