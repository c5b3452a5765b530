// The interface between the USB bus driver and a USB device model (the hardware behind the
// camera's physical device object).
//
// The bus answers the standard control requests from the model's descriptors, and hands every
// bulk or interrupt transfer to the model as a `usbbus::Transfer`. The model answers a transfer
// either at once, inside `submit` (its data is ready and its link allows it now: the bus then
// completes the request in the caller's context), or later, from any thread it likes (the bus
// then completes the request on its host-controller thread, or on the model's thread when that
// thread collects its completions with a ThreadCompletions).
//
// Threading contract
// - The bus calls the model from driver threads, possibly from several at once (a read pending
//   on the IN endpoint while a write arrives on the OUT endpoint): every method must be
//   thread-safe. The bus holds none of its own locks while it calls the model.
// - `Transfer::complete_in`, `complete_out`, `fail` and `is_active` may be called from any
//   thread, with the model's own locks held: they never call back into the model and never run
//   driver code (driver completion routines run on the caller's thread after `submit` returns,
//   or on the bus's host-controller thread).
// - Ownership: the UsbBus owns the model (shared with whoever made it) and destroys its share
//   on its owner's thread. A transfer keeps only the bus's bookkeeping alive, never the model
//   or a thread, so a model's thread may hold or drop transfers at any time, also after the
//   bus is gone. Drop transfers when they end, at the latest on `removed`.
// - A transfer ends exactly once: by the model's completion, by a cancel (`IoCancelIrp`, a pipe
//   reset, a port reset) or by the device's removal. Whichever comes first wins; the others are
//   ignored and return false. After `cancel` or `removed` the model should drop its reference;
//   holding it longer is harmless.
// - A transfer waits as long as the model has nothing to say: the bus sets no time limit.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace usbbus {

// How a transfer or a control request ended, as the device or the bus decided. The bus turns it
// into a USBD status in the URB and an NT status in the request packet (usb_status.h).
enum class TransferOutcome {
  Success,     // USBD_STATUS_SUCCESS
  Stall,       // USBD_STATUS_STALL_PID; the endpoint is halted until its pipe is reset
  NoResponse,  // USBD_STATUS_DEV_NOT_RESPONDING (transaction error)
  DataOverrun, // USBD_STATUS_DATA_OVERRUN: the device sent more than the transfer's length
  Cancelled,   // USBD_STATUS_CANCELED (set by the bus)
  DeviceGone,  // USBD_STATUS_DEVICE_GONE (set by the bus, or by a real device's host)
  Timeout,     // USBD_STATUS_TIMEOUT: a real device did not answer a control request in time
  NoMemory,    // USBD_STATUS_NO_MEMORY: the host could not allocate the request
  Refused,     // USBD_STATUS_REQUEST_FAILED: the host refused it (busy, no permission, not found)
};

// One bulk or interrupt transfer, owned by the bus, shared with the model while it is pending.
class Transfer {
public:
  virtual ~Transfer() = default;

  // Endpoint address with its direction bit (0x80 = IN).
  virtual uint8_t endpoint_address() const = 0;
  bool is_in() const { return (endpoint_address() & 0x80) != 0; }
  // The bytes the host asks for (IN) or sends (OUT).
  virtual uint32_t length() const = 0;
  // OUT: the bytes the host sends (a copy the bus made at submission; valid as long as the
  // model holds the transfer). IN: empty.
  virtual std::span<const uint8_t> out_data() const = 0;
  // A number that tells transfers apart in traces (increasing per bus).
  virtual uint64_t id() const = 0;

  // IN: ends the transfer with `data` copied into the host's buffer. Fewer bytes than length()
  // is a short packet; more is a babble: the first length() bytes are copied and the transfer
  // ends with DataOverrun. Returns false (nothing copied) when the transfer had already ended.
  virtual bool complete_in(std::span<const uint8_t> data) = 0;
  // OUT: ends the transfer with `accepted` bytes taken (at most length()).
  virtual bool complete_out(uint32_t accepted) = 0;
  // Ends the transfer with an error outcome after `bytes` moved (IN: no data is copied).
  virtual bool fail(TransferOutcome outcome, uint32_t bytes = 0) = 0;
  // Whether the transfer is still waiting for the model.
  virtual bool is_active() const = 0;
};

using TransferHandle = std::shared_ptr<Transfer>;

// Lets a device model's own thread finish the transfers it ends, in place of the bus's
// host-controller thread: one thread hop less for a transfer that pended. While an object of
// this class is in scope on a thread, transfers that this thread ends (`complete_in`,
// `complete_out`, `fail`) after their dispatch call has returned are kept in it instead of
// being queued for the host-controller thread; `finish()` then completes their request packets
// on this thread, at DISPATCH_LEVEL, as the host-controller thread would. The driver's
// completion routines run inside `finish()` and may submit the next transfer, so it must be
// called with no lock held that the model or the bus takes (the model's own locks included).
// Transfers ended while `finish()` runs, and those still kept when the object goes out of
// scope, go to the host-controller thread as usual. One object per thread at a time; not
// shared between threads.
class ThreadCompletions {
public:
  ThreadCompletions();
  ~ThreadCompletions();
  ThreadCompletions(const ThreadCompletions &) = delete;
  ThreadCompletions &operator=(const ThreadCompletions &) = delete;

  // Whether a transfer was kept.
  bool any() const { return !ended_.empty(); }
  // Completes the kept transfers, oldest first. No lock held (see above).
  void finish();
  // Internal to the bus: keeps `transfer` if this thread collects; false if it does not.
  static bool keep(const TransferHandle &transfer);

private:
  ThreadCompletions *outer_;
  bool collecting_ = true;
  std::vector<TransferHandle> ended_;
};

// A USB device as the bus sees it.
class UsbDeviceModel {
public:
  virtual ~UsbDeviceModel() = default;

  // The bytes of the descriptor of `type` and `index` (language `language_id` for strings), as
  // the device returns them to GET_DESCRIPTOR: for a configuration, the header followed by its
  // interface and endpoint descriptors. Empty: the device stalls the request. The bus copies at
  // most the requested length. The span stays valid until the model is destroyed.
  virtual std::span<const uint8_t> descriptor(uint8_t type, uint8_t index, uint16_t language_id) = 0;

  // GET_DESCRIPTOR with its outcome: the bus asks this, which by default answers from
  // descriptor() (Success with its bytes, or Stall when it has none). A model whose requests can
  // end otherwise (a real device that times out or is gone) overrides it. On Success *bytes
  // holds the answer, valid until the model is destroyed.
  virtual TransferOutcome get_descriptor(uint8_t type, uint8_t index, uint16_t language_id,
                                         std::span<const uint8_t> *bytes) {
    *bytes = descriptor(type, index, language_id);
    return bytes->empty() ? TransferOutcome::Stall : TransferOutcome::Success;
  }

  // SET_CONFIGURATION with bConfigurationValue (0: unconfigured). The bus has already checked the
  // value against the configuration descriptor and built the pipes; anything but Success fails
  // the request and leaves the device unconfigured.
  virtual TransferOutcome set_configuration(uint8_t configuration_value) {
    (void)configuration_value;
    return TransferOutcome::Success;
  }

  // The host selected `interface_number` in `alternate_setting` with the configuration (one call
  // per interface of the select-configuration request, after set_configuration): a real device's
  // host claims it here. Anything but Success fails the request as set_configuration does.
  virtual TransferOutcome select_interface(uint8_t interface_number, uint8_t alternate_setting) {
    (void)interface_number;
    (void)alternate_setting;
    return TransferOutcome::Success;
  }

  // A bulk or interrupt transfer on an endpoint of the selected configuration. Answer at once
  // (complete before returning) or keep the handle and answer later from any thread.
  virtual void submit(const TransferHandle &transfer) = 0;

  // The host ended `transfer` (cancel, pipe reset, port reset) before the model answered it.
  virtual void cancel(const TransferHandle &transfer) { (void)transfer; }

  // CLEAR_FEATURE(ENDPOINT_HALT) on the endpoint: its halt is cleared, data toggle reset. The
  // bus has already ended the endpoint's pending transfers. The outcome is the request's.
  virtual TransferOutcome reset_pipe(uint8_t endpoint_address) {
    (void)endpoint_address;
    return TransferOutcome::Success;
  }

  // The port was reset: the device starts again from its power-on state. The bus has already
  // ended every pending transfer; on Success it then restores the selected configuration
  // (set_configuration again; the interfaces stay selected), so the host's pipe handles stay
  // valid.
  virtual TransferOutcome reset_port() { return TransferOutcome::Success; }

  // The device was unplugged. The bus has already ended every pending transfer; it calls the
  // model no more after this.
  virtual void removed() {}
};

} // namespace usbbus
