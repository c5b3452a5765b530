// The life of a bus request after it was received: ending, finishing, cancelling, and the
// host-controller thread that finishes requests that pended.
#include "platform/kernel/irql.h"
#include "platform/usbbus/usb_bus_core.h"
#include "platform/usbbus/usb_status.h"

#include <algorithm>
#include <cstring>

namespace usbbus {

BusRequest::BusRequest(std::shared_ptr<BusCore> owner, RequestKind request_kind, PIRP packet, PURB block)
    : core(std::move(owner)), kind(request_kind), irp(packet), urb(block) {}

bool BusRequest::complete_in(std::span<const uint8_t> data) {
  std::lock_guard<std::mutex> guard(core->lock);
  if (state != RequestState::Active || !is_in())
    return false;
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(data.size(), requested));
  if (n > 0)
    std::memcpy(buffer, data.data(), n);
  USBD_STATUS result = USBD_STATUS_SUCCESS;
  if (data.size() > requested)
    result = USBD_STATUS_DATA_OVERRUN; // the device babbled past the end of the buffer
  else if (n < requested && !short_ok)
    result = USBD_STATUS_ERROR_SHORT_TRANSFER;
  return end_request_locked(*core, *this, result, n);
}

bool BusRequest::complete_out(uint32_t accepted) {
  std::lock_guard<std::mutex> guard(core->lock);
  if (state != RequestState::Active || is_in())
    return false;
  return end_request_locked(*core, *this, USBD_STATUS_SUCCESS, std::min(accepted, requested));
}

bool BusRequest::fail(TransferOutcome outcome, uint32_t moved) {
  std::lock_guard<std::mutex> guard(core->lock);
  if (state != RequestState::Active)
    return false;
  const USBD_STATUS result = usbd_status_from_outcome(outcome);
  if (result == USBD_STATUS_STALL_PID) {
    for (Pipe &pipe : core->pipes)
      if (pipe.endpoint == endpoint)
        pipe.halted = true;
  }
  return end_request_locked(*core, *this, result, std::min(moved, requested));
}

bool BusRequest::is_active() const {
  std::lock_guard<std::mutex> guard(core->lock);
  return state == RequestState::Active;
}

bool end_request_locked(BusCore &core, BusRequest &request, USBD_STATUS status, uint32_t bytes) {
  if (request.state != RequestState::Active)
    return false;
  request.state = RequestState::Ended;
  request.status = status;
  request.bytes = bytes;
  if (status == USBD_STATUS_CANCELED)
    ++core.counters.cancelled;
  else if (status == USBD_STATUS_DEVICE_GONE)
    ++core.counters.device_gone;
  if (!request.in_dispatch) {
    BusRequestPtr self = request.shared_from_this();
    if (request.kind == RequestKind::Transfer && ThreadCompletions::keep(self))
      return true;
    core.finish_queue.push_back(std::move(self));
    core.hc_wake.notify_all();
  }
  return true;
}

// ---------------------------------------------------------------------------
// Completions finished on a device model's own thread

namespace {

// The innermost ThreadCompletions of this thread, or NULL.
thread_local ThreadCompletions *t_completions = nullptr;
// This thread is inside ThreadCompletions::finish.
thread_local bool t_finishing = false;

// Hands an ended transfer to its bus's host-controller thread. No bus lock held.
void queue_for_host_controller(const TransferHandle &transfer) {
  const BusRequestPtr request = std::static_pointer_cast<BusRequest>(transfer);
  BusCore &core = *request->core;
  std::lock_guard<std::mutex> guard(core.lock);
  core.finish_queue.push_back(request);
  core.hc_wake.notify_all();
}

} // namespace

ThreadCompletions::ThreadCompletions() : outer_(t_completions) {
  t_completions = this;
}

// Kept transfers not finished go to the host-controller thread: the caller may still hold a
// lock here.
ThreadCompletions::~ThreadCompletions() {
  t_completions = outer_;
  for (const TransferHandle &transfer : ended_)
    queue_for_host_controller(transfer);
}

// Called by end_request_locked with the request's bus lock held: only the thread-local list is
// touched.
bool ThreadCompletions::keep(const TransferHandle &transfer) {
  ThreadCompletions *current = t_completions;
  if (current == nullptr || !current->collecting_)
    return false;
  current->ended_.push_back(transfer);
  return true;
}

// Completion routines run here and may submit, cancel or even remove the device: what they
// end goes to the host-controller thread, so a routine never waits on this loop.
void ThreadCompletions::finish() {
  collecting_ = false;
  const bool outer_finishing = t_finishing;
  t_finishing = true;
  std::vector<TransferHandle> ended;
  ended.swap(ended_);
  for (const TransferHandle &transfer : ended) {
    const BusRequestPtr request = std::static_pointer_cast<BusRequest>(transfer);
    finish_request(*request->core, request, true);
  }
  t_finishing = outer_finishing;
  collecting_ = true;
}

bool finishing_on_this_thread() {
  return t_finishing;
}

std::vector<BusRequestPtr> end_pending_locked(BusCore &core, USBD_STATUS status, bool controls_too,
                                              const uint8_t *only_endpoint) {
  std::vector<BusRequestPtr> ended;
  for (auto &[id, request] : core.pending) {
    if (request->kind == RequestKind::Control && !controls_too)
      continue;
    if (only_endpoint != nullptr &&
        (request->kind != RequestKind::Transfer || request->endpoint != *only_endpoint))
      continue;
    if (end_request_locked(core, *request, status, 0) && request->kind == RequestKind::Transfer)
      ended.push_back(request);
  }
  return ended;
}

bool take_fault(BusCore &core, USHORT function, USBD_STATUS *status) {
  std::lock_guard<std::mutex> guard(core.lock);
  for (RequestFault &fault : core.faults) {
    if (fault.remaining > 0 && (fault.function == UsbBus::kAnyFunction || fault.function == function)) {
      --fault.remaining;
      *status = fault.status;
      return true;
    }
  }
  return false;
}

void notify_cancelled(BusCore &core, const std::vector<BusRequestPtr> &ended) {
  if (ended.empty())
    return;
  DeviceCall call(core);
  if (!call.ok())
    return;
  for (const BusRequestPtr &request : ended)
    core.device->cancel(request);
}

void publish_request_locked(BusCore &core, const BusRequestPtr &request) {
  core.pending.emplace(request->request_id, request);
  // The cancel routine finds the request by this number; the packet is the bus's while pending.
  request->irp->Tail.Overlay.DriverContext[0] =
      reinterpret_cast<PVOID>(static_cast<uintptr_t>(request->request_id));
  IoSetCancelRoutine(request->irp, bus_cancel_routine);
  if (request->irp->Cancel && IoSetCancelRoutine(request->irp, nullptr) != nullptr)
    end_request_locked(core, *request, USBD_STATUS_CANCELED, 0);
}

namespace {

// The trace event of a finished request.
void trace_completion(BusCore &core, const BusRequest &request) {
  if (!core.trace.enabled())
    return;
  TraceEvent event;
  event.id = request.request_id;
  event.event = 'C';
  event.usbd_status = request.status;
  event.length = request.bytes;
  if (request.kind == RequestKind::Transfer) {
    event.type = request.trace_type;
    event.endpoint = request.endpoint;
    if (request.is_in())
      event.data = std::span<const uint8_t>(request.buffer, request.bytes);
  } else {
    event.type = TraceTransferType::Control;
    if (request.urb == nullptr) {
      event.note = "port reset";
    } else if (request.urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      const auto &d = request.urb->UrbControlDescriptorRequest;
      event.endpoint = 0x80;
      if (d.TransferBufferMDL == nullptr && d.TransferBuffer != nullptr)
        event.data = std::span<const uint8_t>(static_cast<const uint8_t *>(d.TransferBuffer), request.bytes);
    }
  }
  core.trace.record(event);
}

// Writes the request's result into its URB.
void write_urb(const BusRequest &request) {
  PURB urb = request.urb;
  if (urb == nullptr)
    return;
  urb->UrbHeader.Status = request.status;
  if (request.kind == RequestKind::Transfer)
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = request.bytes;
  else if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
    urb->UrbControlDescriptorRequest.TransferBufferLength = request.bytes;
}

} // namespace

NTSTATUS finish_request(BusCore &core, const BusRequestPtr &request, bool later) {
  const PIRP irp = request->irp;
  // After this no cancel routine runs or is still reading the packet: IoCancelIrp calls the
  // routine with the cancel spin lock held, and the routine reads the packet before it drops it.
  KIRQL cancel_irql;
  IoAcquireCancelSpinLock(&cancel_irql);
  IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(cancel_irql);

  write_urb(*request);
  const NTSTATUS status = nt_status_from_usbd(request->status);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  trace_completion(core, *request);
  {
    std::lock_guard<std::mutex> guard(core.lock);
    ++(later ? core.counters.completed_later : core.counters.completed_at_once);
  }
  if (later) {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(irql);
  } else {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  std::lock_guard<std::mutex> guard(core.lock);
  core.pending.erase(request->request_id);
  core.changed.notify_all();
  return status;
}

BusRequestPtr make_request(const std::shared_ptr<BusCore> &core, RequestKind kind, PIRP irp, PURB urb) {
  auto request = std::make_shared<BusRequest>(core, kind, irp, urb);
  std::lock_guard<std::mutex> guard(core->lock);
  request->request_id = core->next_id++;
  ++core->counters.requests;
  return request;
}

NTSTATUS finish_at_once(BusCore &core, const BusRequestPtr &request, USBD_STATUS status, uint32_t bytes) {
  {
    std::lock_guard<std::mutex> guard(core.lock);
    end_request_locked(core, *request, status, bytes);
  }
  return finish_request(core, request, false);
}

VOID bus_cancel_routine(PDEVICE_OBJECT device_object, PIRP irp) {
  const auto id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(irp->Tail.Overlay.DriverContext[0]));
  IoReleaseCancelSpinLock(irp->CancelIrql);
  // From here on the packet may be finished by another thread at any moment: only the number
  // read above is used.
  auto &core = **static_cast<BusCore **>(device_object->DeviceExtension);
  BusRequestPtr cancelled;
  {
    std::lock_guard<std::mutex> guard(core.lock);
    auto it = core.pending.find(id);
    if (it != core.pending.end() && end_request_locked(core, *it->second, USBD_STATUS_CANCELED, 0) &&
        it->second->kind == RequestKind::Transfer)
      cancelled = it->second;
  }
  if (cancelled)
    notify_cancelled(core, {cancelled});
}

DeviceCall::DeviceCall(BusCore &core) : core_(core) {
  std::lock_guard<std::mutex> guard(core_.lock);
  ok_ = core_.present;
  if (ok_)
    ++core_.device_calls;
}

DeviceCall::~DeviceCall() {
  if (!ok_)
    return;
  std::lock_guard<std::mutex> guard(core_.lock);
  if (--core_.device_calls == 0)
    core_.changed.notify_all();
}

} // namespace usbbus
