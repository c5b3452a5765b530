// The whole system for race tests and whole-system fuzz targets: the camera
// driver loaded through the stream class host, its device started over the USB
// bus driver with any USB device model plugged in (the emulated camera, a
// scripted device, or either behind a SteppedDevice that stops the conversation
// at a chosen bulk transfer), the camera controls as an application sets them,
// and a check of every promise the platform keeps account of.
//
// Free of test-framework code, so that the fuzz targets use it too.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/streamclass/host.h"
#include "platform/usbbus/usb_bus.h"
#include "platform/usbbus/usb_device_model.h"

namespace races {

// A device model that hands everything to an inner model and counts the bulk
// and interrupt transfers submitted to it (steps, from 1). At the chosen step it
// signals whoever waits for it and, in Hold mode, keeps that transfer and every
// later one unanswered (the device falls silent there); in Pass mode it lets the
// conversation go on, so that what the test does next races with the answer.
// Held transfers end by the bus's cancel, reset or removal; a port reset ends
// the silence (the device answers again from its power-on state).
//
// Thread-safe; lock_ is a leaf taken around the counters and the held list, and
// the inner model is called without it.
class SteppedDevice : public usbbus::UsbDeviceModel {
public:
  enum class AtStep { Hold, Pass };

  explicit SteppedDevice(std::shared_ptr<usbbus::UsbDeviceModel> inner);

  // Arms the stop: `step` counts from the next transfer (1 = the next one);
  // 0 disarms it.
  void stop_at(size_t step, AtStep mode);
  // Waits until the armed step is reached; false after `timeout`.
  bool wait_step(std::chrono::milliseconds timeout);
  // Bulk and interrupt transfers submitted so far.
  size_t transfers() const;

  // usbbus::UsbDeviceModel
  std::span<const uint8_t> descriptor(uint8_t type, uint8_t index, uint16_t language_id) override;
  void set_configuration(uint8_t configuration_value) override;
  void submit(const usbbus::TransferHandle &transfer) override;
  void cancel(const usbbus::TransferHandle &transfer) override;
  void reset_pipe(uint8_t endpoint_address) override;
  void reset_port() override;
  void removed() override;

private:
  std::shared_ptr<usbbus::UsbDeviceModel> inner_;
  mutable std::mutex lock_;     // guards the fields below
  std::condition_variable hit_; // signalled when the armed step is reached
  size_t transfers_ = 0;
  size_t stop_at_ = 0; // transfer number of the stop; 0: none
  AtStep mode_ = AtStep::Pass;
  bool reached_ = false;
  bool holding_ = false; // Hold mode reached: every transfer from here on is kept unanswered
};

// The driver with one started device over a bus with `device` plugged in.
class SystemRig {
public:
  SystemRig() = default;
  ~SystemRig(); // stop()
  SystemRig(const SystemRig &) = delete;
  SystemRig &operator=(const SystemRig &) = delete;

  // Plugs `device` into a new bus, loads the driver and starts a device over it.
  // The start's status.
  NTSTATUS start(std::shared_ptr<usbbus::UsbDeviceModel> device);
  // Unplugs the device from the bus (every pending transfer ends as gone).
  void unplug();
  // Tells the driver its device went (kind), if started and not yet removed.
  NTSTATUS remove(streamclass::RemovalKind kind);
  // Removes the device orderly if still there, then the bus and the driver.
  void stop();

  // Opens the capture pin on the range width x |height| (320x240 or 160x120).
  NTSTATUS open_pin(LONG width, LONG height, std::unique_ptr<streamclass::Pin> &pin);

  bool started() const { return adapter_ != nullptr; }
  streamclass::Adapter &adapter() const { return *adapter_; }
  usbbus::UsbBus &bus() const { return *bus_; }

private:
  std::unique_ptr<usbbus::UsbBus> bus_;
  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
};

// Camera controls as an application sets them on the adapter (device property
// requests of the camera-control set).
NTSTATUS control_set_zoom(streamclass::Adapter &adapter, LONG value);
NTSTATUS control_get_zoom(streamclass::Adapter &adapter, LONG *value);
NTSTATUS control_focus_auto(streamclass::Adapter &adapter);

// Host settings for whole-system runs: a short tick and no time limits, so a
// run is never ended by a host timer.
streamclass::HostOptions rig_host_options();

// What the platform held before a run, to compare with after it.
struct PlatformBaseline {
  uint64_t pool_sequence = 0;
  size_t irps = 0;
  size_t devices = 0;
  size_t thread_objects = 0;
};
PlatformBaseline platform_baseline();

// Waits (at most `quiesce`) for the work queues to go idle and the system
// threads to end, then checks every promise the platform keeps account of:
// every request delivered since the last host_accounting_reset() completed
// exactly once through the right notification, nothing outstanding; no pool
// block allocated since `baseline` is live (listed by tag); no misuse reported
// (taken); no more IRPs, device objects or thread objects than at `baseline`.
// Returns an empty string when all were kept, else one line per broken promise.
std::string broken_promises(const PlatformBaseline &baseline, std::chrono::milliseconds quiesce);

} // namespace races
