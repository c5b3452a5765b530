// The libusb device model of a build without libusb: every device is out of reach.
#include "platform/usbbus/libusb_device.h"

namespace usbbus {
namespace {

constexpr const char *kNoLibusb = "this dscam was built without libusb (DSCAM_LIBUSB=OFF): no real camera";

} // namespace

std::shared_ptr<LibusbDevice> LibusbDevice::open(const UsbSelector &, const std::function<bool()> &,
                                                 std::string *error, OpenFailure *failure) {
  *error = kNoLibusb;
  if (failure != nullptr)
    *failure = OpenFailure::NoLibrary;
  return nullptr;
}

// Never made; open() above is the only way to one.
LibusbDevice::~LibusbDevice() = default;
void LibusbDevice::set_unplug_handler(std::function<void()>) {}
std::span<const uint8_t> LibusbDevice::descriptor(uint8_t, uint8_t, uint16_t) {
  return {};
}
TransferOutcome LibusbDevice::get_descriptor(uint8_t, uint8_t, uint16_t, std::span<const uint8_t> *) {
  return TransferOutcome::DeviceGone;
}
TransferOutcome LibusbDevice::set_configuration(uint8_t) {
  return TransferOutcome::DeviceGone;
}
TransferOutcome LibusbDevice::select_interface(uint8_t, uint8_t) {
  return TransferOutcome::DeviceGone;
}
void LibusbDevice::submit(const TransferHandle &transfer) {
  transfer->fail(TransferOutcome::DeviceGone);
}
void LibusbDevice::cancel(const TransferHandle &) {}
TransferOutcome LibusbDevice::reset_pipe(uint8_t) {
  return TransferOutcome::DeviceGone;
}
TransferOutcome LibusbDevice::reset_port() {
  return TransferOutcome::DeviceGone;
}
void LibusbDevice::removed() {}

bool list_usb_cameras(std::vector<UsbCameraListing> *cameras, std::string *error) {
  cameras->clear();
  *error = kNoLibusb;
  return false;
}

} // namespace usbbus
