// The camera on its bus, and the driver's device over it.
#include "tests/reliability/camera_plug.h"

#include "adapter/adapter.h"
#include "platform/streamclass/frame_stream.h"

namespace reliability {

CameraPlug::CameraPlug(const emu::CameraConfig &config, std::string *error) {
  camera_ = emu::UsbCamera::create(config, error);
  if (!camera_)
    return;
  bus_ = std::make_unique<usbbus::UsbBus>(camera_);
  usbbus::UsbBus *bus = bus_.get();
  camera_->set_unplug_handler([bus] { bus->remove_device(); });
}

CameraPlug::~CameraPlug() {
  bus_.reset();
  camera_.reset();
}

NTSTATUS CameraDevice::start(CameraPlug &plug) {
  NTSTATUS status = streamclass::load_driver(::DriverEntry, driver_);
  if (NT_SUCCESS(status))
    status = driver_->start_device(plug.bus().physical_device_object(), adapter_);
  if (!NT_SUCCESS(status)) {
    adapter_.reset();
    driver_.reset();
  }
  return status;
}

void CameraDevice::remove(streamclass::RemovalKind kind) {
  if (adapter_ && !adapter_->removed())
    adapter_->remove(kind);
  adapter_.reset();
  driver_.reset();
}

NTSTATUS CameraDevice::open_pin(LONG width, LONG height, std::unique_ptr<streamclass::Pin> &pin,
                                ULONG *image_bytes) {
  std::vector<uint8_t> format;
  NTSTATUS status = streamclass::video_format(*adapter_, 0, width, height, format);
  if (!NT_SUCCESS(status))
    return status;
  *image_bytes = streamclass::video_image_size(format);
  return adapter_->open_pin(0, format, pin);
}

} // namespace reliability
