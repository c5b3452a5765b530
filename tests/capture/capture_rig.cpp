// The camera driver on the emulated camera through the host and the bus, and a
// frame stream on its capture pin.
#include "tests/capture/capture_rig.h"

#include <cstring>

#include "emulator/camera/jpeg_encode.h"
#include "emulator/camera/scene.h"
#include "tests/support/pictures.h"

namespace captest {

// ---------------------------------------------------------------------------
// CameraRig

CameraRig::~CameraRig() {
  stop();
}

NTSTATUS CameraRig::start(const emu::CameraConfig &config, std::string *error,
                          std::shared_ptr<emu::CameraClock> clock) {
  std::string why;
  camera_ = emu::UsbCamera::create(config, &why, std::move(clock));
  if (!camera_) {
    if (error != nullptr)
      *error = "camera: " + why;
    return STATUS_INVALID_PARAMETER;
  }
  bus_ = std::make_unique<usbbus::UsbBus>(camera_);
  usbbus::UsbBus *bus = bus_.get();
  camera_->set_unplug_handler([bus] { bus->remove_device(); });
  NTSTATUS status = streamclass::load_driver(::DriverEntry, driver_);
  if (NT_SUCCESS(status))
    status = driver_->start_device(bus_->physical_device_object(), adapter_);
  if (!NT_SUCCESS(status) && error != nullptr)
    *error = "driver start failed";
  return status;
}

void CameraRig::stop(streamclass::RemovalKind kind) {
  if (adapter_ && !adapter_->removed())
    adapter_->remove(kind);
  adapter_.reset();
  driver_.reset();
  bus_.reset();
  camera_.reset();
}

std::vector<uint8_t> CameraRig::format(LONG width, LONG height) {
  std::vector<uint8_t> format;
  if (!NT_SUCCESS(streamclass::video_format(*adapter_, 0, width, height, format)))
    format.clear();
  return format;
}

NTSTATUS CameraRig::open_pin(LONG width, LONG height, std::unique_ptr<streamclass::Pin> &pin) {
  std::vector<uint8_t> bytes = format(width, height);
  if (bytes.empty())
    return STATUS_NO_MATCH;
  return adapter_->open_pin(0, bytes, pin);
}

// ---------------------------------------------------------------------------
// FrameStream

FrameStream::FrameStream(streamclass::Pin &pin, FrameStreamOptions options,
                         std::function<void(const streamclass::Frame &)> hook)
    : options_(options), hook_(std::move(hook)) {
  streamclass::FrameStream::Options stream_options;
  stream_options.buffers = options.buffers;
  stream_options.buffer_bytes = options.buffer_bytes;
  stream_ = std::make_unique<streamclass::FrameStream>(
      pin, stream_options, [this](const streamclass::Frame &frame) { record(frame); });
}

void FrameStream::record(const streamclass::Frame &frame) {
  if (hook_)
    hook_(frame);
  if (!options_.keep_records)
    return;
  FrameRecord record;
  record.status = frame.status();
  record.header = frame.header();
  if (const KS_FRAME_INFO *info = frame.frame_info()) {
    record.has_info = true;
    record.info = *info;
  }
  if (auto *ext = static_cast<const SRB_EXTENSION *>(frame.request().srb().SRBExtension))
    record.frame_number = ext->FrameNumber;
  if (options_.keep_data && record.status == STATUS_SUCCESS)
    record.data.assign(frame.data().begin(), frame.data().end());
  record.arrived = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  records_.push_back(std::move(record));
}

std::vector<FrameRecord> FrameStream::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

} // namespace captest
