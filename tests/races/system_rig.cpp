// The whole system for race tests and fuzz targets.
#include "tests/races/system_rig.h"

#include "adapter/adapter.h"
#include "platform/kernel/control.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/thread.h"
#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/ks_guids.h"

namespace races {

// ---------------------------------------------------------------------------
// SteppedDevice

SteppedDevice::SteppedDevice(std::shared_ptr<usbbus::UsbDeviceModel> inner) : inner_(std::move(inner)) {}

void SteppedDevice::stop_at(size_t step, AtStep mode) {
  std::lock_guard hold(lock_);
  stop_at_ = step == 0 ? 0 : transfers_ + step;
  mode_ = mode;
  reached_ = false;
  holding_ = false;
}

bool SteppedDevice::wait_step(std::chrono::milliseconds timeout) {
  std::unique_lock hold(lock_);
  return hit_.wait_for(hold, timeout, [this] { return reached_; });
}

size_t SteppedDevice::transfers() const {
  std::lock_guard hold(lock_);
  return transfers_;
}

std::span<const uint8_t> SteppedDevice::descriptor(uint8_t type, uint8_t index, uint16_t language_id) {
  return inner_->descriptor(type, index, language_id);
}

void SteppedDevice::set_configuration(uint8_t configuration_value) {
  inner_->set_configuration(configuration_value);
}

// Counts the transfer; at the armed step signals the waiter and, in Hold mode,
// keeps this and every later transfer from the inner model (the bus ends them).
void SteppedDevice::submit(const usbbus::TransferHandle &transfer) {
  {
    std::lock_guard hold(lock_);
    ++transfers_;
    if (stop_at_ != 0 && transfers_ == stop_at_) {
      reached_ = true;
      holding_ = mode_ == AtStep::Hold;
      hit_.notify_all();
    }
    if (holding_)
      return;
  }
  inner_->submit(transfer);
}

void SteppedDevice::cancel(const usbbus::TransferHandle &transfer) {
  inner_->cancel(transfer);
}

void SteppedDevice::reset_pipe(uint8_t endpoint_address) {
  inner_->reset_pipe(endpoint_address);
}

// A port reset brings a device that fell silent back: it answers again from
// its power-on state.
void SteppedDevice::reset_port() {
  {
    std::lock_guard hold(lock_);
    holding_ = false;
  }
  inner_->reset_port();
}

void SteppedDevice::removed() {
  inner_->removed();
}

// ---------------------------------------------------------------------------
// SystemRig

SystemRig::~SystemRig() {
  stop();
}

NTSTATUS SystemRig::start(std::shared_ptr<usbbus::UsbDeviceModel> device) {
  bus_ = std::make_unique<usbbus::UsbBus>(std::move(device));
  if (bus_->physical_device_object() == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = streamclass::load_driver(::DriverEntry, driver_);
  if (NT_SUCCESS(status))
    status = driver_->start_device(bus_->physical_device_object(), adapter_);
  return status;
}

void SystemRig::unplug() {
  if (bus_)
    bus_->remove_device();
}

NTSTATUS SystemRig::remove(streamclass::RemovalKind kind) {
  if (!adapter_ || adapter_->removed())
    return STATUS_SUCCESS;
  return adapter_->remove(kind);
}

void SystemRig::stop() {
  if (adapter_ && !adapter_->removed())
    adapter_->remove(streamclass::RemovalKind::Orderly);
  adapter_.reset();
  driver_.reset();
  bus_.reset();
}

NTSTATUS SystemRig::open_pin(LONG width, LONG height, std::unique_ptr<streamclass::Pin> &pin) {
  std::vector<uint8_t> format;
  NTSTATUS status = streamclass::video_format(*adapter_, 0, width, height, format);
  if (!NT_SUCCESS(status))
    return status;
  return adapter_->open_pin(0, format, pin);
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

NTSTATUS control_set_zoom(streamclass::Adapter &adapter, LONG value) {
  KSPROPERTY_CAMERACONTROL_S record = camera_control(KSPROPERTY_CAMERACONTROL_ZOOM, KSPROPERTY_TYPE_SET);
  record.Value = value;
  record.Flags = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
  return adapter.set_property(record);
}

NTSTATUS control_get_zoom(streamclass::Adapter &adapter, LONG *value) {
  KSPROPERTY_CAMERACONTROL_S record = camera_control(KSPROPERTY_CAMERACONTROL_ZOOM, KSPROPERTY_TYPE_GET);
  NTSTATUS status = adapter.get_property(record);
  if (NT_SUCCESS(status) && value != nullptr)
    *value = record.Value;
  return status;
}

NTSTATUS control_focus_auto(streamclass::Adapter &adapter) {
  KSPROPERTY_CAMERACONTROL_S record = camera_control(KSPROPERTY_CAMERACONTROL_FOCUS, KSPROPERTY_TYPE_SET);
  record.Flags = KSPROPERTY_CAMERACONTROL_FLAGS_AUTO;
  return adapter.set_property(record);
}

// ---------------------------------------------------------------------------
// Promises

streamclass::HostOptions rig_host_options() {
  streamclass::HostOptions options;
  options.tick = std::chrono::milliseconds(5);
  options.device_request_timeout = 0;
  options.control_request_timeout = 0;
  options.data_request_timeout = 0;
  options.sync_wait_limit = std::chrono::milliseconds(10000);
  return options;
}

PlatformBaseline platform_baseline() {
  // The calling thread gets its thread object on its first kernel call and
  // keeps it while it lives: count it in the baseline.
  (void)KeGetCurrentThread();
  PlatformBaseline baseline;
  baseline.pool_sequence = platform::pool_sequence();
  baseline.irps = platform::irps_live();
  baseline.devices = platform::devices_live();
  baseline.thread_objects = platform::thread_objects_live();
  return baseline;
}

namespace {

std::string host_promises() {
  const streamclass::HostAccounting a = streamclass::host_accounting();
  std::string broken;
  if (!a.clean())
    broken += "host accounting: " + std::to_string(a.completed_twice) + " completed twice, " +
              std::to_string(a.wrong_notification) + " through the wrong notification, " +
              std::to_string(a.unknown_completion) + " unknown, " + std::to_string(a.never_completed) +
              " never completed, " + std::to_string(a.completed_after_removal) + " completed after removal\n";
  if (a.outstanding != 0)
    broken += std::to_string(a.outstanding) + " request(s) still outstanding\n";
  if (a.completed != a.delivered)
    broken += std::to_string(a.delivered) + " request(s) delivered, " + std::to_string(a.completed) +
              " completed\n";
  return broken;
}

std::string kernel_promises(const PlatformBaseline &baseline) {
  std::string broken;
  for (const platform::PoolBlock &block : platform::pool_live_blocks_since(baseline.pool_sequence))
    broken += "pool block left: tag '" + platform::pool_tag_text(block.tag) + "', " +
              std::to_string(block.size) + " bytes, allocation #" + std::to_string(block.sequence) + "\n";
  for (const platform::MisuseReport &report : platform::misuse_take())
    broken += std::string("misuse [") + platform::misuse_category_name(report.category) +
              "]: " + report.message + "\n";
  if (platform::irps_live() > baseline.irps)
    broken += std::to_string(platform::irps_live() - baseline.irps) + " IRP(s) left\n";
  if (platform::devices_live() > baseline.devices)
    broken += std::to_string(platform::devices_live() - baseline.devices) + " device object(s) left\n";
  if (platform::thread_objects_live() > baseline.thread_objects)
    broken += std::to_string(platform::thread_objects_live() - baseline.thread_objects) +
              " thread object(s) left\n";
  return broken;
}

} // namespace

std::string broken_promises(const PlatformBaseline &baseline, std::chrono::milliseconds quiesce) {
  std::string broken;
  if (!platform::work_queues_wait_idle(quiesce))
    broken += std::to_string(platform::work_items_pending()) + " work item(s) still queued or running\n";
  if (!platform::system_threads_wait_all(quiesce))
    broken += std::to_string(platform::system_threads_live()) + " system thread(s) still running\n";
  return broken + host_promises() + kernel_promises(baseline);
}

} // namespace races
