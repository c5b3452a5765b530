// The emulated camera as a USB device model.
#include "emulator/camera/usb_camera.h"

#include <algorithm>

namespace emu {

using usbbus::TransferHandle;
using usbbus::TransferOutcome;

std::unique_ptr<UsbCamera> UsbCamera::create(const CameraConfig &config, std::string *error,
                                             std::shared_ptr<CameraClock> clock, UsbIdentityVariant variant) {
  *error = camera_config_check(config);
  if (!error->empty())
    return nullptr;
  std::unique_ptr<PictureSource> source = picture_source_create(config, error);
  if (!source)
    return nullptr;
  if (!clock)
    clock = std::make_shared<SteadyCameraClock>();
  return std::make_unique<UsbCamera>(config, std::move(source), std::move(clock), variant);
}

UsbCamera::UsbCamera(const CameraConfig &config, std::unique_ptr<PictureSource> source,
                     std::shared_ptr<CameraClock> clock, UsbIdentityVariant variant)
    : variant_(variant), clock_(std::move(clock)), core_(config, std::move(source)) {
  clock_subscription_ = clock_->subscribe([this] {
    std::lock_guard guard(lock_);
    wake_.notify_all();
  });
  thread_ = std::thread([this] { camera_thread(); });
}

UsbCamera::~UsbCamera() {
  clock_->unsubscribe(clock_subscription_);
  {
    std::lock_guard guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void UsbCamera::set_unplug_handler(std::function<void()> handler) {
  std::lock_guard guard(lock_);
  unplug_handler_ = std::move(handler);
}

CameraSnapshot UsbCamera::snapshot() const {
  std::lock_guard guard(lock_);
  CameraSnapshot snap;
  snap.counters = core_.counters();
  for (size_t i = 0; i < kFaultCount; ++i)
    snap.faults_injected[i] = core_.faults().injected(static_cast<Fault>(i));
  const CameraState &state = core_.state();
  snap.zoom = state.zoom;
  snap.focused = state.focus_done_ns >= 0 && state.focus_done_ns <= clock_->now_ns();
  snap.silent = state.silent;
  snap.gone = state.gone;
  snap.waiting_in = waiting_in_.size();
  return snap;
}

std::deque<PictureRecord> UsbCamera::pictures() const {
  std::lock_guard guard(lock_);
  return core_.pictures();
}

void UsbCamera::inspect(const std::function<void(const CameraCore &)> &fn) const {
  std::lock_guard guard(lock_);
  fn(core_);
}

std::span<const uint8_t> UsbCamera::descriptor(uint8_t type, uint8_t, uint16_t) {
  // Device (1) and configuration (2) descriptors; the camera has no strings.
  if (type == 1)
    return usb_device_descriptor();
  if (type == 2)
    return usb_configuration_descriptor(variant_);
  return {};
}

void UsbCamera::submit(const TransferHandle &transfer) {
  std::lock_guard guard(lock_);
  if (removed_ || core_.gone()) {
    transfer->fail(TransferOutcome::NoResponse);
    return;
  }
  if (transfer->endpoint_address() == kCameraBulkOut) {
    submit_out_locked(transfer);
    return;
  }
  if (transfer->endpoint_address() != kCameraBulkIn) {
    // Other endpoints of the test variants never have anything to say.
    silent_in_.push_back(transfer);
    return;
  }
  waiting_in_.push_back(transfer);
  serve_in_locked();
  wake_thread_if_waiting_locked();
}

// Wakes the camera thread when an IN transfer is left waiting, so that it
// (re)computes when the next packet arrives. With no IN transfer waiting the
// thread has nothing to time, and every change it must see is made under lock_
// and checked by it before it sleeps.
void UsbCamera::wake_thread_if_waiting_locked() {
  if (!waiting_in_.empty())
    wake_.notify_all();
}

// One OUT transfer: the camera takes the whole packet at once.
void UsbCamera::submit_out_locked(const TransferHandle &transfer) {
  const std::span<const uint8_t> data = transfer->out_data();
  switch (core_.host_write(data, clock_->now_ns())) {
  case OutResult::Ok:
    transfer->complete_out(static_cast<uint32_t>(data.size()));
    serve_in_locked();
    wake_thread_if_waiting_locked();
    break;
  case OutResult::Error:
    transfer->fail(TransferOutcome::NoResponse);
    break;
  case OutResult::Gone:
    transfer->fail(TransferOutcome::NoResponse);
    fail_all_in_locked();
    unplug_pending_ = true;
    wake_.notify_all();
    break;
  }
}

// Hands arrived packets to the waiting IN transfers, oldest first.
void UsbCamera::serve_in_locked() {
  const int64_t now = clock_->now_ns();
  while (!waiting_in_.empty()) {
    const TransferHandle &transfer = waiting_in_.front();
    if (!transfer->is_active()) {
      waiting_in_.pop_front();
      continue;
    }
    int64_t ready = 0;
    if (core_.in_state(now, &ready) != InState::Ready)
      return;
    std::optional<InPacket> packet = core_.take_in(now);
    const bool taken = packet->bus_error ? transfer->fail(TransferOutcome::NoResponse)
                                         : transfer->complete_in(packet->bytes);
    // A transfer the host cancelled just now did not get the packet: it
    // waits for the next IN transfer.
    if (!taken)
      core_.put_back(std::move(*packet));
    waiting_in_.pop_front();
  }
}

void UsbCamera::fail_all_in_locked() {
  for (const TransferHandle &transfer : waiting_in_)
    transfer->fail(TransferOutcome::NoResponse);
  for (const TransferHandle &transfer : silent_in_)
    transfer->fail(TransferOutcome::NoResponse);
  waiting_in_.clear();
  silent_in_.clear();
}

void UsbCamera::cancel(const TransferHandle &transfer) {
  std::lock_guard guard(lock_);
  std::erase(waiting_in_, transfer);
  std::erase(silent_in_, transfer);
}

TransferOutcome UsbCamera::reset_pipe(uint8_t) {
  std::lock_guard guard(lock_);
  core_.reset(clock_->now_ns());
  return TransferOutcome::Success;
}

TransferOutcome UsbCamera::reset_port() {
  std::lock_guard guard(lock_);
  // A USB reset restarts the camera's interface, not its lens: the reply in
  // progress and a silence are gone, zoom and focus stay.
  core_.reset(clock_->now_ns());
  waiting_in_.clear();
  silent_in_.clear();
  return TransferOutcome::Success;
}

// The unplug handler may itself remove the device, on the camera thread: that
// call does not wait for itself.
void UsbCamera::removed() {
  std::unique_lock guard(lock_);
  removed_ = true;
  waiting_in_.clear();
  silent_in_.clear();
  wake_.notify_all();
  if (std::this_thread::get_id() != thread_.get_id())
    wake_.wait(guard, [this] { return !in_unplug_handler_; });
}

// The camera's own thread: completes IN transfers whose packet arrives later
// than their submission, and reports an unplug.
void UsbCamera::camera_thread() {
  std::unique_lock guard(lock_);
  while (!stop_) {
    if (unplug_pending_) {
      unplug_pending_ = false;
      if (unplug_handler_ && !removed_) {
        std::function<void()> handler = unplug_handler_;
        in_unplug_handler_ = true;
        guard.unlock();
        handler();
        guard.lock();
        in_unplug_handler_ = false;
        wake_.notify_all();
      }
      continue;
    }
    {
      // The bus completes the transfers served here on this thread once lock_ is released
      // (the driver's completion routine may submit the next transfer to the camera).
      usbbus::ThreadCompletions completions;
      serve_in_locked();
      if (completions.any()) {
        guard.unlock();
        completions.finish();
        guard.lock();
        continue;
      }
    }
    int64_t ready = 0;
    const bool waiting = !waiting_in_.empty() && !removed_;
    const InState state = waiting ? core_.in_state(clock_->now_ns(), &ready) : InState::Nothing;
    if (state == InState::Ready)
      continue; // arrived since serve_in_locked looked: nobody else would wake us for it
    if (state == InState::Later)
      wake_.wait_until(guard, clock_->real_deadline(ready));
    else
      wake_.wait(guard);
  }
}

} // namespace emu
