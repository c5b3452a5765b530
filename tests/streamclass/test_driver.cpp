#include "tests/streamclass/test_driver.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "platform/kernel/rtl.h"
#include "platform/streamclass/ks_guids.h"
#include "platform/streamclass/ksmedia.h"

namespace testdriver {

namespace {

// Sizes the test driver registers.
constexpr ULONG kRequestExtensionSize = 24;
constexpr ULONG kStreamExtensionSize = 40;

struct TEST_DEVICE_EXTENSION {
  ULONG Initialized;
  ULONG Reserved;
};

// The published tables: one stream, one format, one property set each.
const KSDATARANGE Range = {
    sizeof(KSDATARANGE),        0, 1000, 0, KSDATAFORMAT_TYPE_VIDEO, KSDATAFORMAT_SUBTYPE_RGB24,
    KSDATAFORMAT_SPECIFIER_NONE};
const KSDATARANGE *const Formats[] = {&Range};

const KSPROPERTY_ITEM CameraItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CAMERACONTROL_ZOOM, TRUE, sizeof(KSPROPERTY_CAMERACONTROL_S),
                           sizeof(KSPROPERTY_CAMERACONTROL_S), TRUE, nullptr, 0, nullptr, nullptr, 0),
};
const KSPROPERTY_SET DeviceSets[] = {
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_CAMERACONTROL, 1, CameraItems, 0, nullptr),
};
const KSPROPERTY_ITEM DroppedItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_DROPPEDFRAMES_CURRENT, TRUE, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
                           sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), FALSE, nullptr, 0, nullptr, nullptr,
                           0),
};
const KSPROPERTY_SET StreamSets[] = {
    DEFINE_KSPROPERTY_SET(&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, DroppedItems, 0, nullptr),
};
const GUID Categories[] = {KSCATEGORY_CAPTURE};
const KSTOPOLOGY Topology = {1, Categories, 0, nullptr, 0, nullptr, nullptr, 0};

HW_STREAM_DESCRIPTOR make_descriptor() {
  HW_STREAM_DESCRIPTOR d{};
  d.StreamHeader.NumberOfStreams = 1;
  d.StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
  d.StreamHeader.NumDevPropArrayEntries = 1;
  d.StreamHeader.DevicePropertiesArray = DeviceSets;
  d.StreamHeader.Topology = &Topology;
  d.StreamInfo.NumberOfPossibleInstances = 1;
  d.StreamInfo.DataFlow = KSPIN_DATAFLOW_OUT;
  d.StreamInfo.DataAccessible = TRUE;
  d.StreamInfo.NumberOfFormatArrayEntries = 1;
  d.StreamInfo.StreamFormatsArray = Formats;
  d.StreamInfo.NumStreamPropArrayEntries = 1;
  d.StreamInfo.StreamPropertiesArray = StreamSets;
  d.StreamInfo.Category = &PINNAME_VIDEO_CAPTURE;
  d.StreamInfo.Name = &PINNAME_VIDEO_CAPTURE;
  return d;
}

struct Rule {
  Action action = Action::Complete;
  NTSTATUS status = STATUS_SUCCESS;
};

// The driver's state; `mutex` protects all of it and is never held while the host
// is called.
struct State {
  std::mutex mutex;
  std::map<SRB_COMMAND, Rule> rules;
  ULONG descriptor_size = sizeof(HW_STREAM_DESCRIPTOR);
  bool synchronized = false;
  std::vector<Received> received;
  std::deque<PHW_STREAM_REQUEST_BLOCK> held;
  std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
  size_t timeouts = 0;
  size_t cancels = 0;
  KSSTATE stream_state = KSSTATE_STOP;
  HANDLE master_clock = nullptr;
  PORT_CONFIGURATION_INFORMATION config{};
  LONG zoom = 50;
  ULONG frames = 0;
  // Reads taken from the queue and being filled; `filled` signals 0. Close waits for
  // them, as a driver stops its transfer thread before it lets a stream go.
  size_t filling = 0;
  std::condition_variable filled;
};

State &state() {
  static State *instance = new State;
  return *instance;
}

bool is_stream_request(const HW_STREAM_REQUEST_BLOCK *srb) {
  return srb->Command < SRB_GET_STREAM_INFO;
}

// Completes through the notification of the request's kind (or the other one).
void notify(PHW_STREAM_REQUEST_BLOCK srb, bool wrong) {
  if (is_stream_request(srb) != wrong)
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
  else
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

// Records the request and returns the rule for its command.
Rule take(PHW_STREAM_REQUEST_BLOCK srb) {
  std::lock_guard lock(state().mutex);
  state().received.push_back(Received{srb->Command, std::this_thread::get_id(), srb->SRBExtension != nullptr,
                                      srb->Irp != nullptr, srb->Flags});
  auto it = state().rules.find(srb->Command);
  return it == state().rules.end() ? Rule{} : it->second;
}

// Completes (or keeps) the request as the rule says.
void finish(PHW_STREAM_REQUEST_BLOCK srb, const Rule &rule) {
  if (rule.status != STATUS_SUCCESS)
    srb->Status = rule.status;
  switch (rule.action) {
  case Action::Complete:
    notify(srb, false);
    break;
  case Action::CompleteTwice:
    notify(srb, false);
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

// Completes the queued reads with STATUS_CANCELLED, oldest first, once no read is
// being filled.
void cancel_reads() {
  std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
  {
    std::unique_lock lock(state().mutex);
    state().filled.wait(lock, [] { return state().filling == 0; });
    reads.swap(state().reads);
  }
  for (PHW_STREAM_REQUEST_BLOCK srb : reads) {
    srb->CommandData.DataBufferArray->DataUsed = 0;
    srb->Status = STATUS_CANCELLED;
    notify(srb, false);
  }
}

// Writes the ordinary answer of an adapter command into the request.
void answer_adapter(PHW_STREAM_REQUEST_BLOCK srb) {
  switch (srb->Command) {
  case SRB_INITIALIZE_DEVICE: {
    std::lock_guard lock(state().mutex);
    state().config = *srb->CommandData.ConfigInfo;
    srb->CommandData.ConfigInfo->StreamDescriptorSize = state().descriptor_size;
    static_cast<TEST_DEVICE_EXTENSION *>(srb->HwDeviceExtension)->Initialized = 1;
    break;
  }
  case SRB_GET_STREAM_INFO: {
    HW_STREAM_DESCRIPTOR d = make_descriptor();
    std::memcpy(srb->CommandData.StreamBuffer, &d, sizeof(d));
    break;
  }
  case SRB_OPEN_STREAM: {
    HW_STREAM_OBJECT *object = srb->StreamObject;
    object->ReceiveDataPacket = [](PHW_STREAM_REQUEST_BLOCK s) {
      Rule rule = take(s);
      if (s->Command != SRB_READ_DATA) {
        s->Status = STATUS_NOT_IMPLEMENTED;
        finish(s, rule);
        return;
      }
      s->Status = STATUS_SUCCESS;
      if (rule.action != Action::Complete || rule.status != STATUS_SUCCESS) {
        finish(s, rule);
        return;
      }
      std::lock_guard lock(state().mutex);
      state().reads.push_back(s);
    };
    object->ReceiveControlPacket = [](PHW_STREAM_REQUEST_BLOCK s) {
      Rule rule = take(s);
      s->Status = STATUS_SUCCESS;
      std::unique_lock lock(state().mutex);
      switch (s->Command) {
      case SRB_SET_STREAM_STATE:
        state().stream_state = s->CommandData.StreamState;
        break;
      case SRB_GET_STREAM_STATE:
        s->CommandData.StreamState = state().stream_state;
        s->ActualBytesTransferred = sizeof(KSSTATE);
        break;
      case SRB_INDICATE_MASTER_CLOCK:
        state().master_clock = s->CommandData.MasterClockHandle;
        break;
      case SRB_GET_STREAM_PROPERTY: {
        auto *data =
            static_cast<KSPROPERTY_DROPPEDFRAMES_CURRENT_S *>(s->CommandData.PropertyInfo->PropertyInfo);
        data->PictureNumber = state().frames;
        data->DropCount = 0;
        data->AverageFrameSize = 1000;
        s->ActualBytesTransferred = sizeof(*data);
        break;
      }
      case SRB_PROPOSE_DATA_FORMAT:
      case SRB_SET_DATA_FORMAT:
        break;
      default:
        s->Status = STATUS_NOT_IMPLEMENTED;
        break;
      }
      lock.unlock();
      finish(s, rule);
    };
    object->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
    object->Pio = TRUE;
    break;
  }
  case SRB_CLOSE_STREAM:
    cancel_reads();
    break;
  case SRB_GET_DEVICE_PROPERTY: {
    auto *data = static_cast<KSPROPERTY_CAMERACONTROL_S *>(srb->CommandData.PropertyInfo->PropertyInfo);
    std::lock_guard lock(state().mutex);
    data->Value = state().zoom;
    data->Capabilities = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
    srb->ActualBytesTransferred = sizeof(*data);
    break;
  }
  case SRB_SET_DEVICE_PROPERTY: {
    auto *data = static_cast<KSPROPERTY_CAMERACONTROL_S *>(srb->CommandData.PropertyInfo->PropertyInfo);
    std::lock_guard lock(state().mutex);
    state().zoom = data->Value;
    break;
  }
  case SRB_GET_DATA_INTERSECTION: {
    STREAM_DATA_INTERSECT_INFO *info = srb->CommandData.IntersectInfo;
    ULONG size = info->DataRange->FormatSize;
    if (info->SizeOfDataFormatBuffer == 0) {
      srb->Status = STATUS_BUFFER_OVERFLOW;
      srb->ActualBytesTransferred = size;
    } else if (info->SizeOfDataFormatBuffer < size) {
      srb->Status = STATUS_BUFFER_TOO_SMALL;
    } else {
      std::memcpy(info->DataFormatBuffer, info->DataRange, size);
      srb->ActualBytesTransferred = size;
    }
    break;
  }
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
    for (auto it = state().reads.begin(); it != state().reads.end(); ++it) {
      if (*it == srb) {
        state().reads.erase(it);
        found = true;
        break;
      }
    }
  }
  if (found) {
    // A real driver completes a read it has taken out of its queue a little
    // later; give a racing close the chance to run in between.
    std::this_thread::yield();
    srb->CommandData.DataBufferArray->DataUsed = 0;
    srb->Status = STATUS_CANCELLED;
    notify(srb, false);
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
  s.synchronized = false;
  s.received.clear();
  s.held.clear();
  s.reads.clear();
  s.timeouts = 0;
  s.cancels = 0;
  s.stream_state = KSSTATE_STOP;
  s.master_clock = nullptr;
  s.config = {};
  s.zoom = 50;
  s.frames = 0;
}

void set_action(SRB_COMMAND command, Action action, NTSTATUS status) {
  std::lock_guard lock(state().mutex);
  state().rules[command] = Rule{action, status};
}

void set_descriptor_size(ULONG size) {
  std::lock_guard lock(state().mutex);
  state().descriptor_size = size;
}

ULONG published_descriptor_size() {
  return sizeof(HW_STREAM_DESCRIPTOR);
}

void set_synchronized(bool synchronized) {
  std::lock_guard lock(state().mutex);
  state().synchronized = synchronized;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  HW_INITIALIZATION_DATA data;
  RtlZeroMemory(&data, sizeof(data));
  data.HwInitializationDataSize = sizeof(data);
  data.HwReceivePacket = ReceivePacket;
  data.HwCancelPacket = CancelPacket;
  data.HwRequestTimeoutHandler = TimeoutHandler;
  data.DeviceExtensionSize = sizeof(TEST_DEVICE_EXTENSION);
  data.PerRequestExtensionSize = kRequestExtensionSize;
  data.PerStreamExtensionSize = kStreamExtensionSize;
  {
    std::lock_guard lock(state().mutex);
    data.TurnOffSynchronization = state().synchronized ? FALSE : TRUE;
  }
  return StreamClassRegisterAdapter(DriverObject, RegistryPath, &data);
}

NTSTATUS DriverEntryWithoutRegistration(PDRIVER_OBJECT, PUNICODE_STRING) {
  return STATUS_SUCCESS;
}

std::vector<Received> received() {
  std::lock_guard lock(state().mutex);
  return state().received;
}

std::vector<SRB_COMMAND> commands() {
  std::vector<SRB_COMMAND> result;
  for (const Received &r : received())
    result.push_back(r.command);
  return result;
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

bool fill_oldest_read(uint8_t value, ULONG bytes) {
  PHW_STREAM_REQUEST_BLOCK srb;
  ULONG frame;
  HANDLE clock;
  {
    std::lock_guard lock(state().mutex);
    if (state().reads.empty())
      return false;
    srb = state().reads.front();
    state().reads.pop_front();
    frame = ++state().frames;
    clock = state().master_clock;
    state().filling++;
  }
  KSSTREAM_HEADER *header = srb->CommandData.DataBufferArray;
  ULONG used = bytes < header->FrameExtent ? bytes : header->FrameExtent;
  std::memset(header->Data, value, used);
  header->DataUsed = used;
  header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
  HW_TIME_CONTEXT context{};
  context.HwDeviceExtension = srb->HwDeviceExtension;
  context.HwStreamObject = srb->StreamObject;
  context.Function = TIME_GET_STREAM_TIME;
  if (clock != nullptr)
    StreamClassQueryMasterClockSync(clock, &context);
  header->PresentationTime.Time = static_cast<LONGLONG>(context.Time);
  if (header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO))
    reinterpret_cast<KS_FRAME_INFO *>(header + 1)->PictureNumber = frame;
  srb->Status = STATUS_SUCCESS;
  notify(srb, false);
  std::lock_guard lock(state().mutex);
  if (--state().filling == 0)
    state().filled.notify_all();
  return true;
}

KSSTATE stream_state() {
  std::lock_guard lock(state().mutex);
  return state().stream_state;
}

HANDLE master_clock() {
  std::lock_guard lock(state().mutex);
  return state().master_clock;
}

ULONGLONG read_master_clock() {
  HW_TIME_CONTEXT context{};
  context.Function = TIME_GET_STREAM_TIME;
  StreamClassQueryMasterClockSync(master_clock(), &context);
  return context.Time;
}

PORT_CONFIGURATION_INFORMATION initialize_config() {
  std::lock_guard lock(state().mutex);
  return state().config;
}

LONG zoom() {
  std::lock_guard lock(state().mutex);
  return state().zoom;
}

} // namespace testdriver
