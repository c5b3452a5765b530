// The USB bus driver: the physical device object of one USB device (the camera), its host
// controller, and the knobs tests and the tool turn.
//
// The device object belongs to a driver object of the bus ("\Driver\usbbus") whose
// IRP_MJ_INTERNAL_DEVICE_CONTROL routine takes:
// - IOCTL_INTERNAL_USB_SUBMIT_URB with, in Argument1, a URB for: get descriptor from device,
//   select configuration, reset pipe (and sync reset / clear stall), abort pipe, bulk or
//   interrupt transfer. Every other function fails with USBD_STATUS_INVALID_URB_FUNCTION.
// - IOCTL_INTERNAL_USB_RESET_PORT (Argument1 NULL): ends every pending transfer as cancelled,
//   resets the device and restores its configuration (pipe handles stay valid).
//
// Completion. The URB gets its byte count and a USBD status; the request packet's IoStatus gets
// the mapped NT status (usb_status.h). A request whose answer is ready completes at once, inside
// IofCallDriver, in the caller's context. One that must wait (a transfer the device answers
// later, a control request delayed by the test knob) returns STATUS_PENDING and completes on
// another thread at DISPATCH_LEVEL, so its completion routine runs there: on the device model's
// own thread when that thread ended the transfer and collects its completions
// (ThreadCompletions, usb_device_model.h), else on the bus's host-controller thread. A pending request can be
// cancelled with IoCancelIrp. A transfer waits as long as the device has nothing to say: the bus sets no time
// limit. Removing the device ends every pending request with USBD_STATUS_DEVICE_GONE; a port reset ends
// pending transfers with USBD_STATUS_CANCELED; a pipe reset or abort ends the pipe's transfers the same way.
// A stall halts the endpoint: its next transfers fail with USBD_STATUS_ENDPOINT_HALTED until its pipe is
// reset.
//
// Lock order: the I/O manager's cancel spin lock, then the bus's lock, then the trace's lock.
// The bus calls the device model and completes requests with none of its locks held.
#pragma once

#include "platform/kernel/io.h"
#include "platform/usbbus/usb_device_model.h"
#include "platform/usbbus/usb_trace.h"
#include "platform/usbbus/usbdi.h"

#include <chrono>
#include <memory>
#include <thread>

namespace usbbus {

struct BusCore;

// Ownership: the UsbBus is owned by one holder (the tool's session, a test) and destroyed by
// that holder's thread. It owns the device model (shared with whoever made it), the
// host-controller thread and the driver and device objects. Its bookkeeping (BusCore) is shared
// with the requests in flight but owns neither thread nor model, so no thread of the bus or of
// the model can ever run the destructor of what owns it: dropping a request, on whatever
// thread, only frees memory.
class UsbBus {
public:
  struct Options {
    uint16_t bus_number = 1;    // in traces
    uint8_t device_address = 2; // in traces
  };

  // What the bus has done, for tests that check both completion paths.
  struct Counters {
    uint64_t requests = 0;          // request packets received
    uint64_t completed_at_once = 0; // completed inside IofCallDriver
    uint64_t completed_later = 0;   // pended and completed later (host-controller or model thread)
    uint64_t cancelled = 0;         // ended by IoCancelIrp, a pipe or port reset
    uint64_t device_gone = 0;       // ended by the device's removal
  };

  // Any URB function, for fail_requests.
  static constexpr USHORT kAnyFunction = 0xFFFF;

  // Creates the bus driver object, the device's physical device object and the host-controller
  // thread, with `device` plugged in. On failure (pool exhausted) physical_device_object() is
  // NULL. Passive level.
  explicit UsbBus(std::shared_ptr<UsbDeviceModel> device);
  UsbBus(std::shared_ptr<UsbDeviceModel> device, Options options);
  // Removes the device if still present, waits for every request to complete and for a
  // removal in progress on another thread to return, stops the host-controller thread,
  // deletes the device and driver objects and lets go of the model. Passive level; not on a
  // thread of the bus or of the model.
  ~UsbBus();
  UsbBus(const UsbBus &) = delete;
  UsbBus &operator=(const UsbBus &) = delete;

  // The device object that receives the device's USB requests (the "real" PDO).
  PDEVICE_OBJECT physical_device_object() const { return pdo_; }

  // Unplugs the device: every pending request ends with USBD_STATUS_DEVICE_GONE and every later
  // one fails with it at once. Waits until every call into the model has returned, tells the
  // model, then waits until the ended requests have completed (their completion routines have
  // run), unless called by a completion routine on the thread that finishes them (the
  // host-controller thread, or a model thread finishing its own). Blocks; passive level; not from inside
  // a call into the model (a model that unplugs itself does it from a thread of its own).
  // Calling it again does nothing.
  void remove_device();
  bool device_present() const;

  // Test knob: control requests (descriptor, configuration, pipe and port resets) pend and
  // complete on the host-controller thread after `delay` (0: at once, the default).
  void set_control_delay(std::chrono::milliseconds delay);
  // Test knob: the next `count` URBs of `function` (or kAnyFunction) fail at once with `status`
  // and 0 bytes, without reaching the device.
  void fail_requests(USHORT function, USBD_STATUS status, int count = 1);

  // The trace of every request (text and pcap sinks).
  UsbTrace &trace();

  // Requests received and not yet completed.
  size_t pending_requests() const;
  // Of those, the ones whose dispatch call has returned STATUS_PENDING: their caller is waiting.
  size_t pended_requests() const;
  // Waits until no request is pending; false after `timeout`. Blocks; passive level.
  bool wait_idle(std::chrono::milliseconds timeout) const;
  Counters counters() const;

private:
  static NTSTATUS dispatch_internal_device_control(PDEVICE_OBJECT device_object, PIRP irp);
  void host_controller_thread();

  std::shared_ptr<UsbDeviceModel> device_; // outlives every call the bus makes into it
  std::shared_ptr<BusCore> core_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::thread host_controller_;
};

} // namespace usbbus
