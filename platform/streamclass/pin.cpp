// An open stream: its stream object and extension, its control and data requests,
// its frame buffers and its master clock, and its close.
#include <cstring>

#include "platform/streamclass/host_internal.h"

namespace streamclass {

namespace {

// The stream entry point for a request of `kind`; NULL when the driver set none.
DriverEntryPoint stream_entry(const HW_STREAM_OBJECT &object, RequestKind kind) {
  return kind == RequestKind::StreamData ? object.ReceiveDataPacket : object.ReceiveControlPacket;
}

} // namespace

PinCore::PinCore(std::weak_ptr<AdapterCore> adapter, ULONG stream, ULONG extension_bytes,
                 PVOID device_extension)
    : adapter_(std::move(adapter)), stream_(stream), object_block_(sizeof(HW_STREAM_OBJECT), 0),
      extension_block_(extension_bytes, 0) {
  if (!ok())
    return;
  HW_STREAM_OBJECT &stream_object = object();
  stream_object.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
  stream_object.StreamNumber = stream;
  stream_object.HwStreamExtension = extension_block_.data();
  stream_object.HwDeviceExtension = device_extension;
}

// The driver has set the stream object up by now: the media-specific header size
// of data requests is known.
void PinCore::opened() {
  std::lock_guard lock(mutex_);
  state_ = State::Open;
  media_specific_ = object().StreamHeaderMediaSpecific;
}

// Closed without having been open, so that no close sends SRB_CLOSE_STREAM for it.
void PinCore::open_failed() {
  std::shared_ptr<Request> unused;
  {
    std::lock_guard lock(mutex_);
    state_ = State::Closed;
    unused.swap(close_request_);
  }
  closed_.notify_all();
}

void PinCore::reserve_close(std::shared_ptr<Request> request) {
  std::lock_guard lock(mutex_);
  close_request_ = std::move(request);
}

// Moved out, so that the caller releases it outside mutex_ (freeing it takes the
// pool's lock).
std::shared_ptr<Request> PinCore::take_close() {
  std::lock_guard lock(mutex_);
  return std::move(close_request_);
}

bool PinCore::is_open() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Open;
}

std::shared_ptr<Request> PinCore::make_request(RequestKind kind, SRB_COMMAND command) {
  auto adapter = adapter_.lock();
  return adapter ? adapter->make_request(kind, command, this) : nullptr;
}

bool PinCore::enter_driver_call() {
  std::lock_guard lock(mutex_);
  if (state_ != State::Open)
    return false;
  calls_++;
  return true;
}

// Wakes a waiting close at 0.
void PinCore::leave_driver_call() {
  std::lock_guard lock(mutex_);
  if (--calls_ == 0)
    idle_.notify_all();
}

// The delivery counts as a call on the pin, so that close can wait for it.
NTSTATUS PinCore::deliver(const std::shared_ptr<Request> &request) {
  auto adapter = adapter_.lock();
  if (!adapter)
    return STATUS_DEVICE_REMOVED;
  if (request->kind() == RequestKind::Device)
    return STATUS_INVALID_PARAMETER; // adapter requests go to HwReceivePacket
  if (!enter_driver_call())
    return STATUS_INVALID_DEVICE_STATE;
  DriverEntryPoint entry = stream_entry(object(), request->kind());
  NTSTATUS status = entry != nullptr ? adapter->deliver(request, entry) : STATUS_NOT_IMPLEMENTED;
  leave_driver_call();
  return status;
}

NTSTATUS PinCore::call(const std::shared_ptr<Request> &request) {
  NTSTATUS status = deliver(request);
  if (status != STATUS_PENDING)
    return status;
  if (!request->wait(host_options().sync_wait_limit))
    return STATUS_IO_TIMEOUT;
  return request->status();
}

// The close waits for cancel calls as well as deliveries: a cancel that has taken
// a read out of the driver's queue completes it before the close may go on. A
// close racing another (an application's and the removal's) returns that one's
// status, so that whoever returns from a close knows the driver has let the
// stream go. The pin's clocks are forgotten after the close.
NTSTATUS PinCore::close() {
  if (refuse_in_completion_callback("pin close"))
    return STATUS_INVALID_DEVICE_STATE;
  auto adapter = adapter_.lock();
  {
    std::unique_lock lock(mutex_);
    if (state_ == State::Closing) {
      closed_.wait(lock, [this] { return state_ == State::Closed; });
      return close_status_;
    }
    if (state_ != State::Open)
      return STATUS_SUCCESS;
    state_ = State::Closing;
    idle_.wait(lock, [this] { return calls_ == 0; });
  }
  NTSTATUS status = adapter ? adapter->close_stream(*this) : STATUS_DEVICE_REMOVED;
  std::vector<HANDLE> clocks;
  {
    std::lock_guard lock(mutex_);
    state_ = State::Closed;
    close_status_ = status;
    clocks.swap(clocks_);
  }
  for (HANDLE clock : clocks)
    clock_unregister(clock);
  closed_.notify_all();
  return status;
}

NTSTATUS PinCore::set_state(KSSTATE state) {
  auto request = make_request(RequestKind::StreamControl, SRB_SET_STREAM_STATE);
  if (!request)
    return STATUS_INSUFFICIENT_RESOURCES;
  request->srb().CommandData.StreamState = state;
  return call(request);
}

NTSTATUS PinCore::get_state(KSSTATE &state) {
  auto request = make_request(RequestKind::StreamControl, SRB_GET_STREAM_STATE);
  if (!request)
    return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = call(request);
  if (request->finished())
    state = request->srb().CommandData.StreamState;
  return status;
}

NTSTATUS PinCore::send_format(SRB_COMMAND command, std::span<const uint8_t> format) {
  if (!AdapterCore::format_ok(format))
    return STATUS_INVALID_PARAMETER;
  KSDATAFORMAT header;
  std::memcpy(&header, format.data(), sizeof(header));
  auto request = make_request(RequestKind::StreamControl, command);
  void *copy = request ? request->add_block(header.FormatSize) : nullptr;
  if (copy == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(copy, format.data(), header.FormatSize);
  request->srb().CommandData.OpenFormat = static_cast<KSDATAFORMAT *>(copy);
  return call(request);
}

NTSTATUS PinCore::get_format(ULONG size, std::vector<uint8_t> &format) {
  auto request = make_request(RequestKind::StreamControl, SRB_GET_DATA_FORMAT);
  void *buffer = request ? request->add_block(size) : nullptr;
  if (request == nullptr || (buffer == nullptr && size != 0))
    return STATUS_INSUFFICIENT_RESOURCES;
  request->srb().CommandData.OpenFormat = static_cast<KSDATAFORMAT *>(buffer);
  NTSTATUS status = call(request);
  format.clear();
  if (NT_SUCCESS(status)) {
    ULONG used = request->srb().ActualBytesTransferred < size ? request->srb().ActualBytesTransferred : size;
    format.assign(static_cast<const uint8_t *>(buffer), static_cast<const uint8_t *>(buffer) + used);
  }
  return status;
}

// Each clock gets a new handle; the pin unregisters them all at its close.
NTSTATUS PinCore::set_master_clock(std::shared_ptr<MasterClock> clock) {
  auto request = make_request(RequestKind::StreamControl, SRB_INDICATE_MASTER_CLOCK);
  if (!request)
    return STATUS_INSUFFICIENT_RESOURCES;
  HANDLE handle = clock ? clock_register(std::move(clock)) : nullptr;
  if (handle != nullptr) {
    std::lock_guard lock(mutex_);
    clocks_.push_back(handle);
  }
  request->srb().CommandData.MasterClockHandle = handle;
  return call(request);
}

namespace {

// Points the read request's block at its stream header and frame data again:
// the header (and the media-specific header behind it) cleared and describing
// the data block of `bytes`.
void describe_frame(Request &request, KSSTREAM_HEADER *header, ULONG media_specific, void *data,
                    ULONG bytes) {
  std::memset(header, 0, sizeof(KSSTREAM_HEADER) + media_specific);
  header->Size = sizeof(KSSTREAM_HEADER) + media_specific;
  header->FrameExtent = bytes;
  header->Data = data;
  if (media_specific >= sizeof(KS_FRAME_INFO))
    reinterpret_cast<KS_FRAME_INFO *>(header + 1)->ExtendedHeaderSize = media_specific;
  request.srb().CommandData.DataBufferArray = header;
  request.srb().NumberOfBuffers = 1;
  RequestOps::set_frame(request, header, media_specific, static_cast<const uint8_t *>(data), bytes);
}

} // namespace

// A new SRB_READ_DATA request with one stream header (and the media-specific
// header behind it) describing a zero-filled buffer of `bytes`; NULL when memory
// is short.
std::shared_ptr<Request> PinCore::make_read(ULONG bytes, ULONG media_specific) {
  auto request = make_request(RequestKind::StreamData, SRB_READ_DATA);
  void *header_block = request ? request->add_block(sizeof(KSSTREAM_HEADER) + media_specific) : nullptr;
  void *data = header_block ? request->add_block(bytes) : nullptr;
  if (header_block == nullptr || (data == nullptr && bytes != 0))
    return nullptr;
  describe_frame(*request, static_cast<KSSTREAM_HEADER *>(header_block), media_specific, data, bytes);
  return request;
}

// The read request of `buffer` made ready for another delivery, when the buffer
// can be reused for a read of `bytes`: a completed read of this pin with the same
// buffer size and media-specific header, whose callback has returned and which no
// one else holds (no Frame of it kept). Its data keeps the last frame's bytes.
// NULL otherwise. The caller owns `buffer`.
std::shared_ptr<Request> PinCore::reuse_read(const FrameBuffer &buffer, ULONG bytes, ULONG media_specific) {
  const std::shared_ptr<Request> &request = buffer.request_;
  if (request.use_count() != 1 || buffer.pin_.owner_before(weak_from_this()) ||
      weak_from_this().owner_before(buffer.pin_) || request->kind() != RequestKind::StreamData ||
      request->frame_extent_ != bytes || request->frame_media_specific_ != media_specific ||
      request->frame_header_ == nullptr || !RequestOps::rearm(*request))
    return nullptr;
  describe_frame(*request, request->frame_header_, media_specific,
                 const_cast<uint8_t *>(request->frame_data_), bytes);
  return request;
}

// Reusing a completed buffer (see reuse_read) lets steady streaming allocate
// nothing per frame.
NTSTATUS PinCore::submit(ULONG bytes, std::unique_ptr<FrameBuffer> &buffer, FrameCallback callback) {
  ULONG media_specific;
  {
    std::lock_guard lock(mutex_);
    media_specific = media_specific_;
  }
  std::shared_ptr<Request> request = buffer ? reuse_read(*buffer, bytes, media_specific) : nullptr;
  const bool reused = request != nullptr;
  if (!reused)
    request = make_read(bytes, media_specific);
  if (!request)
    return STATUS_INSUFFICIENT_RESOURCES;
  if (callback)
    request->on_complete(
        [callback = std::move(callback)](Request &done) { callback(Frame(done.shared_from_this())); });
  NTSTATUS status = deliver(request);
  if (status == STATUS_PENDING && !reused)
    buffer.reset(new FrameBuffer(request, weak_from_this()));
  else if (status != STATUS_PENDING && reused)
    buffer.reset();
  return status;
}

void PinCore::cancel(const std::shared_ptr<Request> &request) {
  if (auto adapter = adapter_.lock())
    adapter->cancel(request);
}

// ---------------------------------------------------------------------------
// FrameBuffer

FrameBuffer::~FrameBuffer() {
  if (!request_->finished())
    cancel();
}

void FrameBuffer::cancel() {
  if (auto pin = pin_.lock())
    pin->cancel(request_);
}

// ---------------------------------------------------------------------------
// Pin

Pin::~Pin() {
  core_->close();
}

ULONG Pin::stream_number() const {
  return core_->stream();
}
HW_STREAM_OBJECT &Pin::stream_object() const {
  return core_->object();
}
PVOID Pin::stream_extension() const {
  return core_->extension();
}
NTSTATUS Pin::set_state(KSSTATE state) {
  return core_->set_state(state);
}
NTSTATUS Pin::get_state(KSSTATE &state) {
  return core_->get_state(state);
}
NTSTATUS Pin::propose_format(std::span<const uint8_t> format) {
  return core_->send_format(SRB_PROPOSE_DATA_FORMAT, format);
}
NTSTATUS Pin::set_format(std::span<const uint8_t> format) {
  return core_->send_format(SRB_SET_DATA_FORMAT, format);
}
NTSTATUS Pin::get_format(ULONG size, std::vector<uint8_t> &format) {
  return core_->get_format(size, format);
}

NTSTATUS Pin::get_property(std::span<const uint8_t> property, std::span<uint8_t> data, ULONG *returned) {
  auto adapter = core_->adapter();
  return adapter ? adapter->property(core_.get(), false, property, data, returned) : STATUS_DEVICE_REMOVED;
}

NTSTATUS Pin::set_property(std::span<const uint8_t> property, std::span<const uint8_t> data) {
  auto adapter = core_->adapter();
  // The data of a Set is only read; the request works on its own copy.
  std::vector<uint8_t> copy(data.begin(), data.end());
  return adapter ? adapter->property(core_.get(), true, property, copy, nullptr) : STATUS_DEVICE_REMOVED;
}

NTSTATUS Pin::set_master_clock(std::shared_ptr<MasterClock> clock) {
  return core_->set_master_clock(std::move(clock));
}
NTSTATUS Pin::use_default_clock() {
  return core_->set_master_clock(std::make_shared<SteadyMasterClock>());
}

NTSTATUS Pin::submit(ULONG bytes, std::unique_ptr<FrameBuffer> &buffer, FrameCallback callback) {
  return core_->submit(bytes, buffer, std::move(callback));
}

std::shared_ptr<Request> Pin::make_request(SRB_COMMAND command) {
  RequestKind kind = command == SRB_READ_DATA || command == SRB_WRITE_DATA ? RequestKind::StreamData
                                                                           : RequestKind::StreamControl;
  return core_->make_request(kind, command);
}

NTSTATUS Pin::deliver(const std::shared_ptr<Request> &request) {
  return core_->deliver(request);
}
NTSTATUS Pin::close() {
  return core_->close();
}
bool Pin::is_open() const {
  return core_->is_open();
}

} // namespace streamclass
