// Listing the attached devices that look like the camera.
#include "platform/usbbus/libusb_internal.h"

#include <algorithm>

namespace usbbus {
namespace {

// Whether an interface setting is the camera's kind: vendor class, one bulk IN and one bulk
// OUT endpoint (other endpoints beside them are allowed).
bool camera_like(const libusb_interface_descriptor &setting) {
  if (setting.bInterfaceClass != LIBUSB_CLASS_VENDOR_SPEC)
    return false;
  int bulk_in = 0;
  int bulk_out = 0;
  for (int e = 0; e < setting.bNumEndpoints; ++e) {
    const libusb_endpoint_descriptor &endpoint = setting.endpoint[e];
    if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
      continue;
    ++((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? bulk_in : bulk_out);
  }
  return bulk_in == 1 && bulk_out == 1;
}

// Whether any configuration of the device has such an interface.
bool has_camera_interface(libusb_device *device, uint8_t configurations) {
  bool found = false;
  for (uint8_t c = 0; c < configurations && !found; ++c) {
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_config_descriptor(device, c, &config) != LIBUSB_SUCCESS)
      continue;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i)
      for (int a = 0; a < config->interface[i].num_altsetting && !found; ++a)
        found = camera_like(config->interface[i].altsetting[a]);
    libusb_free_config_descriptor(config);
  }
  return found;
}

// A string descriptor of the device in ASCII, empty when it has none at `index`.
std::string read_string(libusb_device_handle *handle, uint8_t index) {
  unsigned char text[256];
  const int r = index != 0 ? libusb_get_string_descriptor_ascii(handle, index, text, sizeof(text)) : 0;
  return r > 0 ? std::string(reinterpret_cast<const char *>(text), static_cast<size_t>(r)) : std::string();
}

// The listing of one device, with its strings when it can be opened.
UsbCameraListing listing_of(libusb_device *device, const libusb_device_descriptor &d) {
  UsbCameraListing listing;
  listing.bus = libusb_get_bus_number(device);
  listing.address = libusb_get_device_address(device);
  listing.vendor_id = d.idVendor;
  listing.product_id = d.idProduct;
  libusb_device_handle *handle = nullptr;
  const int r = libusb_open(device, &handle);
  if (r == LIBUSB_ERROR_ACCESS) {
    listing.note = "no permission to open it: see contrib/udev/70-dscam.rules";
  } else if (r != LIBUSB_SUCCESS) {
    listing.note = "cannot open it: " + libusb_error_text(r);
  } else {
    listing.manufacturer = read_string(handle, d.iManufacturer);
    listing.product = read_string(handle, d.iProduct);
    libusb_close(handle);
  }
  return listing;
}

} // namespace

bool list_usb_cameras(std::vector<UsbCameraListing> *cameras, std::string *error) {
  libusb_context *context = nullptr;
  int r = libusb_init(&context);
  if (r != LIBUSB_SUCCESS) {
    *error = "libusb cannot start: " + libusb_error_text(r);
    return false;
  }
  libusb_device **devices = nullptr;
  const ssize_t count = libusb_get_device_list(context, &devices);
  if (count < 0) {
    *error = "libusb cannot list the USB devices: " + libusb_error_text(static_cast<int>(count));
    libusb_exit(context);
    return false;
  }
  cameras->clear();
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(devices[i], &d) == LIBUSB_SUCCESS &&
        has_camera_interface(devices[i], d.bNumConfigurations))
      cameras->push_back(listing_of(devices[i], d));
  }
  libusb_free_device_list(devices, 1);
  libusb_exit(context);
  std::sort(cameras->begin(), cameras->end(), [](const UsbCameraListing &a, const UsbCameraListing &b) {
    return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
  });
  return true;
}

} // namespace usbbus
