// A stand-in adapter around the real video stream, for the stream's tests: it
// registers with the stream class host and answers the adapter requests the stream
// needs (start, stream information, data intersection, open, close, cancel) by
// calling the stream's functions, and leaves the stream's requests to the stream's
// own entry points. The adapter's initialization, open and close set the records up
// as the driver's own do (queues, stream extension, stream object, format copies),
// without USB and without a transfer thread, so no frame is ever produced.
//
// StreamHost is the fixture: the harness driver loaded, a device started, the
// debug log recorded, and a pin opened on request.
#pragma once

#include <memory>
#include <vector>

#include "platform/streamclass/host.h"
#include "stream/stream.h"
#include "tests/streamclass/host_test.h"

namespace streamharness {

// Registers the harness adapter with the host. Passive level.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// A video format (KS_DATAFORMAT_VIDEOINFOHEADER, 152 bytes) made from one of the
// stream's ranges: its header with FormatSize 152 and its video info header.
std::vector<uint8_t> format_from_range(const KS_DATARANGE_VIDEO &range);

// The bytes of a record.
template <typename T> std::vector<uint8_t> bytes_of(const T &record) {
  const auto *p = reinterpret_cast<const uint8_t *>(&record);
  return std::vector<uint8_t>(p, p + sizeof(T));
}

// The video info header inside a format's bytes.
inline KS_DATAFORMAT_VIDEOINFOHEADER *video_format(std::vector<uint8_t> &format) {
  return reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data());
}

} // namespace streamharness

class StreamHost : public HostTest {
protected:
  void SetUp() override;
  void release_host_objects() override;

  // Loads the harness driver and starts a device of it.
  void start();
  // start(), then opens the pin with `format` (320x240 RGB24 when empty).
  void open_pin(std::vector<uint8_t> format = {});

  HW_DEVICE_EXTENSION &device_extension() const {
    return *static_cast<PHW_DEVICE_EXTENSION>(adapter_->device_extension());
  }
  STREAMEX &stream_extension() const { return *static_cast<PSTREAMEX>(pin_->stream_extension()); }

  // The log lines of level 3 and below recorded since the last clear, in order.
  std::vector<std::string> log_lines() const { return log_->lines(); }

  std::unique_ptr<DebugLog> log_;
  std::unique_ptr<TestPdo> pdo_;
  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
  std::unique_ptr<streamclass::Pin> pin_;
};
