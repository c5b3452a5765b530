// The emulated camera as a USB device: the camera's USB identity (descriptors
// from emulator/usb) with its protocol engine (camera_core.h) behind the bulk
// endpoints. An OUT transfer on the bulk OUT endpoint is one command packet or
// ACK byte, taken at once; an IN transfer on the bulk IN endpoint takes one
// reply packet: at once, inside submit, when the packet has crossed the link by
// now, else later from the camera's own thread when the clock reaches its
// arrival time. An IN transfer with nothing coming (a silent camera, a lost
// packet) waits until a pipe reset, a port reset, a cancel or the removal ends it.
//
// Faults on the bus: a write error ends the OUT transfer with NoResponse; a
// read error ends the IN transfer with NoResponse and loses its packet; after
// a disconnect every transfer ends with NoResponse and the unplug handler (set
// by whoever owns the bus) is called once, from the camera's thread.
//
// Thread-safe: every method may be called from any thread. lock_ guards the
// core, the waiting transfers and the flags; transfers are completed with it
// held (the bus promises that completing never calls back into the model).
// The unplug handler is called without lock_ held.
//
// Ownership: the camera owns its thread; its owners (the bus it is plugged
// into, whoever made it) destroy it on their own threads. Nothing the thread
// holds (transfers, the unplug handler's copy) owns the camera.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "emulator/camera/camera_clock.h"
#include "emulator/camera/camera_config.h"
#include "emulator/camera/camera_core.h"
#include "emulator/usb/usb_identity.h"
#include "platform/usbbus/usb_device_model.h"

namespace emu {

// A consistent copy of what the camera counted.
struct CameraSnapshot {
  CameraCounters counters;
  std::array<uint64_t, kFaultCount> faults_injected{};
  uint32_t zoom = 0;
  bool focused = false;
  bool silent = false;
  bool gone = false;
  size_t waiting_in = 0; // IN transfers waiting for a packet
};

class UsbCamera final : public usbbus::UsbDeviceModel {
public:
  // Makes a camera from a configuration: checks it and opens its pictures.
  // Returns null with *error set when either fails. The clock defaults to real
  // time; tests may pass a ManualCameraClock.
  static std::unique_ptr<UsbCamera> create(const CameraConfig &config, std::string *error,
                                           std::shared_ptr<CameraClock> clock = nullptr,
                                           UsbIdentityVariant variant = UsbIdentityVariant::Camera);

  UsbCamera(const CameraConfig &config, std::unique_ptr<PictureSource> source,
            std::shared_ptr<CameraClock> clock, UsbIdentityVariant variant);
  ~UsbCamera() override;
  UsbCamera(const UsbCamera &) = delete;
  UsbCamera &operator=(const UsbCamera &) = delete;

  // Called once, from the camera's thread, when the disconnect fault unplugs
  // the camera; it typically tells the bus to remove the device. Set it before
  // the camera is attached. It is not called once the bus has removed the
  // device, and removed() waits for a call in progress, so what the handler
  // refers to (the bus) need only outlive the bus's removal of the camera.
  void set_unplug_handler(std::function<void()> handler);

  // What the camera counted so far.
  CameraSnapshot snapshot() const;
  // The records of the last pictures taken (see CameraCore::pictures()).
  std::deque<PictureRecord> pictures() const;
  // Runs fn on the core under the camera's lock (tests: look at anything).
  void inspect(const std::function<void(const CameraCore &)> &fn) const;
  CameraClock &clock() const { return *clock_; }

  // usbbus::UsbDeviceModel
  std::span<const uint8_t> descriptor(uint8_t type, uint8_t index, uint16_t language_id) override;
  void submit(const usbbus::TransferHandle &transfer) override;
  void cancel(const usbbus::TransferHandle &transfer) override;
  usbbus::TransferOutcome reset_pipe(uint8_t endpoint_address) override;
  usbbus::TransferOutcome reset_port() override;
  void removed() override;

private:
  void submit_out_locked(const usbbus::TransferHandle &transfer);
  void serve_in_locked();
  void wake_thread_if_waiting_locked();
  void fail_all_in_locked();
  void camera_thread();

  UsbIdentityVariant variant_;
  std::shared_ptr<CameraClock> clock_;
  int clock_subscription_ = 0;

  mutable std::mutex lock_;      // guards everything below
  std::condition_variable wake_; // signals the camera thread: an IN transfer is left waiting, the clock
                                 // moved, an unplug or removal, stop
  CameraCore core_;
  std::deque<usbbus::TransferHandle> waiting_in_; // bulk IN transfers waiting, oldest first
  std::deque<usbbus::TransferHandle> silent_in_;  // transfers on other IN endpoints (never answered)
  std::function<void()> unplug_handler_;
  bool unplug_pending_ = false;    // the disconnect fault fired; the handler is still to be called
  bool in_unplug_handler_ = false; // the camera thread is calling the handler; `wake_` signals its end
  bool removed_ = false;           // the bus removed the device
  bool stop_ = false;              // the camera thread is to end
  std::thread thread_;             // completes transfers whose packets arrive later
};

} // namespace emu
