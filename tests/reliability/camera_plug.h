// The emulated camera plugged into a bus, and the driver's device over it, as
// two separate lives: the hardware is plugged before a run injects faults into
// the platform, so that every injected failure lands in the driver's start,
// streaming and removal rather than in building the emulated hardware.
//
// Not thread-safe: one thread plugs, starts, removes and unplugs.
#pragma once

#include <memory>
#include <string>

#include "emulator/camera/usb_camera.h"
#include "platform/streamclass/host.h"
#include "platform/usbbus/usb_bus.h"

namespace reliability {

// The camera and its bus. A disconnect fault of the camera unplugs it from
// the bus (from the camera's thread).
class CameraPlug {
public:
  // Plugs a camera made from `config`; ok() says whether it worked (*error why not).
  CameraPlug(const emu::CameraConfig &config, std::string *error);
  // Unplugs: the bus ends the device's requests, then bus and camera go.
  ~CameraPlug();
  CameraPlug(const CameraPlug &) = delete;
  CameraPlug &operator=(const CameraPlug &) = delete;

  bool ok() const { return bus_ && bus_->physical_device_object() != nullptr; }
  emu::UsbCamera &camera() const { return *camera_; }
  usbbus::UsbBus &bus() const { return *bus_; }

private:
  std::shared_ptr<emu::UsbCamera> camera_;
  std::unique_ptr<usbbus::UsbBus> bus_;
};

// The driver loaded through the stream class host with one device started
// over a plugged camera.
class CameraDevice {
public:
  CameraDevice() = default;
  // Removes the device (orderly) if it is still there.
  ~CameraDevice() { remove(streamclass::RemovalKind::Orderly); }
  CameraDevice(const CameraDevice &) = delete;
  CameraDevice &operator=(const CameraDevice &) = delete;

  // Loads the driver and starts a device over `plug`: the status of whichever
  // failed first, else STATUS_SUCCESS. A failed start leaves nothing to remove.
  NTSTATUS start(CameraPlug &plug);
  // Removes the device (when started) and unloads the driver.
  void remove(streamclass::RemovalKind kind);
  bool started() const { return adapter_ != nullptr; }
  streamclass::Adapter &adapter() const { return *adapter_; }
  // Opens the capture pin for pictures of width x height (its format by data
  // intersection); *image_bytes gets the format's image size.
  NTSTATUS open_pin(LONG width, LONG height, std::unique_ptr<streamclass::Pin> &pin, ULONG *image_bytes);

private:
  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
};

} // namespace reliability
