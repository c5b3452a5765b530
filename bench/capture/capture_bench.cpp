// Frame acquisition end to end, and the cost of a camera exchange's pended
// transfer, each against the bare figure it is compared with:
//
// (c) BM_FramesEndToEndVsLibjpeg: frames through the stream class host, the
//     driver, the USB bus driver and the emulated camera (unpaced, its pictures
//     encoded at power-on, unlimited link), per frame in process CPU time, against
//     (a) the same pictures decoded straight with libjpeg (a fresh decompressor
//     per picture, BGR bottom-up, row by row) in thread CPU time. Target: ratio
//     at most 1.5.
// (d) BM_PendedBulkReadVsHandoff: one USBSyncRead whose transfer pends (the
//     device answers from its own thread) against a bare mutex/condition-variable
//     hand-off to another thread and back, in wall time. Target: at most 1.2.
//     The relay through two threads (main -> A -> B -> main) is reported beside
//     it: the path a pended transfer takes when the bus's host-controller thread
//     completes it. The device's thread completes it itself here (the bus's
//     ThreadCompletions), so it crosses one thread, as the bare hand-off does.
// Frame rates:
//     BM_FullSpeedLinkFrameRate: unpaced camera on the full-speed link; frames
//     per second against what the link allows for the bytes of the pictures sent
//     (target: at least 0.9).
//     BM_DefaultPaceFrameRate/60: the defaults (15 fps, full speed, the scene
//     encoded per picture) for 60 s: frames per second, pictures the camera shot
//     that nobody fetched, and the drop count the frames carry under the host's
//     clock (target: 15.0 fps, no drops).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <thread>

#include <jpeglib.h>

#include "emulator/camera/picture_source.h"
#include "emulator/usb/scripted_device.h"
#include "platform/streamclass/frame_stream.h"
#include "protocol/packet_exchange.h"
#include "tests/support/pictures.h"
#include "tests/support/rig.h"

namespace {

using namespace std::chrono_literals;

double cpu_us(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double wall_us() {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// (a) One picture decoded straight with libjpeg into a BGR bottom-up frame.
void decode_straight(const std::vector<uint8_t> &jpeg, uint8_t *frame, size_t pitch) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&cinfo);
  uint8_t *row = frame + (cinfo.output_height - 1) * pitch;
  while (cinfo.output_scanline < cinfo.output_height) {
    jpeg_read_scanlines(&cinfo, &row, 1);
    row -= pitch;
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
}

// The camera, the driver and a running 320x240 stream with `buffers` queued.
struct LiveStream {
  rig::Rig rig;

  // Starts the camera and the driver, opens and runs the pin (with the host's
  // clock as master clock when asked) and queues the buffers; `hook` sees every
  // completed read on the completing thread.
  bool start(const emu::CameraConfig &config, unsigned buffers, benchmark::State &state,
             bool master_clock = false, std::function<void(const streamclass::Frame &)> hook = {}) {
    std::string error;
    if (!rig.plug_camera(config, &error) || rig.start() != STATUS_SUCCESS ||
        rig.open_pin(320, 240, master_clock) != STATUS_SUCCESS ||
        (!master_clock && rig.pin().set_state(KSSTATE_RUN) != STATUS_SUCCESS)) {
      state.SkipWithError(("stream did not start: " + error).c_str());
      return false;
    }
    rig::StreamOptions options;
    options.buffers = buffers;
    options.keep_records = false;
    options.hook = std::move(hook);
    if (rig.stream(options) != STATUS_SUCCESS) {
      state.SkipWithError("frame buffers refused");
      return false;
    }
    return true;
  }
  rig::RecordedStream &stream() { return rig.frames(); }
};

void BM_FramesEndToEndVsLibjpeg(benchmark::State &state) {
  constexpr size_t kFramesPerRound = 32;
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kUnlimitedLink;
  config.pictures = emu::PictureMode::Prerendered;
  const std::vector<std::vector<uint8_t>> pictures =
      rig::prerendered_pictures(config.prerendered, config.jpeg_quality);
  std::vector<uint8_t> frame(960 * 240);

  LiveStream live;
  if (!live.start(config, 4, state) || !live.stream().wait_frames(kFramesPerRound, 30s))
    return;
  double frame_cpu = 0, frame_wall = 0, decode_cpu = 0;
  size_t frames = 0, decodes = 0;
  const usbbus::UsbBus::Counters bus0 = live.rig.bus().counters();
  const size_t delivered0 = live.stream().frames();
  for (auto _ : state) {
    // (c) the next frames through the whole chain.
    const size_t first = live.stream().frames();
    const double c0 = cpu_us(CLOCK_PROCESS_CPUTIME_ID), w0 = wall_us();
    if (!live.stream().wait_frames(first + kFramesPerRound, 30s)) {
      state.SkipWithError("frames stopped");
      break;
    }
    const size_t got = live.stream().frames() - first;
    frame_cpu += cpu_us(CLOCK_PROCESS_CPUTIME_ID) - c0;
    frame_wall += wall_us() - w0;
    frames += got;
    // (a) as many of the same pictures decoded straight.
    const double a0 = cpu_us(CLOCK_THREAD_CPUTIME_ID);
    for (size_t i = 0; i < got; ++i) {
      decode_straight(pictures[(decodes + i) % pictures.size()], frame.data(), 960);
      benchmark::ClobberMemory();
    }
    decode_cpu += cpu_us(CLOCK_THREAD_CPUTIME_ID) - a0;
    decodes += got;
  }
  if (frames == 0 || decodes == 0)
    return;
  const double c_us = frame_cpu / static_cast<double>(frames);
  const double a_us = decode_cpu / static_cast<double>(decodes);
  state.counters["frame_cpu_us"] = c_us;
  state.counters["frame_wall_us"] = frame_wall / static_cast<double>(frames);
  state.counters["libjpeg_us"] = a_us;
  state.counters["ratio"] = c_us / a_us;
  state.counters["frames"] = static_cast<double>(frames);
  // The stream also runs while (a) is measured: these count every frame.
  const usbbus::UsbBus::Counters bus1 = live.rig.bus().counters();
  const double delivered = static_cast<double>(live.stream().frames() - delivered0);
  state.counters["transfers_per_frame"] = static_cast<double>(bus1.requests - bus0.requests) / delivered;
  state.counters["pended_per_frame"] =
      static_cast<double>(bus1.completed_later - bus0.completed_later) / delivered;
}
BENCHMARK(BM_FramesEndToEndVsLibjpeg)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// ---------------------------------------------------------------------------
// (d) A pended bulk read against a bare hand-off.

// The driver started over a scripted device whose answers come from its own
// thread: the started device's extension is the one USBSyncRead gets.
struct PendedReadRig {
  std::shared_ptr<emu::ScriptedUsbDevice> device = std::make_shared<emu::ScriptedUsbDevice>();
  rig::Rig rig;
  HW_DEVICE_EXTENSION *ext = nullptr;
  usbbus::UsbBus *bus = nullptr;

  bool start() {
    device->set_loopback(false);
    if (!rig.plug(device) || rig.start() != STATUS_SUCCESS)
      return false;
    ext = rig.extension();
    bus = &rig.bus();
    device->set_answer_mode(emu::ScriptedUsbDevice::AnswerMode::Deferred);
    return true;
  }
};

// A worker that answers each request of the main thread: a flag under a mutex
// and two condition variables, the least a hand-off to another thread and back
// can be. With `next`, the worker passes the request on to it instead of
// answering (a relay through two threads).
class Handoff {
public:
  explicit Handoff(Handoff *next = nullptr) : next_(next), worker_([this] { run(); }) {}
  ~Handoff() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    request_.notify_one();
    worker_.join();
  }
  // Hands a request to the worker and waits for the answer.
  void round_trip() {
    std::unique_lock lock(mutex_);
    asked_ = true;
    request_.notify_one();
    answer_.wait(lock, [this] { return !asked_; });
  }

private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      request_.wait(lock, [this] { return asked_ || stop_; });
      if (stop_)
        return;
      if (next_ != nullptr) {
        lock.unlock();
        next_->round_trip();
        lock.lock();
      }
      asked_ = false;
      answer_.notify_one();
    }
  }

  Handoff *next_;
  std::mutex mutex_; // protects asked_ and stop_
  std::condition_variable request_;
  std::condition_variable answer_;
  bool asked_ = false;
  bool stop_ = false;
  std::thread worker_;
};

void BM_PendedBulkReadVsHandoff(benchmark::State &state) {
  PendedReadRig rig;
  if (!rig.start()) {
    state.SkipWithError("no USB configuration");
    return;
  }
  Handoff bare;
  Handoff relay_end;
  Handoff relay(&relay_end);
  const std::vector<uint8_t> packet(64, 0x5A);
  uint8_t buffer[64];
  double usb = 0, handoff = 0, relayed = 0, pended_usb = 0;
  int64_t rounds = 0, pended = 0;
  for (auto _ : state) {
    // The packet waits in the device; the read pends and the device's thread
    // answers it and completes it (or, when it answers before the bus's
    // dispatch has returned, the dispatch completes it).
    const uint64_t later0 = rig.bus->counters().completed_later;
    const double t0 = wall_us();
    rig.device->queue_in(packet);
    if (USBSyncRead(rig.ext, buffer, sizeof(buffer)) != sizeof(buffer)) {
      state.SkipWithError("read failed");
      break;
    }
    const double t1 = wall_us();
    if (rig.bus->counters().completed_later != later0) {
      pended_usb += t1 - t0;
      ++pended;
    }
    bare.round_trip();
    const double t2 = wall_us();
    relay.round_trip();
    const double t3 = wall_us();
    usb += t1 - t0;
    handoff += t2 - t1;
    relayed += t3 - t2;
    ++rounds;
  }
  if (rounds == 0)
    return;
  const double n = static_cast<double>(rounds);
  state.counters["pended_read_us"] = usb / n;
  state.counters["handoff_us"] = handoff / n;
  state.counters["relay2_us"] = relayed / n;
  state.counters["ratio"] = usb / handoff;
  state.counters["ratio_vs_relay2"] = usb / relayed;
  // The share of reads that did pend (the others the device answered before the bus's
  // dispatch returned, which then completed them in the caller's context), and the
  // ratio of those alone.
  state.counters["pended_share"] = static_cast<double>(pended) / n;
  if (pended > 0)
    state.counters["ratio_pended_only"] = pended_usb / static_cast<double>(pended) / (handoff / n);
}
BENCHMARK(BM_PendedBulkReadVsHandoff)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// ---------------------------------------------------------------------------
// Frame rates

// Bytes that cross the link for one picture: the size command, its answer and
// ACK; the picture command; every picture packet (6 bytes around its data) and
// its ACK.
double wire_bytes(const emu::PictureRecord &picture, size_t chunk) {
  const size_t packets = std::max<size_t>(1, (picture.sent_size + chunk - 1) / chunk);
  return 8.0 + 10.0 + 1.0 + 8.0 + static_cast<double>(picture.sent_size + 6 * packets + packets);
}

void BM_FullSpeedLinkFrameRate(benchmark::State &state) {
  emu::CameraConfig config;
  config.fps = 0;
  config.link_bytes_per_second = emu::kFullSpeedBytesPerSecond;
  config.pictures = emu::PictureMode::Prerendered;
  LiveStream live;
  if (!live.start(config, 4, state) || !live.stream().wait_frames(8, 30s))
    return;
  double fps = 0, allowed = 0;
  for (auto _ : state) {
    const size_t f0 = live.stream().frames();
    const uint64_t p0 = live.rig.camera().snapshot().counters.pictures;
    const double w0 = wall_us();
    std::this_thread::sleep_for(std::chrono::milliseconds(state.range(0)));
    const size_t f1 = live.stream().frames();
    const double seconds = (wall_us() - w0) / 1e6;
    double bytes = 0;
    uint64_t pictures = 0;
    for (const emu::PictureRecord &picture : live.rig.camera().pictures())
      if (picture.number > p0) {
        bytes += wire_bytes(picture, config.chunk);
        ++pictures;
      }
    fps = static_cast<double>(f1 - f0) / seconds;
    allowed = static_cast<double>(config.link_bytes_per_second) / (bytes / static_cast<double>(pictures));
  }
  state.counters["fps"] = fps;
  state.counters["link_fps"] = allowed;
  state.counters["ratio"] = fps / allowed;
}
BENCHMARK(BM_FullSpeedLinkFrameRate)->Arg(5000)->ArgName("ms")->Iterations(1)->Unit(benchmark::kSecond);

void BM_DefaultPaceFrameRate(benchmark::State &state) {
  emu::CameraConfig config; // 15 fps, full speed, the scene encoded per picture
  std::atomic<LONGLONG> max_drop{0};
  LiveStream live;
  auto note_drops = [&max_drop](const streamclass::Frame &frame) {
    const KS_FRAME_INFO *info = frame.frame_info();
    if (frame.status() == STATUS_SUCCESS && info != nullptr && info->DropCount > max_drop.load())
      max_drop.store(info->DropCount);
  };
  if (!live.start(config, 4, state, true, note_drops) || !live.stream().wait_frames(4, 30s))
    return;
  const uint64_t dropped0 = live.rig.camera().snapshot().counters.frames_dropped;
  double fps = 0;
  size_t frames = 0;
  for (auto _ : state) {
    const size_t f0 = live.stream().frames();
    const double w0 = wall_us();
    std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
    frames = live.stream().frames() - f0;
    fps = static_cast<double>(frames) / ((wall_us() - w0) / 1e6);
  }
  state.counters["fps"] = fps;
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["camera_dropped"] =
      static_cast<double>(live.rig.camera().snapshot().counters.frames_dropped - dropped0);
  state.counters["max_drop_count"] = static_cast<double>(max_drop.load());
}
BENCHMARK(BM_DefaultPaceFrameRate)->Arg(60)->ArgName("s")->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
