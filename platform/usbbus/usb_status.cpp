// Status conversions of the USB bus driver.
#include "platform/usbbus/usb_status.h"

#include <cerrno>

namespace usbbus {

USBD_STATUS usbd_status_from_outcome(TransferOutcome outcome) {
  switch (outcome) {
  case TransferOutcome::Success:
    return USBD_STATUS_SUCCESS;
  case TransferOutcome::Stall:
    return USBD_STATUS_STALL_PID;
  case TransferOutcome::NoResponse:
    return USBD_STATUS_DEV_NOT_RESPONDING;
  case TransferOutcome::DataOverrun:
    return USBD_STATUS_DATA_OVERRUN;
  case TransferOutcome::Cancelled:
    return USBD_STATUS_CANCELED;
  case TransferOutcome::DeviceGone:
    return USBD_STATUS_DEVICE_GONE;
  case TransferOutcome::Timeout:
    return USBD_STATUS_TIMEOUT;
  case TransferOutcome::NoMemory:
    return USBD_STATUS_NO_MEMORY;
  case TransferOutcome::Refused:
    return USBD_STATUS_REQUEST_FAILED;
  }
  return USBD_STATUS_REQUEST_FAILED;
}

NTSTATUS nt_status_from_usbd(USBD_STATUS status) {
  switch (status) {
  case USBD_STATUS_SUCCESS:
    return STATUS_SUCCESS;
  case USBD_STATUS_CANCELED:
    return STATUS_CANCELLED;
  case USBD_STATUS_DEVICE_GONE:
    return STATUS_DEVICE_NOT_CONNECTED;
  case USBD_STATUS_NO_MEMORY:
    return STATUS_INSUFFICIENT_RESOURCES;
  case USBD_STATUS_TIMEOUT:
    return STATUS_IO_TIMEOUT;
  case USBD_STATUS_INVALID_URB_FUNCTION:
  case USBD_STATUS_INVALID_PARAMETER:
  case USBD_STATUS_INVALID_PIPE_HANDLE:
  case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
  case USBD_STATUS_BUFFER_TOO_SMALL:
    return STATUS_INVALID_PARAMETER;
  default:
    // Successes other than 0 do not occur; every transfer error (stall, halt, no response,
    // overrun, short transfer) is a plain failure to the caller, which reads the URB for more.
    return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  }
}

int32_t usbmon_status_from_usbd(USBD_STATUS status) {
  switch (status) {
  case USBD_STATUS_SUCCESS:
    return 0;
  case USBD_STATUS_PENDING:
    return -EINPROGRESS;
  case USBD_STATUS_STALL_PID:
  case USBD_STATUS_ENDPOINT_HALTED:
    return -EPIPE;
  case USBD_STATUS_DEV_NOT_RESPONDING:
  case USBD_STATUS_CRC:
    return -EPROTO;
  case USBD_STATUS_DATA_OVERRUN:
  case USBD_STATUS_BUFFER_OVERRUN:
    return -EOVERFLOW;
  case USBD_STATUS_ERROR_SHORT_TRANSFER:
    return -EREMOTEIO;
  case USBD_STATUS_CANCELED:
    return -ENOENT;
  case USBD_STATUS_DEVICE_GONE:
    return -ESHUTDOWN;
  case USBD_STATUS_TIMEOUT:
    return -ETIMEDOUT;
  case USBD_STATUS_NO_MEMORY:
    return -ENOMEM;
  default:
    return -EINVAL;
  }
}

} // namespace usbbus
