// Putting the system together for a run, and taking it apart.
#include "tools/session/session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "platform/kernel/status_name.h"
#include "platform/streamclass/frame_stream.h"
#include "tools/dscam/exit_codes.h"
#include "tools/session/shared_debug_device.h"

namespace dscam {
namespace {

// Sends every message to two sinks (-v and --log together).
class TeeSink : public platform::DebugSink {
public:
  TeeSink(std::shared_ptr<DebugSink> first, std::shared_ptr<DebugSink> second)
      : first_(std::move(first)), second_(std::move(second)) {}
  void write(const char *text) override {
    first_->write(text);
    second_->write(text);
  }

private:
  std::shared_ptr<DebugSink> first_;
  std::shared_ptr<DebugSink> second_;
};

// The reason of a file that would not open: the errno of the failed call.
std::string open_failure(int error) {
  return error != 0 ? std::strerror(error) : "reason unknown";
}

// The sink the options choose: stderr (-v), a file (--log), both, or nowhere.
// NULL with *error set when the log file cannot be opened.
std::shared_ptr<platform::DebugSink> make_sink(const SessionOptions &options, std::string *error) {
  std::shared_ptr<platform::DebugSink> file;
  if (!options.log_file.empty()) {
    errno = 0;
    auto sink = std::make_shared<platform::FileSink>(options.log_file);
    const int saved = errno;
    if (!sink->is_open()) {
      *error = "cannot write the log file '" + options.log_file + "': " + open_failure(saved);
      return nullptr;
    }
    file = sink;
  }
  std::shared_ptr<platform::DebugSink> console;
  if (options.verbose)
    console = std::make_shared<platform::StderrSink>();
  if (file && console)
    return std::make_shared<TeeSink>(console, file);
  if (file)
    return file;
  if (console)
    return console;
  return std::make_shared<platform::NullSink>();
}

// Empties a file (the bus's text trace appends). 0, or the errno of the failure.
int truncate_file(const std::string &path) {
  std::FILE *file = std::fopen(path.c_str(), "w");
  if (file == nullptr)
    return errno != 0 ? errno : EIO;
  return std::fclose(file) == 0 ? 0 : (errno != 0 ? errno : EIO);
}

} // namespace

std::string status_text(NTSTATUS status) {
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(status));
  const char *name = platform::status_name(status);
  return name != nullptr ? std::string(name) + " (" + hex + ")" : hex;
}

Session::Session(const SessionOptions &options, Wakeup &wakeup) : options_(options), wakeup_(wakeup) {}

Session::~Session() {
  close();
}

int Session::start(std::string *error) {
  std::shared_ptr<platform::DebugSink> sink = make_sink(options_, error);
  if (!sink)
    return kExitOutput;
  bool sink_used = false;
  const NTSTATUS status = shared_debug_device_join(sink, &sink_used);
  if (!NT_SUCCESS(status)) {
    *error = "cannot create the debug device: " + status_text(status);
    return kExitDevice;
  }
  debug_device_ = true;
  if (!sink_used && (options_.verbose || !options_.log_file.empty())) {
    *error = "the driver's messages go to this process's debug device already, not to the log asked for";
    return kExitOutput;
  }
  const int result = start_camera(error);
  return result != kExitOk ? result : start_driver(error);
}

// The camera on a new bus, with the traces asked for.
int Session::start_camera(std::string *error) {
  if (options_.usb)
    return start_usb_device(error);
  std::string why;
  camera_ = emu::UsbCamera::create(options_.camera, &why);
  if (!camera_) {
    *error = "camera: " + why;
    return kExitDevice;
  }
  // The handler runs on the camera's thread: the main loop does the unplugging.
  camera_->set_unplug_handler([this] {
    camera_gone_.store(true);
    wakeup_.ring();
  });
  return start_bus(camera_, usbbus::UsbBus::Options{}, error);
}

// The real camera --usb names, found (or, with --wait, waited for until it
// arrives or a signal rings) and opened through libusb.
int Session::start_usb_device(std::string *error) {
  std::function<bool()> keep_waiting;
  if (options_.wait)
    keep_waiting = [this] { return !wakeup_.wait_rung(std::chrono::milliseconds(0)); };
  usbbus::LibusbDevice::OpenFailure failure;
  usb_device_ = usbbus::LibusbDevice::open(options_.usb_device, keep_waiting, error, &failure);
  if (!usb_device_) {
    if (options_.wait && failure == usbbus::LibusbDevice::OpenFailure::NotFound) {
      *error = "interrupted";
      return kExitInterrupted;
    }
    return kExitDevice;
  }
  // The handler runs on the device's event thread: the main loop does the unplugging.
  usb_device_->set_unplug_handler([this] {
    camera_gone_.store(true);
    wakeup_.ring();
  });
  return start_bus(usb_device_,
                   usbbus::UsbBus::Options{usb_device_->bus_number(), usb_device_->device_address()}, error);
}

// A new bus with `device` plugged in at `where`, and the traces asked for.
int Session::start_bus(std::shared_ptr<usbbus::UsbDeviceModel> device, usbbus::UsbBus::Options where,
                       std::string *error) {
  bus_ = std::make_unique<usbbus::UsbBus>(std::move(device), where);
  if (bus_->physical_device_object() == nullptr) {
    *error = "cannot create the USB bus";
    return kExitDevice;
  }
  if (!options_.trace_file.empty()) {
    int failure = truncate_file(options_.trace_file);
    errno = 0;
    const bool opened = failure == 0 && bus_->trace().open_text_file(options_.trace_file);
    if (!opened) {
      failure = failure != 0 ? failure : errno;
      *error = "cannot write the trace file '" + options_.trace_file + "': " + open_failure(failure);
      return kExitOutput;
    }
  }
  errno = 0;
  if (!options_.pcap_file.empty() && !bus_->trace().open_pcap(options_.pcap_file)) {
    *error = "cannot write the pcap file '" + options_.pcap_file + "': " + open_failure(errno);
    return kExitOutput;
  }
  return kExitOk;
}

// The driver, loaded through the host, with its device started on the bus.
int Session::start_driver(std::string *error) {
  NTSTATUS status = streamclass::load_driver(::DriverEntry, driver_);
  if (!NT_SUCCESS(status)) {
    *error = "the driver did not load: " + status_text(status);
    return kExitDevice;
  }
  status = driver_->start_device(bus_->physical_device_object(), adapter_);
  if (!NT_SUCCESS(status)) {
    *error = "the device did not start: " + status_text(status);
    return kExitDevice;
  }
  if (adapter_->stream_count() == 0) {
    *error = "the device offers no stream: " + status_text(adapter_->stream_info_status());
    return kExitDevice;
  }
  return kExitOk;
}

int Session::open_pin(long width, long height, bool top_down, std::string *error,
                      std::shared_ptr<streamclass::MasterClock> clock) {
  const LONG rows = static_cast<LONG>(top_down ? -height : height);
  NTSTATUS status = streamclass::video_format(*adapter_, 0, static_cast<LONG>(width), rows, format_);
  if (!NT_SUCCESS(status)) {
    *error =
        "no format of " + std::to_string(width) + "x" + std::to_string(height) + ": " + status_text(status);
    return kExitDevice;
  }
  status = adapter_->open_pin(0, format_, pin_);
  pin_opened_ = std::chrono::steady_clock::now();
  if (NT_SUCCESS(status))
    status = clock ? pin_->set_master_clock(std::move(clock)) : pin_->use_default_clock();
  if (NT_SUCCESS(status))
    status = pin_->set_state(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) {
    *error = "the capture pin did not open: " + status_text(status);
    return kExitDevice;
  }
  return kExitOk;
}

NTSTATUS Session::close_pin() {
  if (!pin_ || !pin_->is_open())
    return STATUS_SUCCESS;
  (void)pin_->set_state(KSSTATE_STOP);
  return pin_->close();
}

bool Session::camera_gone_now() const {
  return camera_gone_.load() || (camera_ && camera_->snapshot().gone);
}

void Session::unplug() {
  camera_gone_.store(true);
  if (bus_ && bus_->device_present())
    bus_->remove_device();
}

void Session::close() {
  if (camera_gone_now())
    unplug();
  (void)close_pin();
  pin_.reset();
  if (adapter_ && !adapter_->removed())
    adapter_->remove(camera_gone_.load() ? streamclass::RemovalKind::Surprise
                                         : streamclass::RemovalKind::Orderly);
  adapter_.reset();
  driver_.reset();
  if (bus_)
    bus_->trace().close();
  bus_.reset();
  camera_.reset();
  usb_device_.reset();
  if (debug_device_)
    shared_debug_device_leave();
  debug_device_ = false;
}

} // namespace dscam
