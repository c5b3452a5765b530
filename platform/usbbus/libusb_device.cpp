// The libusb device model: finding and opening the device, its event thread and hot-plug
// notices, and the control requests of the bus.
#include "platform/usbbus/libusb_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace usbbus {
namespace {

// The device a search found: referenced, until it is opened.
struct Search {
  const UsbSelector *selector = nullptr;
  libusb_device *found = nullptr;
};

// Hot-plug arrivals (and, registered with ENUMERATE, the devices already attached): keeps the
// first one the selector names.
int LIBUSB_CALL on_arrival(libusb_context *, libusb_device *device, libusb_hotplug_event, void *user) {
  auto &search = *static_cast<Search *>(user);
  libusb_device_descriptor d;
  if (search.found == nullptr && libusb_get_device_descriptor(device, &d) == LIBUSB_SUCCESS &&
      usb_selector_matches(*search.selector, libusb_get_bus_number(device), libusb_get_device_address(device),
                           d.idVendor, d.idProduct))
    search.found = libusb_ref_device(device);
  return 0;
}

// Finds the device, waiting for its arrival while keep_waiting says so. NULL when none came.
libusb_device *find_device(libusb_context *context, const UsbSelector &selector,
                           const std::function<bool()> &keep_waiting) {
  Search search{&selector, nullptr};
  const int vendor = selector.by_place ? LIBUSB_HOTPLUG_MATCH_ANY : selector.vendor_id;
  const int product = selector.by_place ? LIBUSB_HOTPLUG_MATCH_ANY : selector.product_id;
  libusb_hotplug_callback_handle arrivals;
  if (libusb_hotplug_register_callback(context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_ENUMERATE,
                                       vendor, product, LIBUSB_HOTPLUG_MATCH_ANY, on_arrival, &search,
                                       &arrivals) != LIBUSB_SUCCESS)
    return nullptr;
  while (search.found == nullptr && keep_waiting && keep_waiting()) {
    timeval poll{0, 100'000};
    libusb_handle_events_timeout_completed(context, &poll, nullptr);
  }
  libusb_hotplug_deregister_callback(context, arrivals);
  return search.found;
}

// The one-line reason for a device that could not be opened.
std::string open_failure_text(const UsbSelector &selector, libusb_device *device, int error) {
  libusb_device_descriptor d{};
  (void)libusb_get_device_descriptor(device, &d);
  char where[96];
  std::snprintf(where, sizeof(where), "the USB device %04x:%04x (bus %03u device %03u)", d.idVendor,
                d.idProduct, libusb_get_bus_number(device), libusb_get_device_address(device));
  if (error == LIBUSB_ERROR_ACCESS)
    return std::string("no permission to open ") + where +
           ": install contrib/udev/70-dscam.rules with its IDs, then plug it in again"
           " (README: Using a real camera)";
  return std::string("cannot open ") + where + " (--usb " + usb_selector_text(selector) +
         "): " + libusb_error_text(error);
}

} // namespace

std::shared_ptr<LibusbDevice> LibusbDevice::open(const UsbSelector &selector,
                                                 const std::function<bool()> &keep_waiting,
                                                 std::string *error, OpenFailure *failure) {
  OpenFailure why = OpenFailure::None;
  libusb_context *context = nullptr;
  libusb_device *device = nullptr;
  libusb_device_handle *handle = nullptr;
  int r = libusb_init(&context);
  if (r != LIBUSB_SUCCESS) {
    why = OpenFailure::NoLibrary;
    *error = "libusb cannot start: " + libusb_error_text(r);
  } else if ((device = find_device(context, selector, keep_waiting)) == nullptr) {
    why = OpenFailure::NotFound;
    *error = "no USB device " + usb_selector_text(selector) + " is attached ('dscam list' shows the cameras)";
  } else if ((r = libusb_open(device, &handle)) != LIBUSB_SUCCESS) {
    why = r == LIBUSB_ERROR_ACCESS ? OpenFailure::NoPermission
          : r == LIBUSB_ERROR_BUSY ? OpenFailure::Busy
                                   : OpenFailure::Other;
    *error = open_failure_text(selector, device, r);
  }
  if (device != nullptr)
    libusb_unref_device(device);
  std::shared_ptr<LibusbDevice> opened;
  if (handle != nullptr) {
    opened.reset(new LibusbDevice(context, handle));
    if (!opened->start(error)) {
      opened.reset(); // closes the handle and the context
      why = OpenFailure::Other;
    }
  } else if (context != nullptr) {
    libusb_exit(context);
  }
  if (failure != nullptr)
    *failure = why;
  return opened;
}

LibusbDevice::LibusbDevice(libusb_context *context, libusb_device_handle *handle)
    : context_(context), handle_(handle) {
  libusb_device *device = libusb_get_device(handle_);
  libusb_device_descriptor d{};
  (void)libusb_get_device_descriptor(device, &d);
  bus_ = libusb_get_bus_number(device);
  address_ = libusb_get_device_address(device);
  vendor_id_ = d.idVendor;
  product_id_ = d.idProduct;
}

// A kernel driver bound to the camera's interface is detached when the interface is claimed,
// and bound again when it is released.
bool LibusbDevice::start(std::string *error) {
  (void)libusb_set_auto_detach_kernel_driver(handle_, 1);
  int handle = 0;
  const int r =
      libusb_hotplug_register_callback(context_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0, vendor_id_, product_id_,
                                       LIBUSB_HOTPLUG_MATCH_ANY, LibusbCallbacks::device_left, this, &handle);
  if (r != LIBUSB_SUCCESS) {
    *error = "libusb cannot watch the device's removal: " + libusb_error_text(r);
    return false;
  }
  left_callback_ = handle;
  left_registered_ = true;
  events_ = std::thread([this] { event_thread(); });
  return true;
}

LibusbDevice::~LibusbDevice() {
  {
    std::unique_lock guard(lock_);
    removed_ = true;
    cancel_all_locked();
    // The event thread delivers the cancellations; a device that never answers them (a broken
    // host) leaves its transfers to libusb_close.
    idle_.wait_for(guard, std::chrono::seconds(2), [this] { return in_flight_.empty(); });
  }
  if (left_registered_)
    libusb_hotplug_deregister_callback(context_, left_callback_);
  release_interfaces();
  if (events_.joinable()) {
    stop_.store(true);
    libusb_interrupt_event_handler(context_);
    events_.join();
  }
  libusb_close(handle_);
  for (InFlight *flight : in_flight_) {
    libusb_free_transfer(flight->usb);
    delete flight;
  }
  libusb_exit(context_);
}

void LibusbDevice::set_unplug_handler(std::function<void()> handler) {
  std::lock_guard guard(lock_);
  unplug_handler_ = std::move(handler);
}

// libusb's event handling, one poll at a time; the bus's request packets of the transfers that
// ended in it are completed after it returns, with no libusb lock held.
void LibusbDevice::event_thread() {
  while (!stop_.load()) {
    ThreadCompletions completions;
    timeval poll{1, 0};
    libusb_handle_events_timeout_completed(context_, &poll, nullptr);
    completions.finish();
  }
}

int LIBUSB_CALL LibusbCallbacks::device_left(libusb_context *, libusb_device *device, libusb_hotplug_event,
                                             void *user) {
  LibusbDevice &self = *static_cast<LibusbDevice *>(user);
  if (device != libusb_get_device(self.handle_) || self.unplugged_.exchange(true))
    return 0;
  std::function<void()> handler;
  {
    std::lock_guard guard(self.lock_);
    if (!self.removed_)
      handler = self.unplug_handler_;
  }
  if (handler)
    handler();
  return 0;
}

std::span<const uint8_t> LibusbDevice::descriptor(uint8_t type, uint8_t index, uint16_t language_id) {
  std::span<const uint8_t> bytes;
  return get_descriptor(type, index, language_id, &bytes) == TransferOutcome::Success
             ? bytes
             : std::span<const uint8_t>();
}

// GET_DESCRIPTOR as a control transfer; a configuration is read as its header first, then whole.
// The answer is kept (the bus may hold its span); one equal to an earlier answer is shared.
TransferOutcome LibusbDevice::get_descriptor(uint8_t type, uint8_t index, uint16_t language_id,
                                             std::span<const uint8_t> *bytes) {
  std::vector<uint8_t> answer(type == LIBUSB_DT_CONFIG ? LIBUSB_DT_CONFIG_SIZE : 255);
  const uint16_t value = static_cast<uint16_t>(type << 8 | index);
  TransferOutcome outcome = control_in(LIBUSB_REQUEST_GET_DESCRIPTOR, value, language_id, &answer);
  if (outcome == TransferOutcome::Success && type == LIBUSB_DT_CONFIG && answer.size() >= 4) {
    const size_t total = static_cast<size_t>(answer[2] | answer[3] << 8);
    if (total > answer.size()) {
      answer.resize(total);
      outcome = control_in(LIBUSB_REQUEST_GET_DESCRIPTOR, value, language_id, &answer);
    }
  }
  if (outcome != TransferOutcome::Success)
    return outcome;
  std::lock_guard guard(lock_);
  auto kept = std::find(descriptors_.begin(), descriptors_.end(), answer);
  if (kept == descriptors_.end())
    kept = descriptors_.insert(descriptors_.end(), std::move(answer));
  *bytes = *kept;
  return TransferOutcome::Success;
}

// The configuration is set only when it changes: setting the current one again would reset
// the device's endpoints under a kernel driver or another program.
TransferOutcome LibusbDevice::set_configuration(uint8_t configuration_value) {
  int current = -1;
  if (libusb_get_configuration(handle_, &current) != LIBUSB_SUCCESS || current != configuration_value) {
    release_interfaces();
    const int r = libusb_set_configuration(handle_, configuration_value == 0 ? -1 : configuration_value);
    if (r != LIBUSB_SUCCESS)
      return outcome_from_libusb_error(r);
  }
  learn_endpoints(configuration_value);
  return TransferOutcome::Success;
}

// The transfer type of each endpoint of the configuration, for the transfers the bus submits.
void LibusbDevice::learn_endpoints(uint8_t configuration_value) {
  std::map<uint8_t, uint8_t> endpoints;
  libusb_config_descriptor *config = nullptr;
  if (configuration_value != 0 &&
      libusb_get_config_descriptor_by_value(libusb_get_device(handle_), configuration_value, &config) ==
          LIBUSB_SUCCESS) {
    for (int i = 0; i < config->bNumInterfaces; ++i)
      for (int a = 0; a < config->interface[i].num_altsetting; ++a) {
        const libusb_interface_descriptor &setting = config->interface[i].altsetting[a];
        for (int e = 0; e < setting.bNumEndpoints; ++e)
          endpoints[setting.endpoint[e].bEndpointAddress] =
              setting.endpoint[e].bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
      }
    libusb_free_config_descriptor(config);
  }
  std::lock_guard guard(lock_);
  endpoints_ = std::move(endpoints);
}

TransferOutcome LibusbDevice::select_interface(uint8_t interface_number, uint8_t alternate_setting) {
  bool claimed;
  {
    std::lock_guard guard(lock_);
    claimed = std::find(claimed_.begin(), claimed_.end(), interface_number) != claimed_.end();
  }
  if (!claimed) {
    const int r = libusb_claim_interface(handle_, interface_number);
    if (r != LIBUSB_SUCCESS)
      return outcome_from_libusb_error(r);
    std::lock_guard guard(lock_);
    claimed_.push_back(interface_number);
  }
  if (alternate_setting == 0)
    return TransferOutcome::Success;
  return outcome_from_libusb_error(
      libusb_set_interface_alt_setting(handle_, interface_number, alternate_setting));
}

void LibusbDevice::release_interfaces() {
  std::vector<uint8_t> claimed;
  {
    std::lock_guard guard(lock_);
    claimed.swap(claimed_);
  }
  for (uint8_t number : claimed)
    (void)libusb_release_interface(handle_, number); // a device that left has nothing to release
}

TransferOutcome LibusbDevice::reset_pipe(uint8_t endpoint_address) {
  return outcome_from_libusb_error(libusb_clear_halt(handle_, endpoint_address));
}

// libusb claims the interfaces again after the reset; a device that came back as another
// (its descriptors changed) must be opened anew, so for this handle it is gone.
TransferOutcome LibusbDevice::reset_port() {
  const int r = libusb_reset_device(handle_);
  return r == LIBUSB_ERROR_NOT_FOUND ? TransferOutcome::DeviceGone : outcome_from_libusb_error(r);
}

void LibusbDevice::removed() {
  std::lock_guard guard(lock_);
  removed_ = true;
  cancel_all_locked();
}

} // namespace usbbus
