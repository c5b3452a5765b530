// A dscam session: the whole system a run needs, put together in order and
// taken apart in reverse. The debug device (with the sink the options chose),
// the camera (the emulated one, or a real one through libusb with --usb), the
// USB bus it is plugged into (with its traces), the
// driver loaded through the stream class host, its started device and, for the
// commands that stream, the capture pin.
//
// Used from one thread at a time (the tool's main thread; an application that
// uses it from several threads serializes its calls); the camera's unplug
// handler (the emulated camera's thread, or the real camera's event thread)
// only sets a flag and rings the main loop. The debug device is shared with
// the other sessions of the process (shared_debug_device.h).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "emulator/camera/usb_camera.h"
#include "platform/debugdev/debug_sink.h"
#include "platform/streamclass/host.h"
#include "platform/usbbus/libusb_device.h"
#include "platform/usbbus/usb_bus.h"
#include "tools/dscam/wakeup.h"
#include "tools/session/session_options.h"

namespace dscam {

class Session {
public:
  Session(const SessionOptions &options, Wakeup &wakeup);
  // Closes whatever is still open (close()).
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Creates the debug device, the camera and its bus with the traces asked
  // for, loads the driver and starts its device. kExitOk, or the exit code
  // with *error a one-line reason.
  int start(std::string *error);
  // Opens the capture pin with the format of width x height (top-down rows
  // when asked), gives it a master clock (`clock`, else the host's steady
  // clock started now: the driver's frame times and drop counts start from the
  // pin's open) and sets it running. kExitOk, or the exit code with *error the
  // reason.
  int open_pin(long width, long height, bool top_down, std::string *error,
               std::shared_ptr<streamclass::MasterClock> clock = nullptr);
  // The format the pin was opened with (empty before).
  const std::vector<uint8_t> &format() const { return format_; }
  // When the pin was last opened: the time 0 of its master clock.
  std::chrono::steady_clock::time_point pin_opened() const { return pin_opened_; }
  // Closes the pin (its queued reads come back cancelled); the status of the close.
  NTSTATUS close_pin();
  // Closes the pin, removes the device, unloads the driver, unplugs the camera
  // and removes the debug device, in that order. Idempotent.
  void close();

  streamclass::Adapter &adapter() const { return *adapter_; }
  streamclass::Pin *pin() const { return pin_.get(); }
  // The camera's physical device object on its bus: where a host program sends
  // its own USB requests.
  PDEVICE_OBJECT physical_device_object() const { return bus_->physical_device_object(); }
  // Whether the camera unplugged itself (the disconnect fault), as its unplug
  // handler (on the camera's thread) told the session: cheap, for polling.
  bool camera_gone() const { return camera_gone_.load(); }
  // The same, from the moment the camera went, also before its handler has run:
  // asks the camera (waiting for its lock, which it holds while it takes a
  // picture). For the paths where a request has just failed.
  bool camera_gone_now() const;
  // Takes an unplugged camera off its bus: its pending and later transfers
  // fail; the device is then removed as surprise removal. Blocks until the bus
  // has let go of the camera.
  void unplug();

private:
  int start_camera(std::string *error);
  int start_usb_device(std::string *error);
  int start_bus(std::shared_ptr<usbbus::UsbDeviceModel> device, usbbus::UsbBus::Options where,
                std::string *error);
  int start_driver(std::string *error);

  const SessionOptions &options_;
  Wakeup &wakeup_;
  bool debug_device_ = false;
  std::shared_ptr<emu::UsbCamera> camera_;
  std::shared_ptr<usbbus::LibusbDevice> usb_device_;
  std::unique_ptr<usbbus::UsbBus> bus_;
  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
  std::unique_ptr<streamclass::Pin> pin_;
  std::vector<uint8_t> format_;
  std::chrono::steady_clock::time_point pin_opened_{};
  std::atomic<bool> camera_gone_{false};
};

// "0xC0000185" and, when known, its name ("STATUS_IO_DEVICE_ERROR").
std::string status_text(NTSTATUS status);

} // namespace dscam
