#include "tests/streamclass/test_driver.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/kernel/rtl.h"
#include "platform/streamclass/ks_guids.h"
#include "platform/streamclass/ksmedia.h"

namespace testdriver {

namespace {

const KSDATARANGE Range = {
    sizeof(KSDATARANGE),        0, 1000, 0, KSDATAFORMAT_TYPE_VIDEO, KSDATAFORMAT_SUBTYPE_RGB24,
    KSDATAFORMAT_SPECIFIER_NONE};
const KSDATARANGE *const Formats[] = {&Range};

HW_STREAM_DESCRIPTOR make_descriptor() {
  HW_STREAM_DESCRIPTOR d{};
  d.StreamHeader.NumberOfStreams = 1;
  d.StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
  d.StreamInfo.NumberOfPossibleInstances = 1;
  d.StreamInfo.DataFlow = KSPIN_DATAFLOW_OUT;
  d.StreamInfo.DataAccessible = TRUE;
  d.StreamInfo.NumberOfFormatArrayEntries = 1;
  d.StreamInfo.StreamFormatsArray = Formats;
  d.StreamInfo.Category = &PINNAME_VIDEO_CAPTURE;
  d.StreamInfo.Name = &PINNAME_VIDEO_CAPTURE;
  return d;
}

struct Rule {
  Action action = Action::Complete;
  NTSTATUS status = STATUS_SUCCESS;
};

// The driver's state; `mutex` protects all of it and is never held while the
// host is called.
struct State {
  std::mutex mutex;
  std::map<SRB_COMMAND, Rule> rules;
  ULONG descriptor_size = sizeof(HW_STREAM_DESCRIPTOR);
  std::function<void(HW_STREAM_DESCRIPTOR &)> edit;
  std::vector<SRB_COMMAND> commands;
  std::deque<PHW_STREAM_REQUEST_BLOCK> held;
  std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
  size_t timeouts = 0;
  size_t cancels = 0;
  // Reads taken from the queue and being filled; `filled` signals 0. A close
  // waits for them, as a driver stops its transfer thread before it lets a
  // stream go.
  size_t filling = 0;
  std::condition_variable filled;
};

State &state() {
  static State *instance = new State;
  return *instance;
}

// Completes through the notification of the request's kind (or the other one).
void notify(PHW_STREAM_REQUEST_BLOCK srb, bool wrong) {
  if ((srb->Command < SRB_GET_STREAM_INFO) != wrong)
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
  else
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

// Records the request and returns the rule of its command.
Rule take(PHW_STREAM_REQUEST_BLOCK srb) {
  std::lock_guard lock(state().mutex);
  state().commands.push_back(srb->Command);
  auto it = state().rules.find(srb->Command);
  return it == state().rules.end() ? Rule{} : it->second;
}

// Completes (or keeps) the request as the rule says.
void finish(PHW_STREAM_REQUEST_BLOCK srb, const Rule &rule) {
  if (rule.status != STATUS_SUCCESS)
    srb->Status = rule.status;
  switch (rule.action) {
  case Action::CompleteTwice:
    notify(srb, false);
    [[fallthrough]];
  case Action::Complete:
    notify(srb, false);
    break;
  case Action::WrongNotification:
    notify(srb, true);
    break;
  case Action::Hold: {
    std::lock_guard lock(state().mutex);
    state().held.push_back(srb);
    break;
  }
  case Action::Never:
    break;
  }
}

void complete_read(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status, ULONG bytes) {
  srb->CommandData.DataBufferArray->DataUsed = bytes;
  srb->Status = status;
  notify(srb, false);
}

// Completes the queued reads as cancelled, oldest first, once none is being filled.
void cancel_reads() {
  std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
  {
    std::unique_lock lock(state().mutex);
    state().filled.wait(lock, [] { return state().filling == 0; });
    reads.swap(state().reads);
  }
  for (PHW_STREAM_REQUEST_BLOCK srb : reads)
    complete_read(srb, STATUS_CANCELLED, 0);
}

VOID ReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  Rule rule = take(srb);
  srb->Status = srb->Command == SRB_READ_DATA ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
  if (srb->Command != SRB_READ_DATA || rule.action != Action::Complete || rule.status != STATUS_SUCCESS) {
    finish(srb, rule);
    return;
  }
  std::lock_guard lock(state().mutex);
  state().reads.push_back(srb);
}

VOID ReceiveControlPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  Rule rule = take(srb);
  srb->Status = STATUS_SUCCESS;
  if (srb->Command == SRB_GET_STREAM_STATE) {
    srb->CommandData.StreamState = KSSTATE_RUN;
    srb->ActualBytesTransferred = sizeof(KSSTATE);
  } else if (srb->Command != SRB_SET_STREAM_STATE) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
  }
  finish(srb, rule);
}

// Writes the answer of an adapter command into the request.
void answer_adapter(PHW_STREAM_REQUEST_BLOCK srb) {
  switch (srb->Command) {
  case SRB_INITIALIZE_DEVICE: {
    std::lock_guard lock(state().mutex);
    srb->CommandData.ConfigInfo->StreamDescriptorSize = state().descriptor_size;
    break;
  }
  case SRB_GET_STREAM_INFO: {
    HW_STREAM_DESCRIPTOR d = make_descriptor();
    std::lock_guard lock(state().mutex);
    if (state().edit)
      state().edit(d);
    std::memcpy(srb->CommandData.StreamBuffer, &d, std::min<size_t>(sizeof(d), state().descriptor_size));
    break;
  }
  case SRB_OPEN_STREAM:
    srb->StreamObject->ReceiveDataPacket = ReceiveDataPacket;
    srb->StreamObject->ReceiveControlPacket = ReceiveControlPacket;
    srb->StreamObject->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
    srb->StreamObject->Pio = TRUE;
    break;
  case SRB_CLOSE_STREAM:
    cancel_reads();
    break;
  default:
    break;
  }
}

VOID ReceivePacket(PHW_STREAM_REQUEST_BLOCK srb) {
  Rule rule = take(srb);
  srb->Status = STATUS_SUCCESS;
  answer_adapter(srb);
  finish(srb, rule);
}

// Cancels a queued read; other requests are left alone.
VOID CancelPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  bool found = false;
  {
    std::lock_guard lock(state().mutex);
    state().cancels++;
    auto &reads = state().reads;
    auto it = std::find(reads.begin(), reads.end(), srb);
    found = it != reads.end();
    if (found)
      reads.erase(it);
  }
  if (found) {
    // A driver completes a read it has taken out of its queue a little later;
    // a racing close gets the chance to run in between.
    std::this_thread::yield();
    complete_read(srb, STATUS_CANCELLED, 0);
  }
}

VOID TimeoutHandler(PHW_STREAM_REQUEST_BLOCK) {
  std::lock_guard lock(state().mutex);
  state().timeouts++;
}

} // namespace

void reset() {
  std::lock_guard lock(state().mutex);
  State &s = state();
  s.rules.clear();
  s.descriptor_size = sizeof(HW_STREAM_DESCRIPTOR);
  s.edit = nullptr;
  s.commands.clear();
  s.held.clear();
  s.reads.clear();
  s.timeouts = 0;
  s.cancels = 0;
}

void set_action(SRB_COMMAND command, Action action, NTSTATUS status) {
  std::lock_guard lock(state().mutex);
  state().rules[command] = Rule{action, status};
}

void set_descriptor(ULONG size, std::function<void(HW_STREAM_DESCRIPTOR &)> edit) {
  std::lock_guard lock(state().mutex);
  state().descriptor_size = size;
  state().edit = std::move(edit);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  HW_INITIALIZATION_DATA data;
  RtlZeroMemory(&data, sizeof(data));
  data.HwInitializationDataSize = sizeof(data);
  data.HwReceivePacket = ReceivePacket;
  data.HwCancelPacket = CancelPacket;
  data.HwRequestTimeoutHandler = TimeoutHandler;
  data.DeviceExtensionSize = 8;
  data.PerRequestExtensionSize = 24;
  data.PerStreamExtensionSize = 40;
  data.TurnOffSynchronization = TRUE;
  return StreamClassRegisterAdapter(DriverObject, RegistryPath, &data);
}

std::vector<SRB_COMMAND> commands() {
  std::lock_guard lock(state().mutex);
  return state().commands;
}

size_t held() {
  std::lock_guard lock(state().mutex);
  return state().held.size();
}

void complete_held(NTSTATUS status) {
  std::deque<PHW_STREAM_REQUEST_BLOCK> held;
  {
    std::lock_guard lock(state().mutex);
    held.swap(state().held);
  }
  for (PHW_STREAM_REQUEST_BLOCK srb : held) {
    srb->Status = status;
    notify(srb, false);
  }
}

size_t timeouts() {
  std::lock_guard lock(state().mutex);
  return state().timeouts;
}

size_t cancels() {
  std::lock_guard lock(state().mutex);
  return state().cancels;
}

size_t queued_reads() {
  std::lock_guard lock(state().mutex);
  return state().reads.size();
}

bool fill_oldest_read() {
  PHW_STREAM_REQUEST_BLOCK srb;
  {
    std::lock_guard lock(state().mutex);
    if (state().reads.empty())
      return false;
    srb = state().reads.front();
    state().reads.pop_front();
    state().filling++;
  }
  KSSTREAM_HEADER *header = srb->CommandData.DataBufferArray;
  const ULONG used = std::min<ULONG>(4, header->FrameExtent);
  std::memset(header->Data, 0x5A, used);
  complete_read(srb, STATUS_SUCCESS, used);
  std::lock_guard lock(state().mutex);
  if (--state().filling == 0)
    state().filled.notify_all();
  return true;
}

} // namespace testdriver
