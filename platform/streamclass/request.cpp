// Request blocks of the host: their memory, the registry that finds a request by
// its block, completion and abandonment, and the two completion services the
// driver calls.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/streamclass/host_internal.h"

namespace streamclass {

// ---------------------------------------------------------------------------
// Memory

HostBlock::HostBlock(size_t bytes, uint8_t fill) : size_(bytes) {
  if (bytes == 0)
    return;
  data_ = ::operator new (bytes, std::align_val_t{16}, std::nothrow);
  if (data_ != nullptr)
    std::memset(data_, fill, bytes);
}

HostBlock::~HostBlock() {
  if (data_ != nullptr)
    ::operator delete (data_, std::align_val_t{16});
}

// ---------------------------------------------------------------------------
// Registry: live requests by block address. `mutex` is a leaf lock.

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<const HW_STREAM_REQUEST_BLOCK *, std::weak_ptr<Request>> requests;
};

Registry &registry() {
  static Registry *instance = new Registry; // never destroyed: driver threads may outlive statics
  return *instance;
}

std::atomic<uint64_t> sequence{0};

const char *kind_name(RequestKind kind) {
  switch (kind) {
  case RequestKind::Device:
    return "adapter";
  case RequestKind::StreamControl:
    return "stream control";
  case RequestKind::StreamData:
    return "stream data";
  }
  return "?";
}

} // namespace

uint64_t next_sequence() {
  return sequence.fetch_add(1) + 1;
}

void registry_add(const std::shared_ptr<Request> &request) {
  std::lock_guard lock(registry().mutex);
  registry().requests[&request->srb()] = request;
}

// The registry holds weak references: a request being destroyed is not found.
std::shared_ptr<Request> registry_find(const HW_STREAM_REQUEST_BLOCK *srb) {
  std::lock_guard lock(registry().mutex);
  auto it = registry().requests.find(srb);
  return it == registry().requests.end() ? nullptr : it->second.lock();
}

// ---------------------------------------------------------------------------
// Request

Request::Request(RequestKind kind) : kind_(kind), sync_(std::make_unique<RequestSync>()) {}

// Leaves the registry before the block's memory can be reused, then frees the IRP
// and the blocks.
Request::~Request() {
  {
    std::lock_guard lock(registry().mutex);
    auto it = registry().requests.find(&srb_);
    if (it != registry().requests.end() && it->second.expired())
      registry().requests.erase(it);
  }
  if (irp_ != nullptr)
    IoFreeIrp(irp_);
}

void *Request::add_block(size_t bytes) {
  auto block = std::make_unique<HostBlock>(bytes, 0);
  if (!block->ok())
    return nullptr;
  void *data = block->data();
  blocks_.push_back(std::move(block));
  return data;
}

bool Request::wait(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(sync_->mutex);
  return sync_->done.wait_for(lock, timeout, [this] { return sync_->signalled; });
}

bool Request::finished() const {
  std::lock_guard lock(sync_->mutex);
  return sync_->signalled;
}

NTSTATUS Request::status() const {
  std::lock_guard lock(sync_->mutex);
  if (sync_->state == RequestState::Abandoned)
    return STATUS_DEVICE_REMOVED;
  return sync_->signalled ? srb_.Status : STATUS_PENDING;
}

int Request::completions() const {
  std::lock_guard lock(sync_->mutex);
  return sync_->completions;
}

bool Request::abandoned() const {
  std::lock_guard lock(sync_->mutex);
  return sync_->state == RequestState::Abandoned;
}

Request::Trace Request::trace() const {
  std::lock_guard lock(sync_->mutex);
  return sync_->trace;
}

// ---------------------------------------------------------------------------
// Host-side operations

std::shared_ptr<Request> RequestOps::create(RequestKind kind, SRB_COMMAND command, ULONG extension_bytes,
                                            CCHAR stack_size) {
  std::shared_ptr<Request> request(new (std::nothrow) Request(kind));
  if (!request)
    return nullptr;
  // The request extension is not cleared: a fill pattern shows a driver that
  // relies on zeros there.
  request->extension_ = std::make_unique<HostBlock>(extension_bytes, 0xCD);
  request->irp_ = IoAllocateIrp(stack_size, FALSE);
  if (!request->extension_->ok() || request->irp_ == nullptr)
    return nullptr;

  HW_STREAM_REQUEST_BLOCK &srb = request->srb_;
  srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
  srb.Command = command;
  srb.Status = STATUS_PENDING;
  srb.SRBExtension = request->extension_->data();
  srb.Irp = request->irp_;
  srb.Flags = kind == RequestKind::Device ? 0 : SRB_HW_FLAGS_STREAM_REQUEST;
  if (kind == RequestKind::StreamData)
    srb.Flags |= SRB_HW_FLAGS_DATA_TRANSFER;
  registry_add(request);
  return request;
}

bool RequestOps::rearm(Request &request) {
  {
    std::lock_guard lock(request.sync_->mutex);
    if (request.sync_->state != RequestState::Completed || !request.sync_->signalled)
      return false;
    request.sync_->state = RequestState::Created;
    request.sync_->signalled = false;
    request.sync_->completions = 0;
    request.sync_->trace = Request::Trace{};
  }
  HW_STREAM_REQUEST_BLOCK &srb = request.srb_;
  const SRB_COMMAND command = srb.Command;
  const PVOID device_extension = srb.HwDeviceExtension;
  const PHW_STREAM_OBJECT stream_object = srb.StreamObject;
  const ULONG timeout = srb.TimeoutOriginal;
  std::memset(&srb, 0, sizeof(srb));
  srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
  srb.Command = command;
  srb.Status = STATUS_PENDING;
  srb.SRBExtension = request.extension_->data();
  srb.Irp = request.irp_;
  srb.Flags = request.kind_ == RequestKind::Device ? 0 : SRB_HW_FLAGS_STREAM_REQUEST;
  if (request.kind_ == RequestKind::StreamData)
    srb.Flags |= SRB_HW_FLAGS_DATA_TRANSFER;
  srb.HwDeviceExtension = device_extension;
  srb.StreamObject = stream_object;
  srb.TimeoutOriginal = timeout;
  srb.TimeoutCounter = timeout;
  if (request.extension_->size() != 0)
    std::memset(request.extension_->data(), 0xCD, request.extension_->size());
  IoInitializeIrp(request.irp_, request.irp_->Size, request.irp_->StackCount);
  return true;
}

namespace {

// Completion callbacks running on this thread (a callback may complete another request).
thread_local int t_callbacks = 0;

void run_callback(const Request::Callback &callback, Request &request) {
  ++t_callbacks;
  callback(request);
  --t_callbacks;
}

} // namespace

bool in_completion_callback() {
  return t_callbacks > 0;
}

bool refuse_in_completion_callback(const char *what) {
  if (t_callbacks == 0)
    return false;
  report_request_misuse("%s from a completion callback (refused: it would wait for the completing thread)",
                        what);
  return true;
}

void RequestOps::mark_delivered(Request &request) {
  std::lock_guard lock(request.sync_->mutex);
  request.sync_->state = RequestState::Delivered;
  request.sync_->trace.delivered_on = std::this_thread::get_id();
  request.sync_->trace.delivery_started = next_sequence();
}

void RequestOps::mark_returned(Request &request) {
  std::lock_guard lock(request.sync_->mutex);
  request.sync_->trace.delivery_returned = next_sequence();
}

RequestState RequestOps::state(const Request &request) {
  std::lock_guard lock(request.sync_->mutex);
  return request.sync_->state;
}

// Waiters are woken before the callback runs, and the callback runs with no
// lock held, so that it may submit further requests.
void RequestOps::complete(Request &request, RequestKind notified_as, const void *notified_owner) {
  RequestSync &sync = *request.sync_;
  const bool device_request = request.kind_ == RequestKind::Device;
  const void *owner =
      device_request ? request.srb_.HwDeviceExtension : static_cast<const void *>(request.srb_.StreamObject);
  {
    std::lock_guard lock(sync.mutex);
    sync.completions++;
    if (sync.state == RequestState::Abandoned) {
      counters().completed_after_removal++;
      report_request_misuse("%s request 0x%X (command 0x%X) completed after it was abandoned",
                            kind_name(request.kind_),
                            static_cast<unsigned>(reinterpret_cast<uintptr_t>(&request.srb_)),
                            static_cast<unsigned>(request.srb_.Command));
      return;
    }
    if (sync.state != RequestState::Delivered) {
      const bool twice = sync.state == RequestState::Completed;
      (twice ? counters().completed_twice : counters().unknown_completion)++;
      report_request_misuse("%s request 0x%X (command 0x%X) completed %s", kind_name(request.kind_),
                            static_cast<unsigned>(reinterpret_cast<uintptr_t>(&request.srb_)),
                            static_cast<unsigned>(request.srb_.Command),
                            twice ? "twice" : "before it was delivered");
      return;
    }
    if ((notified_as == RequestKind::Device) != device_request || notified_owner != owner) {
      counters().wrong_notification++;
      report_request_misuse("%s request 0x%X (command 0x%X) completed through %s", kind_name(request.kind_),
                            static_cast<unsigned>(reinterpret_cast<uintptr_t>(&request.srb_)),
                            static_cast<unsigned>(request.srb_.Command),
                            notified_as == RequestKind::Device ? "DeviceRequestComplete"
                                                               : "StreamRequestComplete");
    }
    sync.state = RequestState::Completed;
    sync.trace.completed_on = std::this_thread::get_id();
    sync.trace.completed = next_sequence();
  }
  counters().completed++;
  if (auto adapter = request.adapter_.lock())
    adapter->completed(request);
  Request::Callback callback;
  {
    std::lock_guard lock(sync.mutex);
    sync.signalled = true;
    callback = std::move(request.callback_);
  }
  sync.done.notify_all();
  if (callback)
    run_callback(callback, request);
}

bool RequestOps::abandon(Request &request, const char *why) {
  std::lock_guard lock(request.sync_->mutex);
  if (request.sync_->state != RequestState::Delivered)
    return false;
  request.sync_->state = RequestState::Abandoned;
  counters().never_completed++;
  counters().abandoned++;
  report_request_misuse("%s request 0x%X (command 0x%X) never completed (%s)", kind_name(request.kind_),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(&request.srb_)),
                        static_cast<unsigned>(request.srb_.Command), why);
  return true;
}

void RequestOps::finish_abandoned(Request &request) {
  Request::Callback callback;
  {
    std::lock_guard lock(request.sync_->mutex);
    request.sync_->signalled = true;
    callback = std::move(request.callback_);
  }
  request.sync_->done.notify_all();
  if (callback)
    run_callback(callback, request);
}

// ---------------------------------------------------------------------------
// Frames

const KSSTREAM_HEADER &Frame::header() const {
  return *request_->frame_header_;
}

const KS_FRAME_INFO *Frame::frame_info() const {
  if (request_->frame_media_specific_ < sizeof(KS_FRAME_INFO))
    return nullptr;
  return reinterpret_cast<const KS_FRAME_INFO *>(request_->frame_header_ + 1);
}

std::span<const uint8_t> Frame::data() const {
  if (!request_->finished())
    return {}; // the driver may still be writing it
  ULONG used = request_->frame_header_->DataUsed;
  return {request_->frame_data_, used < request_->frame_extent_ ? used : request_->frame_extent_};
}

ULONG Frame::capacity() const {
  return request_->frame_extent_;
}

} // namespace streamclass

// ---------------------------------------------------------------------------
// The completion services

using namespace streamclass;

// Finds the request of a completion notification; a block that is no live request
// is misuse (counted as an unknown completion).
static std::shared_ptr<Request> find_completed(PHW_STREAM_REQUEST_BLOCK pSrb, const char *service) {
  if (pSrb == nullptr) {
    counters().unknown_completion++;
    report_request_misuse("%s completion without a request block", service);
    return nullptr;
  }
  std::shared_ptr<Request> request = registry_find(pSrb);
  if (!request) {
    counters().unknown_completion++;
    report_request_misuse("%s completion of 0x%X, which is no request of the host (completed twice, or never "
                          "delivered)",
                          service, static_cast<unsigned>(reinterpret_cast<uintptr_t>(pSrb)));
  }
  return request;
}

VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                   PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK pSrb) {
  switch (NotificationType) {
  case ReadyForNextDeviceRequest:
    return; // requests are never held back: synchronisation is the driver's
  case DeviceRequestComplete:
    if (auto request = find_completed(pSrb, "DeviceRequestComplete"))
      RequestOps::complete(*request, RequestKind::Device, HwDeviceExtension);
    return;
  default:
    report_device_misuse("StreamClassDeviceNotification type %d is not supported (no device events)",
                         static_cast<int>(NotificationType));
    return;
  }
}

VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, PHW_STREAM_REQUEST_BLOCK pSrb) {
  switch (NotificationType) {
  case ReadyForNextStreamDataRequest:
  case ReadyForNextStreamControlRequest:
  case HardwareStarved:
    return; // requests are never held back: synchronisation is the driver's
  case StreamRequestComplete:
    if (auto request = find_completed(pSrb, "StreamRequestComplete"))
      RequestOps::complete(*request, RequestKind::StreamControl, StreamObject);
    return;
  default:
    report_device_misuse("StreamClassStreamNotification type %d is not supported (no stream events)",
                         static_cast<int>(NotificationType));
    return;
  }
}
