// Status conversions of the USB bus driver, in one place: the outcome a device model reports,
// the USBD status the URB gets, the NT status of the request packet, and the Linux usbmon
// status the trace records.
#pragma once

#include "platform/kernel/ntstatus.h"
#include "platform/usbbus/usb_device_model.h"
#include "platform/usbbus/usbdi.h"

namespace usbbus {

// The URB status for a device's outcome.
USBD_STATUS usbd_status_from_outcome(TransferOutcome outcome);

// The NT status of a request packet whose URB ended with `status`.
NTSTATUS nt_status_from_usbd(USBD_STATUS status);

// The status a Linux usbmon capture gives the same end (0, or a negative errno).
int32_t usbmon_status_from_usbd(USBD_STATUS status);

} // namespace usbbus
