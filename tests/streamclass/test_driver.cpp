#include "tests/streamclass/test_driver.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "platform/kernel/rtl.h"
#include "platform/streamclass/ks_guids.h"

namespace testdriver {

namespace {

const KSDATARANGE Range = {
    sizeof(KSDATARANGE),        0, 1000, 0, KSDATAFORMAT_TYPE_VIDEO, KSDATAFORMAT_SUBTYPE_RGB24,
    KSDATAFORMAT_SPECIFIER_NONE};
const KSDATARANGE *const Formats[] = {&Range};

struct Rule {
  Action action = Action::Complete;
  NTSTATUS status = STATUS_SUCCESS;
};

// What reset() puts back.
struct Data {
  std::map<SRB_COMMAND, Rule> rules;
  ULONG descriptor_size = sizeof(HW_STREAM_DESCRIPTOR);
  std::function<void(HW_STREAM_DESCRIPTOR &)> edit;
  std::vector<SRB_COMMAND> commands;
  std::deque<PHW_STREAM_REQUEST_BLOCK> held, reads;
};

// `mutex` protects the data and is never held while the host is called.
struct State {
  std::mutex mutex;
  Data d;
};

State &g = *new State; // outlives every thread

// Completes through the notification of the request's kind, or the other one.
void notify(PHW_STREAM_REQUEST_BLOCK srb, bool wrong = false) {
  if ((srb->Command < SRB_GET_STREAM_INFO) != wrong)
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
  else
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

void complete_read(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status, ULONG bytes) {
  srb->CommandData.DataBufferArray->DataUsed = bytes;
  srb->Status = status;
  notify(srb);
}

// Records the request and returns the rule of its command.
Rule take(PHW_STREAM_REQUEST_BLOCK srb) {
  std::lock_guard lock(g.mutex);
  g.d.commands.push_back(srb->Command);
  auto it = g.d.rules.find(srb->Command);
  return it == g.d.rules.end() ? Rule{} : it->second;
}

// Completes (or keeps) the request as the rule says.
void finish(PHW_STREAM_REQUEST_BLOCK srb, const Rule &rule) {
  if (rule.status != STATUS_SUCCESS)
    srb->Status = rule.status;
  if (rule.action == Action::CompleteTwice || rule.action == Action::Complete)
    notify(srb);
  if (rule.action == Action::CompleteTwice || rule.action == Action::WrongNotification)
    notify(srb, rule.action == Action::WrongNotification);
  if (rule.action == Action::Hold) {
    std::lock_guard lock(g.mutex);
    g.d.held.push_back(srb);
  }
}

// Both entries of the stream: reads wait in the queue (unless their rule says otherwise), the state commands
// succeed (the state is always RUN), anything else is not implemented.
VOID ReceiveStreamPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  Rule rule = take(srb);
  const bool read = srb->Command == SRB_READ_DATA, get = srb->Command == SRB_GET_STREAM_STATE;
  srb->Status = read || get || srb->Command == SRB_SET_STREAM_STATE ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
  if (get) {
    srb->CommandData.StreamState = KSSTATE_RUN;
    srb->ActualBytesTransferred = sizeof(KSSTATE);
  }
  if (!read || rule.action != Action::Complete || rule.status != STATUS_SUCCESS)
    return finish(srb, rule);
  std::lock_guard lock(g.mutex);
  g.d.reads.push_back(srb);
}

// Writes the answer of an adapter command into the request.
void answer_adapter(PHW_STREAM_REQUEST_BLOCK srb) {
  std::unique_lock lock(g.mutex);
  if (srb->Command == SRB_INITIALIZE_DEVICE) {
    srb->CommandData.ConfigInfo->StreamDescriptorSize = g.d.descriptor_size;
  } else if (srb->Command == SRB_GET_STREAM_INFO) {
    HW_STREAM_DESCRIPTOR d{};
    d.StreamHeader.NumberOfStreams = 1;
    d.StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
    d.StreamInfo.NumberOfPossibleInstances = 1;
    d.StreamInfo.DataFlow = KSPIN_DATAFLOW_OUT;
    d.StreamInfo.NumberOfFormatArrayEntries = 1;
    d.StreamInfo.StreamFormatsArray = Formats;
    d.StreamInfo.Category = d.StreamInfo.Name = &PINNAME_VIDEO_CAPTURE;
    if (g.d.edit)
      g.d.edit(d);
    std::memcpy(srb->CommandData.StreamBuffer, &d, std::min<size_t>(sizeof(d), g.d.descriptor_size));
  } else if (srb->Command == SRB_OPEN_STREAM) {
    srb->StreamObject->ReceiveDataPacket = srb->StreamObject->ReceiveControlPacket = ReceiveStreamPacket;
    srb->StreamObject->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
  } else if (srb->Command == SRB_CLOSE_STREAM) {
    std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
    reads.swap(g.d.reads);
    lock.unlock();
    for (PHW_STREAM_REQUEST_BLOCK read : reads)
      complete_read(read, STATUS_CANCELLED, 0);
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
  {
    std::lock_guard lock(g.mutex);
    auto it = std::find(g.d.reads.begin(), g.d.reads.end(), srb);
    if (it == g.d.reads.end())
      return;
    g.d.reads.erase(it);
  }
  complete_read(srb, STATUS_CANCELLED, 0);
}

VOID TimeoutHandler(PHW_STREAM_REQUEST_BLOCK) {}

} // namespace

void reset() {
  std::lock_guard lock(g.mutex);
  g.d = Data{};
}

void set_action(SRB_COMMAND command, Action action, NTSTATUS status) {
  std::lock_guard lock(g.mutex);
  g.d.rules[command] = Rule{action, status};
}

void set_descriptor(ULONG size, std::function<void(HW_STREAM_DESCRIPTOR &)> edit) {
  std::lock_guard lock(g.mutex);
  g.d.descriptor_size = size;
  g.d.edit = std::move(edit);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  HW_INITIALIZATION_DATA data;
  RtlZeroMemory(&data, sizeof(data));
  data.HwInitializationDataSize = sizeof(data);
  data.HwReceivePacket = ReceivePacket;
  data.HwCancelPacket = CancelPacket;
  data.HwRequestTimeoutHandler = TimeoutHandler;
  data.DeviceExtensionSize = data.PerRequestExtensionSize = data.PerStreamExtensionSize = 16;
  data.TurnOffSynchronization = TRUE;
  return StreamClassRegisterAdapter(DriverObject, RegistryPath, &data);
}

std::vector<SRB_COMMAND> commands() {
  std::lock_guard lock(g.mutex);
  return g.d.commands;
}

size_t held() {
  std::lock_guard lock(g.mutex);
  return g.d.held.size();
}

void complete_held(NTSTATUS status) {
  std::deque<PHW_STREAM_REQUEST_BLOCK> held;
  {
    std::lock_guard lock(g.mutex);
    held.swap(g.d.held);
  }
  for (PHW_STREAM_REQUEST_BLOCK srb : held) {
    srb->Status = status;
    notify(srb);
  }
}

bool fill_oldest_read() {
  PHW_STREAM_REQUEST_BLOCK srb;
  {
    std::lock_guard lock(g.mutex);
    if (g.d.reads.empty())
      return false;
    srb = g.d.reads.front();
    g.d.reads.pop_front();
  }
  complete_read(srb, STATUS_SUCCESS,
                srb->CommandData.DataBufferArray->FrameExtent + 16); // more than it holds
  return true;
}

} // namespace testdriver
