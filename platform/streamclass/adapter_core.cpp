// One device of a driver: device objects, the start and removal sequences, the
// delivery of requests, time-outs and cancellation.
#include <cstring>

#include "platform/streamclass/host_internal.h"

namespace streamclass {

namespace {

// How long `call` waits for a request the host itself sends.
std::chrono::milliseconds wait_limit() {
  return host_options().sync_wait_limit;
}

} // namespace

// Creates the class device object with the host's header and the driver's
// zero-filled device extension behind it, attaches it above `pdo` and starts the
// watchdog. Passive level.
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

std::shared_ptr<Request> AdapterCore::make_request(RequestKind kind, SRB_COMMAND command, PinCore *pin) {
  auto request = RequestOps::create(kind, command, init().PerRequestExtensionSize, stack_size_);
  if (!request)
    return nullptr;
  HostOptions options = host_options();
  HW_STREAM_REQUEST_BLOCK &srb = request->srb();
  srb.HwDeviceExtension = hw_ext_;
  srb.StreamObject = pin != nullptr ? &pin->object() : nullptr;
  switch (kind) {
  case RequestKind::Device:
    srb.TimeoutOriginal = options.device_request_timeout;
    break;
  case RequestKind::StreamControl:
    srb.TimeoutOriginal = options.control_request_timeout;
    break;
  case RequestKind::StreamData:
    srb.TimeoutOriginal = options.data_request_timeout;
    break;
  }
  srb.TimeoutCounter = srb.TimeoutOriginal;
  RequestOps::set_owner(*request, weak_from_this(),
                        pin != nullptr ? pin->weak_from_this() : std::weak_ptr<PinCore>());
  return request;
}

// Calls one driver entry, under the per-adapter lock when the driver asked the
// stream class to serialise its requests. No host lock is held.
void AdapterCore::call_entry(DriverEntryPoint entry, PHW_STREAM_REQUEST_BLOCK srb) {
  if (serialise_) {
    std::lock_guard lock(serial_);
    entry(srb);
  } else {
    entry(srb);
  }
}

// Ends `calls` calls into the driver; signals `drained_` at 0.
void AdapterCore::leave_driver(size_t calls) {
  std::lock_guard lock(mutex_);
  in_flight_ -= calls;
  if (in_flight_ == 0)
    drained_.notify_all();
}

// deliver_as for an application's request, or (`internal`) one of the start and
// removal sequences.
NTSTATUS AdapterCore::deliver(const std::shared_ptr<Request> &request, DriverEntryPoint entry,
                              bool internal) {
  return deliver_as(request, entry, internal ? Admission::Sequence : Admission::Application);
}

// Registers the request as outstanding and hands it to the driver on this thread,
// when the adapter takes requests of `admission` now. Any thread; no host lock
// held while the driver runs.
NTSTATUS AdapterCore::deliver_as(const std::shared_ptr<Request> &request, DriverEntryPoint entry,
                                 Admission admission) {
  if (entry == nullptr) {
    if (request->kind() != RequestKind::Device)
      return STATUS_INVALID_PARAMETER; // stream requests go to the stream's entry points
    entry = init().HwReceivePacket;
  }
  {
    std::lock_guard lock(mutex_);
    if (!accepts(admission))
      return state_ == State::Removing || state_ == State::Removed ? STATUS_DEVICE_REMOVED
                                                                   : STATUS_INVALID_DEVICE_STATE;
    if (RequestOps::state(*request) != RequestState::Created)
      return STATUS_INVALID_PARAMETER; // a request block is delivered once
    outstanding_[&request->srb()] = request;
    in_flight_++;
    RequestOps::mark_delivered(*request);
  }
  counters().delivered++;
  call_entry(entry, &request->srb());
  RequestOps::mark_returned(*request);
  leave_driver(1);
  return STATUS_PENDING;
}

// call_as for an application's request, or (`internal`) one of the sequences'.
NTSTATUS AdapterCore::call(const std::shared_ptr<Request> &request, DriverEntryPoint entry, bool internal) {
  return call_as(request, entry, internal ? Admission::Sequence : Admission::Application);
}

// deliver_as, then waits for the completion (at most sync_wait_limit). Blocks.
NTSTATUS AdapterCore::call_as(const std::shared_ptr<Request> &request, DriverEntryPoint entry,
                              Admission admission) {
  NTSTATUS status = deliver_as(request, entry, admission);
  if (status != STATUS_PENDING)
    return status;
  if (!request->wait(wait_limit()))
    return STATUS_IO_TIMEOUT;
  return request->status();
}

// HwCancelPacket for an outstanding request; nothing for one that is not. A
// stream request's cancel counts as a call on its pin, so that the pin's close
// waits until the driver has completed what it took out of its queue; once the
// pin is closing its requests are not cancelled one by one (SRB_CLOSE_STREAM
// ends them), and once removal has drained the driver nothing is cancelled (the
// device is being deleted). Any thread; takes the pin's and then this adapter's
// lock briefly.
void AdapterCore::cancel(const std::shared_ptr<Request> &request) {
  std::shared_ptr<PinCore> pin;
  if (request->kind() != RequestKind::Device)
    pin = RequestOps::pin(*request).lock();
  if (pin && !pin->enter_driver_call())
    return;
  bool call = false;
  {
    std::lock_guard lock(mutex_);
    call = !quiet_ && outstanding_.find(&request->srb()) != outstanding_.end() &&
           init().HwCancelPacket != nullptr;
    if (call)
      in_flight_++;
  }
  if (call) {
    counters().cancels++;
    call_entry(init().HwCancelPacket, &request->srb());
    leave_driver(1);
  }
  if (pin)
    pin->leave_driver_call();
}

void AdapterCore::completed(const Request &request) {
  std::lock_guard lock(mutex_);
  outstanding_.erase(&request.srb());
}

// Every tick: counts down the time limit of each outstanding request and calls
// HwRequestTimeoutHandler for those that reach 0, with no host lock held.
void AdapterCore::watchdog_loop(std::chrono::milliseconds tick) {
  std::unique_lock lock(mutex_);
  while (!watchdog_stop_) {
    if (watchdog_wake_.wait_for(lock, tick, [this] { return watchdog_stop_; }))
      break;
    std::vector<std::shared_ptr<Request>> expired;
    for (auto &[srb, request] : outstanding_) {
      HW_STREAM_REQUEST_BLOCK &block = request->srb();
      if (block.TimeoutCounter > 0 && --block.TimeoutCounter == 0)
        expired.push_back(request);
    }
    if (expired.empty() || init().HwRequestTimeoutHandler == nullptr)
      continue;
    in_flight_ += expired.size();
    lock.unlock();
    for (auto &request : expired) {
      counters().timeouts++;
      call_entry(init().HwRequestTimeoutHandler, &request->srb());
    }
    const size_t calls = expired.size();
    expired.clear();
    lock.lock();
    in_flight_ -= calls;
    if (in_flight_ == 0)
      drained_.notify_all();
  }
}

void AdapterCore::stop_watchdog() {
  {
    std::lock_guard lock(mutex_);
    watchdog_stop_ = true;
  }
  watchdog_wake_.notify_all();
  if (watchdog_.joinable() && watchdog_.get_id() != std::this_thread::get_id())
    watchdog_.join();
}

// The start sequence: SRB_INITIALIZE_DEVICE alone, then the stream descriptor, then
// SRB_INITIALIZATION_COMPLETE. Passive level; blocks until each request completes.
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

// The removal sequence; see RemovalKind. Passive level; blocks until the driver has
// answered and every call into it has returned. Not from a driver callback. A
// removal that finds another in progress waits for it to end.
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

bool AdapterCore::format_ok(std::span<const uint8_t> format) {
  if (format.size() < sizeof(KSDATAFORMAT))
    return false;
  KSDATAFORMAT header;
  std::memcpy(&header, format.data(), sizeof(header));
  return header.FormatSize >= sizeof(KSDATAFORMAT) && header.FormatSize <= format.size();
}

// SRB_OPEN_STREAM with a new stream object and a zero-filled stream extension.
// The open counts as in progress from its state check until the pin is open or
// the open has failed, so that a removal begun meanwhile closes the pin it opens.
// Passive level; blocks until the driver has answered.
NTSTATUS AdapterCore::open_pin(ULONG stream, std::span<const uint8_t> format, std::shared_ptr<PinCore> &out,
                               bool checked) {
  if (!format_ok(format))
    return STATUS_INVALID_PARAMETER;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Started)
      return state_ == State::Removing || state_ == State::Removed ? STATUS_DEVICE_REMOVED
                                                                   : STATUS_INVALID_DEVICE_STATE;
    opening_++;
  }
  NTSTATUS status = open_counted(stream, format, out, checked);
  {
    std::lock_guard lock(mutex_);
    if (--opening_ == 0)
      opens_done_.notify_all();
  }
  return status;
}

// The open past its state check (see open_pin). A removal that begins before the
// request is delivered has it refused (STATUS_DEVICE_REMOVED).
NTSTATUS AdapterCore::open_counted(ULONG stream, std::span<const uint8_t> format,
                                   std::shared_ptr<PinCore> &out, bool checked) {
  if (checked) {
    const HW_STREAM_INFORMATION *info = stream_information(stream);
    if (info == nullptr)
      return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    if (open_instances_.size() <= stream)
      open_instances_.resize(stream + 1);
    if (open_instances_[stream] >= info->NumberOfPossibleInstances)
      return STATUS_DEVICE_BUSY;
  }
  auto pin = std::make_shared<PinCore>(weak_from_this(), stream, init().PerStreamExtensionSize, hw_ext_);
  auto request = pin->ok() ? make_request(RequestKind::Device, SRB_OPEN_STREAM, pin.get()) : nullptr;
  // The close is made now: once the driver has the stream, closing it must not
  // depend on memory being available.
  auto close = request ? make_request(RequestKind::Device, SRB_CLOSE_STREAM, pin.get()) : nullptr;
  KSDATAFORMAT format_header;
  std::memcpy(&format_header, format.data(), sizeof(format_header));
  void *copy = close ? request->add_block(format_header.FormatSize) : nullptr;
  if (copy == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  pin->reserve_close(std::move(close));
  std::memcpy(copy, format.data(), format_header.FormatSize);
  request->srb().CommandData.OpenFormat = static_cast<KSDATAFORMAT *>(copy);
  {
    // The stream object must outlive any driver call that may look at it.
    std::lock_guard lock(mutex_);
    pins_.push_back(pin);
  }
  NTSTATUS status = call(request);
  if (!NT_SUCCESS(status)) {
    pin->open_failed();
    return status;
  }
  // Counted once the driver has taken the pin; two opens racing past the check above
  // are both delivered, and the driver refuses the one it cannot serve.
  pin->opened();
  {
    std::lock_guard lock(mutex_);
    if (open_instances_.size() <= stream)
      open_instances_.resize(stream + 1);
    open_instances_[stream]++;
  }
  out = std::move(pin);
  return status;
}

// SRB_CLOSE_STREAM for `pin` (the request reserved at its open), admitted while
// removal has not passed its close step, then the pin's outstanding requests
// abandoned and its instance freed. Passive level; blocks.
NTSTATUS AdapterCore::close_stream(PinCore &pin) {
  // The close request was reserved at the open; an open pin always has one.
  auto request = pin.take_close();
  NTSTATUS status = request ? call_as(request, nullptr, Admission::PinClose) : STATUS_INVALID_DEVICE_STATE;
  pin_closed(pin);
  return status;
}

// After the close: abandons the pin's outstanding requests, frees its instance.
void AdapterCore::pin_closed(PinCore &pin) {
  abandon_outstanding(&pin, "outstanding at stream close");
  std::lock_guard lock(mutex_);
  if (open_instances_.size() > pin.stream() && open_instances_[pin.stream()] > 0)
    open_instances_[pin.stream()]--;
}

} // namespace streamclass
