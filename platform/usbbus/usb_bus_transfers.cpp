// Bulk and interrupt transfers: checking the URB against the open pipes, handing the transfer
// to the device model, and finishing it at once or letting it pend.
#include "platform/kernel/misuse.h"
#include "platform/usbbus/usb_bus_core.h"

namespace usbbus {
namespace {

// Checks the transfer against its pipe and fills the request's transfer fields. Returns the
// status to fail it with, or USBD_STATUS_SUCCESS. Called with core.lock held.
USBD_STATUS check_transfer_locked(BusCore &core, BusRequest &request,
                                  const _URB_BULK_OR_INTERRUPT_TRANSFER &t) {
  if (!core.present)
    return USBD_STATUS_DEVICE_GONE;
  const Pipe *pipe = nullptr;
  for (const Pipe &p : core.pipes)
    if (t.PipeHandle != nullptr && p.handle == t.PipeHandle)
      pipe = &p;
  if (pipe == nullptr)
    return USBD_STATUS_INVALID_PIPE_HANDLE;
  request.endpoint = pipe->endpoint;
  request.requested = t.TransferBufferLength;
  request.short_ok = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  request.trace_type =
      pipe->type == UsbdPipeTypeInterrupt ? TraceTransferType::Interrupt : TraceTransferType::Bulk;
  if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)
    return USBD_STATUS_INVALID_PARAMETER;
  const bool in_flag = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  if (in_flag != request.is_in()) {
    platform::misuse_reportf(platform::MisuseCategory::Usb, "transfer direction %s on endpoint 0x%02X",
                             in_flag ? "IN" : "OUT", pipe->endpoint);
    return USBD_STATUS_INVALID_PARAMETER;
  }
  if (t.TransferBufferLength > pipe->max_transfer) {
    platform::misuse_reportf(platform::MisuseCategory::Usb,
                             "transfer of %u bytes above the pipe's maximum of %u", t.TransferBufferLength,
                             pipe->max_transfer);
    return USBD_STATUS_INVALID_PARAMETER;
  }
  if (pipe->halted)
    return USBD_STATUS_ENDPOINT_HALTED;
  return USBD_STATUS_SUCCESS;
}

// The host's buffer of the transfer: its MDL's system address, or TransferBuffer.
PUCHAR transfer_buffer(const _URB_BULK_OR_INTERRUPT_TRANSFER &t) {
  if (t.TransferBufferMDL != nullptr) {
    if (MmGetMdlByteCount(t.TransferBufferMDL) < t.TransferBufferLength)
      return nullptr;
    return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(t.TransferBufferMDL, NormalPagePriority));
  }
  return static_cast<PUCHAR>(t.TransferBuffer);
}

void trace_submission(BusCore &core, const BusRequest &request) {
  if (!core.trace.enabled())
    return;
  TraceEvent event;
  event.id = request.request_id;
  event.event = 'S';
  event.type = request.trace_type;
  event.endpoint = request.endpoint;
  event.length = request.requested;
  event.data = request.out_copy;
  core.trace.record(event);
}

// Hands a published transfer to the device, then finishes it here if it already ended, or
// marks its packet pending. No lock held on entry.
NTSTATUS hand_to_device(BusCore &core, const BusRequestPtr &request) {
  bool active;
  {
    std::lock_guard<std::mutex> guard(core.lock);
    active = request->state == RequestState::Active;
  }
  if (active) {
    DeviceCall call(core);
    if (call.ok()) {
      core.device->submit(request);
    } else {
      std::lock_guard<std::mutex> guard(core.lock);
      end_request_locked(core, *request, USBD_STATUS_DEVICE_GONE, 0);
    }
  }
  {
    std::lock_guard<std::mutex> guard(core.lock);
    if (request->state == RequestState::Active) {
      // From here on whoever ends the request queues it for the host-controller thread, which
      // may complete the packet before this routine has returned.
      IoMarkIrpPending(request->irp);
      request->in_dispatch = false;
      return STATUS_PENDING;
    }
  }
  return finish_request(core, request, false);
}

} // namespace

NTSTATUS submit_transfer(const std::shared_ptr<BusCore> &core, PIRP irp, PURB urb) {
  BusRequestPtr request = make_request(core, RequestKind::Transfer, irp, urb);
  if (urb->UrbHeader.Length < sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) {
    platform::misuse_reportf(platform::MisuseCategory::Usb, "bulk transfer URB of %u bytes",
                             urb->UrbHeader.Length);
    return finish_at_once(*core, request, USBD_STATUS_INVALID_PARAMETER, 0);
  }
  const _URB_BULK_OR_INTERRUPT_TRANSFER &t = urb->UrbBulkOrInterruptTransfer;
  USBD_STATUS refusal;
  {
    std::lock_guard<std::mutex> guard(core->lock);
    refusal = check_transfer_locked(*core, *request, t);
  }
  if (refusal == USBD_STATUS_SUCCESS) {
    request->buffer = transfer_buffer(t);
    if (request->buffer == nullptr && request->requested > 0) {
      platform::misuse_report(platform::MisuseCategory::Usb, "transfer without a buffer or with a short MDL");
      refusal = USBD_STATUS_INVALID_PARAMETER;
    }
  }
  if (refusal == USBD_STATUS_SUCCESS && !request->is_in())
    request->out_copy.assign(request->buffer, request->buffer + request->requested);
  trace_submission(*core, *request);
  if (refusal == USBD_STATUS_SUCCESS)
    take_fault(*core, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, &refusal);
  if (refusal != USBD_STATUS_SUCCESS)
    return finish_at_once(*core, request, refusal, 0);
  {
    std::lock_guard<std::mutex> guard(core->lock);
    publish_request_locked(*core, request);
  }
  return hand_to_device(*core, request);
}

} // namespace usbbus
