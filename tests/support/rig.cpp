// Putting the whole system together for a test, and taking it apart.
#include "tests/support/rig.h"

#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/ks_guids.h"

namespace rig {

emu::CameraConfig fast_camera() {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  config.pictures = emu::PictureMode::Prerendered;
  config.prerendered = 3;
  config.focus_ns = 5'000'000;
  return config;
}

streamclass::HostOptions host_options() {
  streamclass::HostOptions options;
  options.tick = std::chrono::milliseconds(5);
  options.device_request_timeout = 0;
  options.control_request_timeout = 0;
  options.data_request_timeout = 0;
  options.sync_wait_limit = std::chrono::milliseconds(10000);
  return options;
}

Rig::~Rig() {
  stop();
}

bool Rig::plug_camera(const emu::CameraConfig &config, std::string *error,
                      std::shared_ptr<emu::CameraClock> clock) {
  std::string why;
  std::shared_ptr<emu::UsbCamera> camera = emu::UsbCamera::create(config, &why, std::move(clock));
  if (!camera) {
    if (error != nullptr)
      *error = "camera: " + why;
    return false;
  }
  if (!plug(camera)) {
    if (error != nullptr)
      *error = "no bus";
    return false;
  }
  camera_ = std::move(camera);
  usbbus::UsbBus *bus = bus_.get();
  camera_->set_unplug_handler([bus] { bus->remove_device(); });
  return true;
}

bool Rig::plug(std::shared_ptr<usbbus::UsbDeviceModel> device) {
  bus_ = std::make_unique<usbbus::UsbBus>(std::move(device));
  if (bus_->physical_device_object() != nullptr)
    return true;
  bus_.reset();
  return false;
}

NTSTATUS Rig::start() {
  NTSTATUS status = streamclass::load_driver(::DriverEntry, driver_);
  if (NT_SUCCESS(status))
    status = driver_->start_device(pdo(), adapter_);
  if (!NT_SUCCESS(status)) {
    adapter_.reset();
    driver_.reset();
  }
  return status;
}

NTSTATUS Rig::open_pin(LONG width, LONG height, bool run) {
  NTSTATUS status = streamclass::video_format(*adapter_, 0, width, height, format_);
  if (NT_SUCCESS(status))
    status = adapter_->open_pin(0, format_, pin_);
  if (NT_SUCCESS(status) && run)
    status = pin_->use_default_clock();
  if (NT_SUCCESS(status) && run)
    status = pin_->set_state(KSSTATE_RUN);
  return status;
}

NTSTATUS Rig::stream(const StreamOptions &options) {
  StreamOptions sized = options;
  if (sized.buffer_bytes == 0)
    sized.buffer_bytes = image_bytes(); // the driver's pin does not report its format
  stream_ = std::make_unique<RecordedStream>(*pin_, sized);
  return stream_->start();
}

NTSTATUS Rig::close_pin() {
  NTSTATUS status = pin_ ? pin_->close() : STATUS_SUCCESS;
  stream_.reset();
  pin_.reset();
  return status;
}

ULONG Rig::image_bytes() const {
  return streamclass::video_image_size(format_);
}

void Rig::unplug() {
  if (bus_)
    bus_->remove_device();
}

NTSTATUS Rig::remove(streamclass::RemovalKind kind) {
  if (!adapter_ || adapter_->removed())
    return STATUS_SUCCESS;
  return adapter_->remove(kind);
}

void Rig::stop() {
  (void)close_pin();
  (void)remove(streamclass::RemovalKind::Orderly);
  adapter_.reset();
  driver_.reset();
  bus_.reset();
  camera_.reset();
}

// ---------------------------------------------------------------------------
// Camera controls

namespace {

KSPROPERTY_CAMERACONTROL_S camera_control(ULONG id, ULONG flags) {
  KSPROPERTY_CAMERACONTROL_S record{};
  record.Property = KSPROPERTY{PROPSETID_VIDCAP_CAMERACONTROL, id, flags};
  return record;
}

} // namespace

NTSTATUS set_zoom(streamclass::Adapter &adapter, LONG value) {
  KSPROPERTY_CAMERACONTROL_S record = camera_control(KSPROPERTY_CAMERACONTROL_ZOOM, KSPROPERTY_TYPE_SET);
  record.Value = value;
  record.Flags = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
  return adapter.set_property(record);
}

NTSTATUS get_zoom(streamclass::Adapter &adapter, LONG *value) {
  KSPROPERTY_CAMERACONTROL_S record = camera_control(KSPROPERTY_CAMERACONTROL_ZOOM, KSPROPERTY_TYPE_GET);
  NTSTATUS status = adapter.get_property(record);
  if (NT_SUCCESS(status) && value != nullptr)
    *value = record.Value;
  return status;
}

NTSTATUS focus_auto(streamclass::Adapter &adapter) {
  KSPROPERTY_CAMERACONTROL_S record = camera_control(KSPROPERTY_CAMERACONTROL_FOCUS, KSPROPERTY_TYPE_SET);
  record.Flags = KSPROPERTY_CAMERACONTROL_FLAGS_AUTO;
  return adapter.set_property(record);
}

NTSTATUS picture_counts(streamclass::Pin &pin, KSPROPERTY_VELTRA_PICTURE_COUNTS_S *counts) {
  *counts = {};
  counts->Property =
      KSPROPERTY{PROPSETID_VELTRA_PICTURES, KSPROPERTY_VELTRA_PICTURE_COUNTS, KSPROPERTY_TYPE_GET};
  return pin.get_property(*counts);
}

} // namespace rig
