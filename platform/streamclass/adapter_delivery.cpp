// Handing requests to the driver: delivery and waiting, the outstanding set,
// the time-out watchdog, and cancellation.
#include "platform/streamclass/host_internal.h"

namespace streamclass {

namespace {

// How long `call` waits for a request the host itself sends.
std::chrono::milliseconds wait_limit() {
  return host_options().sync_wait_limit;
}

} // namespace

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

// The admission is the sequences' for `internal` requests, the application's
// otherwise.
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

// The admission as in deliver.
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

// A stream request's cancel counts as a call on its pin, so that the pin's close
// waits until the driver has completed what it took out of its queue.
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

} // namespace streamclass
