// A real USB device as a device model of the bus, through libusb (on Linux, the kernel's usbfs).
//
// open() finds the device a selector names (waiting for it to arrive when asked), opens it and
// starts the model's event thread, which runs libusb's event handling: the completions of the
// bulk and interrupt transfers the bus submits (asynchronous libusb transfers, no time limit)
// and the hot-plug notices. Descriptor reads and the control requests (configuration,
// interface claim, clear halt, port reset) are synchronous on the calling thread, each ending
// within 2 s: a descriptor read is an asynchronous libusb control transfer that the event
// thread ends (so that one thread alone handles libusb's events), the others are libusb's
// synchronous requests. Every libusb status becomes a TransferOutcome in one place
// (libusb_status.cpp), which the bus maps to its USBD and NT statuses.
//
// Transfers end on the event thread, where the bus completes their request packets
// (ThreadCompletions) once libusb's event handling has returned; a transfer ended while another
// thread happened to run libusb's event handling is completed on the bus's host-controller
// thread. A cancel from the bus is a libusb_cancel_transfer: the transfer has ended for the bus
// at once, and libusb's cancellation only releases it.
//
// Hot-plug: when the device leaves, the unplug handler is called once, from the event thread,
// without lock_ held, unless the bus has removed the device already; it must not block (the
// tool's only records it and wakes its main loop, which removes the device from the bus).
// Transfers in flight end as DeviceGone meanwhile. A call may still be running when removed()
// returns; the destructor waits for it (it stops the event thread).
//
// Thread-safe: every method may be called from any thread. lock_ guards the transfers in flight,
// the endpoint types, the claimed interfaces, the descriptors read and the flags; libusb is
// called with it held only to submit and cancel transfers, which never call back into the
// model. Lock order: lock_, then libusb's own locks; libusb calls the transfer and hot-plug
// callbacks with its event lock held and none of the model's.
//
// Ownership: the model owns its libusb context, its device handle and its event thread; its
// owners (the bus, whoever opened it) destroy it on their own threads, never on the event
// thread. The destructor cancels the transfers still in flight, waits for their ends, releases
// the claimed interfaces, stops the event thread and closes the device.
#pragma once

#include "platform/usbbus/usb_device_model.h"
#include "platform/usbbus/usb_selector.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct libusb_context;
struct libusb_device_handle;

namespace usbbus {

struct LibusbCallbacks;

class LibusbDevice final : public UsbDeviceModel {
public:
  // Why open() failed.
  enum class OpenFailure { None, NoLibrary, NotFound, NoPermission, Busy, Other };

  // Opens the device `selector` names. While none is attached: with `keep_waiting` null open
  // fails at once; otherwise it waits for one to arrive, asking keep_waiting every 100 ms
  // whether to go on. Returns null with *error a one-line reason and *failure its kind. Blocks;
  // any thread but an event thread.
  static std::shared_ptr<LibusbDevice> open(const UsbSelector &selector,
                                            const std::function<bool()> &keep_waiting, std::string *error,
                                            OpenFailure *failure = nullptr);
  ~LibusbDevice() override;
  LibusbDevice(const LibusbDevice &) = delete;
  LibusbDevice &operator=(const LibusbDevice &) = delete;

  // Where the device is and what it is.
  uint8_t bus_number() const { return bus_; }
  uint8_t device_address() const { return address_; }
  uint16_t vendor_id() const { return vendor_id_; }
  uint16_t product_id() const { return product_id_; }

  // Called once, from the event thread, when the device leaves (see above); what it refers to
  // must outlive the model. Set it before the device is plugged into a bus.
  void set_unplug_handler(std::function<void()> handler);

  // usbbus::UsbDeviceModel
  std::span<const uint8_t> descriptor(uint8_t type, uint8_t index, uint16_t language_id) override;
  TransferOutcome get_descriptor(uint8_t type, uint8_t index, uint16_t language_id,
                                 std::span<const uint8_t> *bytes) override;
  TransferOutcome set_configuration(uint8_t configuration_value) override;
  TransferOutcome select_interface(uint8_t interface_number, uint8_t alternate_setting) override;
  void submit(const TransferHandle &transfer) override;
  void cancel(const TransferHandle &transfer) override;
  TransferOutcome reset_pipe(uint8_t endpoint_address) override;
  TransferOutcome reset_port() override;
  void removed() override;

private:
  friend struct LibusbCallbacks;
  struct InFlight;

  LibusbDevice(libusb_context *context, libusb_device_handle *handle);
  bool start(std::string *error);
  void event_thread();
  TransferOutcome control_in(uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> *data);
  void cancel_all_locked();
  void release_interfaces();
  void learn_endpoints(uint8_t configuration_value);

  libusb_context *const context_;
  libusb_device_handle *const handle_;
  uint8_t bus_ = 0;
  uint8_t address_ = 0;
  uint16_t vendor_id_ = 0;
  uint16_t product_id_ = 0;
  int left_callback_ = 0;
  bool left_registered_ = false;

  mutable std::mutex lock_;              // guards every field below
  std::condition_variable idle_;         // signals: the last transfer in flight has ended
  std::vector<InFlight *> in_flight_;    // submitted to libusb, not yet called back
  std::map<uint8_t, uint8_t> endpoints_; // endpoint address -> libusb transfer type, of the configuration
  std::vector<uint8_t> claimed_;         // interface numbers claimed
  std::deque<std::vector<uint8_t>> descriptors_; // answers handed to the bus, kept until destruction
  std::function<void()> unplug_handler_;
  bool removed_ = false; // the bus removed the device, or the model is being destroyed

  std::atomic<bool> unplugged_{false}; // the device left; the handler has been called
  std::atomic<bool> stop_{false};      // the event thread is to end
  std::thread events_;                 // runs libusb's event handling
};

// One attached device that looks like the camera: an interface of the vendor class with one
// bulk IN and one bulk OUT endpoint.
struct UsbCameraListing {
  uint8_t bus = 0;
  uint8_t address = 0;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  std::string manufacturer; // the device's strings, empty when it has none
  std::string product;
  std::string note; // why the strings could not be read (no permission, ...), else empty
};

// Lists the attached devices that look like the camera, in bus and address order. False with
// *error a one-line reason when libusb cannot list devices. Blocks (each device is opened to
// read its strings); any thread.
bool list_usb_cameras(std::vector<UsbCameraListing> *cameras, std::string *error);

} // namespace usbbus
