// The scripted USB device.
#include "emulator/usb/scripted_device.h"

#include <algorithm>

namespace emu {

using usbbus::TransferHandle;
using usbbus::TransferOutcome;

ScriptedUsbDevice::ScriptedUsbDevice(UsbIdentityVariant variant) {
  const auto device = usb_device_descriptor();
  const auto config = usb_configuration_descriptor(variant);
  device_descriptor_.assign(device.begin(), device.end());
  configuration_descriptor_.assign(config.begin(), config.end());
  thread_ = std::thread([this] { device_thread(); });
}

ScriptedUsbDevice::~ScriptedUsbDevice() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ScriptedUsbDevice::set_device_descriptor(std::span<const uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  device_descriptor_.assign(bytes.begin(), bytes.end());
}

void ScriptedUsbDevice::set_configuration_descriptor(std::span<const uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  configuration_descriptor_.assign(bytes.begin(), bytes.end());
}

void ScriptedUsbDevice::stall_descriptor(uint8_t type) {
  std::lock_guard<std::mutex> guard(lock_);
  stalled_types_.push_back(type);
}

void ScriptedUsbDevice::set_answer_mode(AnswerMode mode, std::chrono::microseconds latency) {
  std::lock_guard<std::mutex> guard(lock_);
  mode_ = mode;
  latency_ = latency;
}

void ScriptedUsbDevice::set_loopback(bool on) {
  std::lock_guard<std::mutex> guard(lock_);
  loopback_ = on;
}

void ScriptedUsbDevice::queue_in(std::span<const uint8_t> packet, uint8_t endpoint) {
  std::unique_lock<std::mutex> guard(lock_);
  in_queue_[endpoint].push_back(InAnswer{std::vector<uint8_t>(packet.begin(), packet.end()), std::nullopt});
  match_in_locked(endpoint);
  wake_device_thread(guard);
}

void ScriptedUsbDevice::queue_in_failure(TransferOutcome outcome, uint8_t endpoint) {
  std::unique_lock<std::mutex> guard(lock_);
  in_queue_[endpoint].push_back(InAnswer{{}, outcome});
  match_in_locked(endpoint);
  wake_device_thread(guard);
}

void ScriptedUsbDevice::fail_next_out(TransferOutcome outcome) {
  std::lock_guard<std::mutex> guard(lock_);
  out_failure_ = outcome;
}

std::vector<std::vector<uint8_t>> ScriptedUsbDevice::out_packets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return out_packets_;
}

size_t ScriptedUsbDevice::waiting_in_transfers() const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (const auto &[endpoint, waiting] : waiting_in_)
    n += waiting.size();
  return n;
}

size_t ScriptedUsbDevice::submitted() const {
  std::lock_guard<std::mutex> guard(lock_);
  return submitted_;
}

size_t ScriptedUsbDevice::cancelled() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cancelled_;
}

uint8_t ScriptedUsbDevice::configuration() const {
  std::lock_guard<std::mutex> guard(lock_);
  return configuration_;
}

std::vector<uint8_t> ScriptedUsbDevice::pipe_resets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pipe_resets_;
}

size_t ScriptedUsbDevice::port_resets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return port_resets_;
}

bool ScriptedUsbDevice::is_removed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return removed_;
}

std::span<const uint8_t> ScriptedUsbDevice::descriptor(uint8_t type, uint8_t index, uint16_t language_id) {
  (void)language_id;
  std::lock_guard<std::mutex> guard(lock_);
  if (std::find(stalled_types_.begin(), stalled_types_.end(), type) != stalled_types_.end())
    return {};
  if (type == 0x01 && index == 0)
    return device_descriptor_;
  if (type == 0x02 && index == 0)
    return configuration_descriptor_;
  return {};
}

usbbus::TransferOutcome ScriptedUsbDevice::set_configuration(uint8_t configuration_value) {
  std::lock_guard<std::mutex> guard(lock_);
  configuration_ = configuration_value;
  return usbbus::TransferOutcome::Success;
}

// Answers an IN transfer from the queue, or keeps it waiting; an OUT transfer is taken whole
// (recorded, and looped back when loopback is on).
void ScriptedUsbDevice::submit(const TransferHandle &transfer) {
  std::unique_lock<std::mutex> guard(lock_);
  submit_locked(transfer);
  wake_device_thread(guard);
}

void ScriptedUsbDevice::submit_locked(const TransferHandle &transfer) {
  ++submitted_;
  if (transfer->is_in()) {
    waiting_in_[transfer->endpoint_address()].push_back(transfer);
    match_in_locked(transfer->endpoint_address());
    return;
  }
  const auto data = transfer->out_data();
  if (out_failure_) {
    InAnswer answer{{}, *out_failure_};
    out_failure_.reset();
    answer_locked(transfer, std::move(answer));
    return;
  }
  out_packets_.emplace_back(data.begin(), data.end());
  answer_locked(transfer, InAnswer{});
  if (loopback_) {
    in_queue_[kCameraBulkIn].push_back(
        InAnswer{std::vector<uint8_t>(data.begin(), data.end()), std::nullopt});
    match_in_locked(kCameraBulkIn);
  }
}

// Releases lock_ and wakes the device thread if a deferred answer was queued meanwhile. The
// thread is woken after the lock is released, so that it does not wake only to wait for it.
void ScriptedUsbDevice::wake_device_thread(std::unique_lock<std::mutex> &guard) {
  const bool wake = wake_pending_;
  wake_pending_ = false;
  guard.unlock();
  if (wake)
    wake_.notify_all();
}

void ScriptedUsbDevice::cancel(const TransferHandle &transfer) {
  std::lock_guard<std::mutex> guard(lock_);
  ++cancelled_;
  auto &waiting = waiting_in_[transfer->endpoint_address()];
  waiting.erase(std::remove(waiting.begin(), waiting.end(), transfer), waiting.end());
}

usbbus::TransferOutcome ScriptedUsbDevice::reset_pipe(uint8_t endpoint_address) {
  std::lock_guard<std::mutex> guard(lock_);
  pipe_resets_.push_back(endpoint_address);
  return usbbus::TransferOutcome::Success;
}

usbbus::TransferOutcome ScriptedUsbDevice::reset_port() {
  std::lock_guard<std::mutex> guard(lock_);
  ++port_resets_;
  waiting_in_.clear();
  return usbbus::TransferOutcome::Success;
}

void ScriptedUsbDevice::removed() {
  std::lock_guard<std::mutex> guard(lock_);
  removed_ = true;
  waiting_in_.clear();
  deferred_.clear();
}

// Pairs the oldest waiting IN transfer of `endpoint` with the oldest queued answer. An answer
// meant for a transfer that the host ended meanwhile stays for the next one (a device sends
// nothing without an IN token). Called with lock_ held.
void ScriptedUsbDevice::match_in_locked(uint8_t endpoint) {
  auto &waiting = waiting_in_[endpoint];
  auto &queue = in_queue_[endpoint];
  while (!waiting.empty() && !queue.empty()) {
    TransferHandle transfer = waiting.front();
    waiting.pop_front();
    InAnswer answer = std::move(queue.front());
    queue.pop_front();
    answer_locked(transfer, std::move(answer));
  }
}

// Answers now in Immediate mode, or hands the answer to the device thread (woken by the caller
// once it releases lock_: wake_device_thread). Called with lock_ held.
void ScriptedUsbDevice::answer_locked(const TransferHandle &transfer, InAnswer answer) {
  if (mode_ == AnswerMode::Immediate) {
    if (!finish(transfer, answer) && transfer->is_in())
      in_queue_[transfer->endpoint_address()].push_front(std::move(answer));
    return;
  }
  deferred_.push_back(Deferred{std::chrono::steady_clock::now() + latency_, transfer, std::move(answer)});
  wake_pending_ = true;
}

// Ends a transfer with a scripted answer; false when the host had ended it already. The bus
// never calls back into the model from here.
bool ScriptedUsbDevice::finish(const TransferHandle &transfer, const InAnswer &answer) {
  if (answer.failure)
    return transfer->fail(*answer.failure, 0);
  if (transfer->is_in())
    return transfer->complete_in(answer.data);
  return transfer->complete_out(transfer->length());
}

// The device thread: runs deferred answers when they are due, in order.
void ScriptedUsbDevice::device_thread() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stop_) {
    wake_pending_ = false; // this thread looks at deferred_ now
    if (deferred_.empty()) {
      wake_.wait(guard);
      continue;
    }
    const auto due = deferred_.front().due;
    if (std::chrono::steady_clock::now() < due) {
      wake_.wait_until(guard, due);
      continue;
    }
    Deferred next = std::move(deferred_.front());
    deferred_.pop_front();
    // The bus completes what this thread ends here, once lock_ is released: the driver's
    // completion routine may submit the next transfer to this device.
    usbbus::ThreadCompletions completions;
    if (!finish(next.transfer, next.answer) && next.transfer->is_in()) {
      const uint8_t endpoint = next.transfer->endpoint_address();
      in_queue_[endpoint].push_front(std::move(next.answer));
      match_in_locked(endpoint);
    }
    if (completions.any()) {
      guard.unlock();
      completions.finish();
      guard.lock();
    }
  }
}

} // namespace emu
