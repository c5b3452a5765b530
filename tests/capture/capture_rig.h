// The whole chain a capture application sees, for the frame-acquisition tests
// and benchmarks: the camera driver loaded through the stream class host, its
// device started over the USB bus driver with the emulated camera plugged in,
// and a frame stream on its capture pin that keeps a number of frame buffers
// queued and collects every frame the driver completes.
//
// Free of test-framework code, so that the benchmarks use it too.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "emulator/camera/usb_camera.h"
#include "platform/streamclass/frame_stream.h"
#include "platform/streamclass/host.h"
#include "platform/usbbus/usb_bus.h"
#include "tests/support/pictures.h"

namespace captest {

// The camera on its bus, and the driver with one started device over it.
class CameraRig {
public:
  CameraRig() = default;
  ~CameraRig();
  CameraRig(const CameraRig &) = delete;
  CameraRig &operator=(const CameraRig &) = delete;

  // Plugs a camera made from `config` into a new bus and starts a device of the
  // driver over it. The status of the start; *error tells what failed.
  NTSTATUS start(const emu::CameraConfig &config, std::string *error = nullptr,
                 std::shared_ptr<emu::CameraClock> clock = nullptr);
  // Removes the device (if started), then the bus and the camera.
  void stop(streamclass::RemovalKind kind = streamclass::RemovalKind::Orderly);

  // The capture format of the stream's range `width` x |height| (320x240 or
  // 160x120), as data intersection builds it, turned top-down when height is
  // negative. Empty when no range matches.
  std::vector<uint8_t> format(LONG width, LONG height);
  NTSTATUS open_pin(LONG width, LONG height, std::unique_ptr<streamclass::Pin> &pin);

  emu::UsbCamera &camera() const { return *camera_; }
  usbbus::UsbBus &bus() const { return *bus_; }
  streamclass::Adapter &adapter() const { return *adapter_; }
  PHW_DEVICE_EXTENSION extension() const {
    return static_cast<PHW_DEVICE_EXTENSION>(adapter_->device_extension());
  }

private:
  std::shared_ptr<emu::UsbCamera> camera_;
  std::unique_ptr<usbbus::UsbBus> bus_;
  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
};

// One completed read as the application received it.
struct FrameRecord {
  NTSTATUS status = STATUS_PENDING;
  KSSTREAM_HEADER header{};
  bool has_info = false;
  KS_FRAME_INFO info{};
  ULONG frame_number = 0;    // the driver's number for the frame (its request extension)
  std::vector<uint8_t> data; // DataUsed bytes, when the stream keeps data
  std::chrono::steady_clock::time_point arrived;
};

struct FrameStreamOptions {
  unsigned buffers = 4;     // frame buffers kept queued
  ULONG buffer_bytes = 0;   // bytes per buffer (0: as the pin reports its format)
  bool keep_data = true;    // copy each frame's bytes into its record
  bool keep_records = true; // keep a record per frame (false: only count)
};

// The host's frame stream on an open pin (streamclass::FrameStream) with every
// completed read recorded as the application received it. Thread-safe.
class FrameStream {
public:
  // `hook` (may be empty) sees every completed read on the completing thread,
  // before it is recorded and counted.
  FrameStream(streamclass::Pin &pin, FrameStreamOptions options,
              std::function<void(const streamclass::Frame &)> hook = {});
  // Close the pin (or remove the adapter) first: that completes every read.
  ~FrameStream() = default;
  FrameStream(const FrameStream &) = delete;
  FrameStream &operator=(const FrameStream &) = delete;

  NTSTATUS start() { return stream_->start(); }
  void stop() { stream_->stop(); }
  bool wait_frames(size_t count, std::chrono::milliseconds timeout) {
    return stream_->wait_frames(count, timeout);
  }
  bool wait_completions(size_t count, std::chrono::milliseconds timeout) {
    return stream_->wait_completions(count, timeout);
  }
  size_t frames() const { return stream_->frames(); }
  size_t completions() const { return stream_->completions(); }
  size_t refused() const { return stream_->refused(); }

  // The reads recorded so far, in completion order.
  std::vector<FrameRecord> records() const;

private:
  void record(const streamclass::Frame &frame);

  FrameStreamOptions options_;
  std::function<void(const streamclass::Frame &)> hook_;
  mutable std::mutex mutex_; // protects records_
  std::vector<FrameRecord> records_;
  std::unique_ptr<streamclass::FrameStream> stream_; // last: its callbacks use the members above
};

using rig::reference_frame;
using rig::scene_jpeg;

} // namespace captest
