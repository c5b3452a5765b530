// Frames through a real camera's path against the in-process bus, in one run:
// the same driver, host and emulated camera (unpaced, unlimited link), with
// between the bus and the camera either nothing (the camera is the bus's
// device model) or the libusb device model, real libusb and the kernel's USB
// file interface as umockdev emulates it, with the camera behind its node.
// Reports frames per second and process CPU time per frame of each, and their
// ratios. No target: umockdev is not a bus (every request is a socket round
// trip to this process), so the figures tell our own overhead, not a real
// camera's. Run: umockdev-wrapper build/release/bench/libusb/dscam_libusb_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>

#include "platform/usbbus/libusb_device.h"
#include "tests/support/rig.h"
#include "tests/support/usbdevfs_camera.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kFrames = 150;

double cpu_us() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// What the frames of one path cost, summed over the runs.
struct Figures {
  double frames = 0;
  double seconds = 0;
  double cpu_us = 0;
};

// Starts the driver over the rig's device and streams: after a few frames to
// warm up, kFrames frames are measured. False when the stream stalls.
bool measure(rig::Rig &rig, Figures *figures) {
  rig::StreamOptions options;
  options.buffers = 4;
  options.keep_records = false;
  if (rig.start() != STATUS_SUCCESS || rig.open_pin() != STATUS_SUCCESS ||
      rig.stream(options) != STATUS_SUCCESS || !rig.frames().wait_frames(8, 30s))
    return false;
  const size_t first = rig.frames().frames();
  const double c0 = cpu_us();
  const auto w0 = std::chrono::steady_clock::now();
  if (!rig.frames().wait_frames(first + kFrames, 60s))
    return false;
  figures->cpu_us += cpu_us() - c0;
  figures->seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  figures->frames += static_cast<double>(rig.frames().frames() - first);
  rig.stop();
  return true;
}

void BM_FramesOverLibusbVsInProcess(benchmark::State &state) {
  const emu::CameraConfig config = rig::fast_camera();
  Figures local;
  Figures usb;
  for (auto _ : state) {
    rig::Rig in_process;
    if (!in_process.plug_camera(config) || !measure(in_process, &local)) {
      state.SkipWithError("the in-process stream did not run");
      return;
    }
    rig::UsbdevfsCamera camera(config);
    std::string error = camera.error();
    std::shared_ptr<usbbus::LibusbDevice> device;
    if (camera.ok())
      device = usbbus::LibusbDevice::open(usbbus::UsbSelector{false, 0x1209, 0x0001, 0, 0}, nullptr, &error);
    rig::Rig over_libusb;
    if (!device || !over_libusb.plug(device) || !measure(over_libusb, &usb)) {
      state.SkipWithError(("the stream over libusb did not run (under umockdev-wrapper?): " + error).c_str());
      return;
    }
  }
  state.counters["in_process_fps"] = local.frames / local.seconds;
  state.counters["libusb_fps"] = usb.frames / usb.seconds;
  state.counters["in_process_cpu_us_per_frame"] = local.cpu_us / local.frames;
  state.counters["libusb_cpu_us_per_frame"] = usb.cpu_us / usb.frames;
  state.counters["fps_ratio"] = (usb.frames / usb.seconds) / (local.frames / local.seconds);
  state.counters["cpu_ratio"] = (usb.cpu_us / usb.frames) / (local.cpu_us / local.frames);
}
BENCHMARK(BM_FramesOverLibusbVsInProcess)->Unit(benchmark::kSecond)->Iterations(3);

} // namespace
