// dscam list: the cameras a run can use, like lsusb: the emulated camera, and
// every attached USB device with an interface of the vendor class that has one
// bulk IN and one bulk OUT endpoint.
#include <cstdio>

#include "emulator/usb/usb_identity.h"
#include "platform/usbbus/libusb_device.h"
#include "tools/dscam/commands.h"
#include "tools/dscam/exit_codes.h"

namespace dscam {

int command_list(std::string *error) {
  const std::span<const uint8_t> d = emu::usb_device_descriptor();
  std::printf("Emulated:           ID %02x%02x:%02x%02x the emulated camera (used without --usb)\n", d[9],
              d[8], d[11], d[10]);
  std::vector<usbbus::UsbCameraListing> cameras;
  std::string why;
  const bool listed = usbbus::list_usb_cameras(&cameras, &why);
  for (const usbbus::UsbCameraListing &camera : cameras) {
    std::printf("Bus %03u Device %03u: ID %04x:%04x", camera.bus, camera.address, camera.vendor_id,
                camera.product_id);
    for (const std::string *text : {&camera.manufacturer, &camera.product})
      if (!text->empty())
        std::printf(" %s", text->c_str());
    if (!camera.note.empty())
      std::printf(" (%s)", camera.note.c_str());
    std::printf("\n");
  }
  std::fflush(stdout);
  if (!listed) {
    *error = why;
    return kExitDevice;
  }
  return kExitOk;
}

} // namespace dscam
