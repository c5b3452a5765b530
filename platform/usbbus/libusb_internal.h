// Inside the libusb device model: the record of a transfer in flight, the callbacks libusb
// calls, and the status conversions (libusb_status.cpp).
#pragma once

#include <libusb.h>

#include "platform/usbbus/libusb_device.h"

namespace usbbus {

// Each control request of the model waits this long for the device (under the driver's own
// 3 s limit of a request, so that the driver sees the timeout as the device's).
inline constexpr unsigned kLibusbControlTimeoutMs = 2000;

// A bulk or interrupt transfer submitted to libusb. Owned by the model from submission until
// libusb calls it back (or, for one libusb never called back, until the model is destroyed).
struct LibusbDevice::InFlight {
  LibusbDevice *owner = nullptr;
  TransferHandle transfer;
  libusb_transfer *usb = nullptr;
  // IN: the transfer's length and one byte more, where a babbling device's excess shows (left
  // uninitialised: libusb reports how much the device wrote); OUT: the bytes to send.
  std::unique_ptr<uint8_t[]> buffer;
  size_t size = 0;
};

// A control request's caller waiting for the event thread to end its transfer.
struct LibusbControlWait {
  std::mutex lock;
  std::condition_variable done; // signals: ended
  bool ended = false;
};

// The functions libusb calls on the event thread, with its event lock held.
struct LibusbCallbacks {
  static void LIBUSB_CALL transfer_done(libusb_transfer *usb);
  static void LIBUSB_CALL control_done(libusb_transfer *usb);
  static int LIBUSB_CALL device_left(libusb_context *context, libusb_device *device,
                                     libusb_hotplug_event event, void *user);
};

// The outcome of a libusb transfer that ended with `status`.
TransferOutcome outcome_from_libusb_transfer(libusb_transfer_status status);

// The outcome of a libusb call that failed with `error` (a negative libusb_error).
TransferOutcome outcome_from_libusb_error(int error);

// "LIBUSB_ERROR_ACCESS (Access denied (insufficient permissions))" for a libusb error.
std::string libusb_error_text(int error);

} // namespace usbbus
