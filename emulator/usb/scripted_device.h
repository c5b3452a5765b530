// A scripted USB device: the camera's USB identity (or any descriptor bytes) with endpoints that
// answer from a script or loop OUT data back to IN. Used to test the bus and the USB transport
// before, and beside, the camera's protocol.
//
// Endpoints: bytes written to an OUT endpoint are recorded; in loopback mode (the default) each
// OUT transfer also becomes one packet on the IN endpoint. Queued IN packets are handed out one
// per IN transfer, oldest first. An IN transfer with nothing to read waits until a packet is
// queued (from any thread), a cancel, or the device's removal.
//
// Timing: in Immediate mode a transfer whose answer is ready is answered inside submit (the bus
// completes it in the caller's context); in Deferred mode every answer comes from the device's
// own thread after `latency`, and the bus completes it on that thread (ThreadCompletions), or on
// its host-controller thread when the transfer was ended while its dispatch call still ran.
//
// Thread-safe: every method may be called from any thread. `lock_` guards all mutable state;
// transfers are completed with it held (the bus's completion never calls back into the model).
#pragma once

#include "emulator/usb/usb_identity.h"
#include "platform/usbbus/usb_device_model.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace emu {

class ScriptedUsbDevice : public usbbus::UsbDeviceModel {
public:
  enum class AnswerMode { Immediate, Deferred };

  explicit ScriptedUsbDevice(UsbIdentityVariant variant = UsbIdentityVariant::Camera);
  ~ScriptedUsbDevice() override;
  ScriptedUsbDevice(const ScriptedUsbDevice &) = delete;
  ScriptedUsbDevice &operator=(const ScriptedUsbDevice &) = delete;

  // Descriptor bytes the device returns (set while no descriptor request is in progress).
  void set_device_descriptor(std::span<const uint8_t> bytes);
  void set_configuration_descriptor(std::span<const uint8_t> bytes);
  // Makes GET_DESCRIPTOR of `type` stall.
  void stall_descriptor(uint8_t type);

  void set_answer_mode(AnswerMode mode, std::chrono::microseconds latency = std::chrono::microseconds(0));
  void set_loopback(bool on);

  // Queues one IN packet on `endpoint` (the camera's bulk IN by default); answers a waiting
  // IN transfer at once, from the calling thread (or the device thread in Deferred mode).
  void queue_in(std::span<const uint8_t> packet, uint8_t endpoint = kCameraBulkIn);
  // Queues an IN answer that ends the transfer with `outcome` and no data.
  void queue_in_failure(usbbus::TransferOutcome outcome, uint8_t endpoint = kCameraBulkIn);
  // The next OUT transfer ends with `outcome` and no bytes taken.
  void fail_next_out(usbbus::TransferOutcome outcome);

  // What the device saw.
  std::vector<std::vector<uint8_t>> out_packets() const;
  size_t waiting_in_transfers() const;
  size_t submitted() const;
  size_t cancelled() const;
  uint8_t configuration() const;
  std::vector<uint8_t> pipe_resets() const;
  size_t port_resets() const;
  bool is_removed() const;

  // usbbus::UsbDeviceModel
  std::span<const uint8_t> descriptor(uint8_t type, uint8_t index, uint16_t language_id) override;
  usbbus::TransferOutcome set_configuration(uint8_t configuration_value) override;
  void submit(const usbbus::TransferHandle &transfer) override;
  void cancel(const usbbus::TransferHandle &transfer) override;
  usbbus::TransferOutcome reset_pipe(uint8_t endpoint_address) override;
  usbbus::TransferOutcome reset_port() override;
  void removed() override;

  // The device's own thread (it runs Deferred answers).
  std::thread::id thread_id() const { return thread_.get_id(); }

private:
  // One scripted IN answer: data, or a failure outcome.
  struct InAnswer {
    std::vector<uint8_t> data;
    std::optional<usbbus::TransferOutcome> failure;
  };
  // A completion the device thread runs later.
  struct Deferred {
    std::chrono::steady_clock::time_point due;
    usbbus::TransferHandle transfer;
    InAnswer answer;
  };

  void submit_locked(const usbbus::TransferHandle &transfer);
  void wake_device_thread(std::unique_lock<std::mutex> &guard);
  void answer_locked(const usbbus::TransferHandle &transfer, InAnswer answer);
  void match_in_locked(uint8_t endpoint);
  static bool finish(const usbbus::TransferHandle &transfer, const InAnswer &answer);
  void device_thread();

  mutable std::mutex lock_;      // guards every field below
  std::condition_variable wake_; // signals the device thread: a deferred answer or stop
  std::vector<uint8_t> device_descriptor_;
  std::vector<uint8_t> configuration_descriptor_;
  std::vector<uint8_t> stalled_types_;
  AnswerMode mode_ = AnswerMode::Immediate;
  std::chrono::microseconds latency_{0};
  bool loopback_ = true;
  std::map<uint8_t, std::deque<InAnswer>> in_queue_;                 // by IN endpoint
  std::map<uint8_t, std::deque<usbbus::TransferHandle>> waiting_in_; // by IN endpoint
  std::optional<usbbus::TransferOutcome> out_failure_;
  std::vector<std::vector<uint8_t>> out_packets_;
  std::deque<Deferred> deferred_;
  bool wake_pending_ = false; // a deferred answer was queued; the device thread is still to be woken
  size_t submitted_ = 0;
  size_t cancelled_ = 0;
  uint8_t configuration_ = 0;
  std::vector<uint8_t> pipe_resets_;
  size_t port_resets_ = 0;
  bool removed_ = false;
  bool stop_ = false;
  std::thread thread_; // the device's own thread for Deferred answers
};

} // namespace emu
