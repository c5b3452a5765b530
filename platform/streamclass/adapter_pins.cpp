// The adapter's side of a pin: SRB_OPEN_STREAM with its format and instance
// count, and SRB_CLOSE_STREAM with what follows it.
#include <cstring>

#include "platform/streamclass/host_internal.h"

namespace streamclass {

bool AdapterCore::format_ok(std::span<const uint8_t> format) {
  if (format.size() < sizeof(KSDATAFORMAT))
    return false;
  KSDATAFORMAT header;
  std::memcpy(&header, format.data(), sizeof(header));
  return header.FormatSize >= sizeof(KSDATAFORMAT) && header.FormatSize <= format.size();
}

// The open counts as in progress from its state check until the pin is open or
// the open has failed, so that a removal begun meanwhile closes the pin it opens.
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
