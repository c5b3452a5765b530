// The whole system for tests, fuzz targets, benchmarks and the soak program,
// put together in order and taken apart in reverse: a USB device model (the
// emulated camera, a scripted device, or a test's own model) plugged into a
// bus; the camera driver loaded through the stream class host with its device
// started over that bus; the capture pin; a recorded frame stream on it.
// Each step may be taken alone (a USB test plugs a device and stops there; a
// start test plugs and starts), and every later step needs the earlier ones.
//
// Free of the test framework. Used from one thread, which assembles and takes
// apart; what it hands out (adapter, pin, bus, camera) is as thread-safe as
// those objects are.
//
// Ownership: the rig owns the bus, the driver, the adapter, the pin and the
// stream, and shares the device model with whoever made it; its owner's thread
// destroys it.
#pragma once

#include <memory>
#include <string>

#include "adapter/adapter.h"
#include "emulator/camera/usb_camera.h"
#include "platform/streamclass/host.h"
#include "platform/usbbus/usb_bus.h"
#include "stream/stream_public.h"
#include "tests/support/recorded_stream.h"

namespace rig {

// The camera for fast tests: pictures whenever asked over an unlimited link,
// a few scene pictures encoded at power-on, a short focus.
emu::CameraConfig fast_camera();

// Host settings for the rig: a 5 ms tick, no request time limits, 10 s for a
// blocking host call, so that no host timer ends a run.
streamclass::HostOptions host_options();

class Rig {
public:
  Rig() = default;
  // stop()
  ~Rig();
  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  // Plugs an emulated camera made from `config` into a new bus; its disconnect
  // fault unplugs it from the bus. False (with *error) when the camera refuses
  // the configuration or the bus cannot be made.
  bool plug_camera(const emu::CameraConfig &config, std::string *error = nullptr,
                   std::shared_ptr<emu::CameraClock> clock = nullptr);
  // Plugs any device model into a new bus. False when the bus cannot be made.
  bool plug(std::shared_ptr<usbbus::UsbDeviceModel> device);

  // Loads the driver through the host and starts a device over the plugged
  // bus: the status of whichever failed first. A failed start leaves nothing
  // to remove.
  NTSTATUS start();
  // Opens the capture pin with the format of width x |height| (top-down rows
  // when height is negative), by data intersection. With `run`, the pin gets
  // the host's steady master clock and the state KSSTATE_RUN.
  NTSTATUS open_pin(LONG width = 320, LONG height = 240, bool run = true);
  // A recorded frame stream on the open pin, started (see RecordedStream);
  // buffers of image_bytes() unless the options give a size. The status of
  // its start; the stream stays until close_pin() or stop().
  NTSTATUS stream(const StreamOptions &options = {});
  // Closes the pin (its queued reads come back cancelled) and drops the
  // stream; the status of the close (STATUS_SUCCESS without a pin).
  NTSTATUS close_pin();

  // Pulls the device from its bus: pending and later transfers fail as gone.
  void unplug();
  // Tells the driver its device went (when started and not yet removed).
  NTSTATUS remove(streamclass::RemovalKind kind = streamclass::RemovalKind::Orderly);
  // Takes everything apart in reverse: pin, device (orderly removal when
  // still there), driver, bus, camera. Idempotent.
  void stop();

  bool plugged() const { return bus_ != nullptr; }
  bool started() const { return adapter_ != nullptr; }
  usbbus::UsbBus &bus() const { return *bus_; }
  PDEVICE_OBJECT pdo() const { return bus_->physical_device_object(); }
  // The emulated camera (plug_camera only).
  emu::UsbCamera &camera() const { return *camera_; }
  streamclass::Adapter &adapter() const { return *adapter_; }
  PHW_DEVICE_EXTENSION extension() const {
    return static_cast<PHW_DEVICE_EXTENSION>(adapter_->device_extension());
  }
  streamclass::Pin &pin() const { return *pin_; }
  std::unique_ptr<streamclass::Pin> &pin_slot() { return pin_; }
  RecordedStream &frames() const { return *stream_; }
  // The format the pin was opened with.
  const std::vector<uint8_t> &format() const { return format_; }
  ULONG image_bytes() const;

private:
  std::shared_ptr<emu::UsbCamera> camera_;
  std::unique_ptr<usbbus::UsbBus> bus_;
  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
  std::unique_ptr<streamclass::Pin> pin_;
  std::vector<uint8_t> format_;
  std::unique_ptr<RecordedStream> stream_; // goes after the pin's close has completed its reads
};

// Camera controls as an application sets them: device property requests of
// the camera-control set on the adapter.
NTSTATUS set_zoom(streamclass::Adapter &adapter, LONG value);
NTSTATUS get_zoom(streamclass::Adapter &adapter, LONG *value);
NTSTATUS focus_auto(streamclass::Adapter &adapter);

// The pin's picture counts (PROPSETID_VELTRA_PICTURES), as an application reads them.
NTSTATUS picture_counts(streamclass::Pin &pin, KSPROPERTY_VELTRA_PICTURE_COUNTS_S *counts);

} // namespace rig
