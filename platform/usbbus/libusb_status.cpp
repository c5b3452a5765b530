// libusb's statuses in the bus's terms, in one place.
#include "platform/usbbus/libusb_internal.h"

namespace usbbus {

TransferOutcome outcome_from_libusb_transfer(libusb_transfer_status status) {
  switch (status) {
  case LIBUSB_TRANSFER_COMPLETED:
    return TransferOutcome::Success;
  case LIBUSB_TRANSFER_ERROR: // a transaction error on the bus (CRC, bit stuffing, no handshake)
    return TransferOutcome::NoResponse;
  case LIBUSB_TRANSFER_TIMED_OUT:
    return TransferOutcome::Timeout;
  case LIBUSB_TRANSFER_CANCELLED:
    return TransferOutcome::Cancelled;
  case LIBUSB_TRANSFER_STALL:
    return TransferOutcome::Stall;
  case LIBUSB_TRANSFER_NO_DEVICE:
    return TransferOutcome::DeviceGone;
  case LIBUSB_TRANSFER_OVERFLOW:
    return TransferOutcome::DataOverrun;
  }
  return TransferOutcome::NoResponse;
}

TransferOutcome outcome_from_libusb_error(int error) {
  switch (error) {
  case LIBUSB_SUCCESS:
    return TransferOutcome::Success;
  case LIBUSB_ERROR_IO:
    return TransferOutcome::NoResponse;
  case LIBUSB_ERROR_TIMEOUT:
    return TransferOutcome::Timeout;
  case LIBUSB_ERROR_PIPE:
    return TransferOutcome::Stall;
  case LIBUSB_ERROR_NO_DEVICE:
    return TransferOutcome::DeviceGone;
  case LIBUSB_ERROR_OVERFLOW:
    return TransferOutcome::DataOverrun;
  case LIBUSB_ERROR_NO_MEM:
    return TransferOutcome::NoMemory;
  default:
    // Access, busy, not found, invalid parameter, not supported, interrupted, other: the host
    // refused the request without the device having a say.
    return TransferOutcome::Refused;
  }
}

std::string libusb_error_text(int error) {
  return std::string(libusb_error_name(error)) + " (" + libusb_strerror(error) + ")";
}

} // namespace usbbus
