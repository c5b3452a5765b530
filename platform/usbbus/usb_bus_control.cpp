// Control requests of the bus: get descriptor, select configuration, pipe reset and abort, and
// the port reset. Each runs at once in its dispatch call, or after the test knob's control delay
// on the host-controller thread.
#include "platform/kernel/misuse.h"
#include "platform/usbbus/usb_bus_core.h"
#include "platform/usbbus/usb_status.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace usbbus {
namespace {

// Opaque handles: a tag, the configuration's generation and an index. They are never
// dereferenced, so a stale or forged handle is only ever "not found".
template <typename HANDLE_TYPE> HANDLE_TYPE make_handle(uintptr_t tag, uint32_t generation, size_t index) {
  return reinterpret_cast<HANDLE_TYPE>(tag << 40 | static_cast<uintptr_t>(generation) << 16 | index);
}
constexpr uintptr_t kPipeTag = 0x5B;
constexpr uintptr_t kInterfaceTag = 0x5C;
constexpr uintptr_t kConfigurationTag = 0x5D;

// The endpoints of the interface described at `interface` (up to the next interface
// descriptor or the end of the configuration), each a complete endpoint descriptor.
std::vector<const USB_ENDPOINT_DESCRIPTOR *> interface_endpoints(const USB_CONFIGURATION_DESCRIPTOR *config,
                                                                 const USB_INTERFACE_DESCRIPTOR *interface) {
  std::vector<const USB_ENDPOINT_DESCRIPTOR *> endpoints;
  const auto base = reinterpret_cast<const uint8_t *>(config);
  const size_t total = config->wTotalLength;
  size_t position =
      static_cast<size_t>(reinterpret_cast<const uint8_t *>(interface) - base) + interface->bLength;
  while (position + sizeof(USB_COMMON_DESCRIPTOR) <= total) {
    const auto common = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(base + position);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || position + common->bLength > total)
      break;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
      break;
    if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR))
      endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(common));
    position += common->bLength;
  }
  return endpoints;
}

// An interface of a select-configuration request: its number and alternate setting.
struct SelectedInterface {
  uint8_t number = 0;
  uint8_t alternate = 0;
};

// Fills one interface information record of a select-configuration request and adds its pipes.
// Called with core.lock held.
USBD_STATUS select_interface_locked(const USB_CONFIGURATION_DESCRIPTOR *config,
                                    USBD_INTERFACE_INFORMATION *info, uint32_t generation,
                                    std::vector<Pipe> &pipes, std::vector<SelectedInterface> &selected) {
  const auto d = USBD_ParseConfigurationDescriptorEx(
      const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config), const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config),
      info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
  if (d == nullptr)
    return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  const auto endpoints = interface_endpoints(config, d);
  // A device that announces more endpoints than it describes (or fewer) is not configured.
  if (endpoints.size() != d->bNumEndpoints)
    return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  if (info->Length < USBD_INTERFACE_INFORMATION_SIZE(endpoints.size()))
    return USBD_STATUS_BUFFER_TOO_SMALL;
  selected.push_back(SelectedInterface{d->bInterfaceNumber, d->bAlternateSetting});
  info->Class = d->bInterfaceClass;
  info->SubClass = d->bInterfaceSubClass;
  info->Protocol = d->bInterfaceProtocol;
  info->InterfaceHandle = make_handle<USBD_INTERFACE_HANDLE>(kInterfaceTag, generation, d->bInterfaceNumber);
  info->NumberOfPipes = static_cast<ULONG>(endpoints.size());
  PUSBD_PIPE_INFORMATION out = info->Pipes;
  for (size_t i = 0; i < endpoints.size(); ++i) {
    const USB_ENDPOINT_DESCRIPTOR *e = endpoints[i];
    Pipe pipe;
    pipe.handle = make_handle<USBD_PIPE_HANDLE>(kPipeTag, generation, pipes.size());
    pipe.interface_number = d->bInterfaceNumber;
    pipe.endpoint = e->bEndpointAddress;
    pipe.type = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
    pipe.max_packet = e->wMaxPacketSize;
    pipe.interval = e->bInterval;
    pipe.max_transfer =
        out[i].MaximumTransferSize ? out[i].MaximumTransferSize : USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    out[i].MaximumPacketSize = pipe.max_packet;
    out[i].EndpointAddress = pipe.endpoint;
    out[i].Interval = pipe.interval;
    out[i].PipeType = pipe.type;
    out[i].PipeHandle = pipe.handle;
    out[i].PipeFlags = 0;
    pipes.push_back(pipe);
  }
  return USBD_STATUS_SUCCESS;
}

// Walks the request's interface information records and builds the new pipes. Called with
// core.lock held.
USBD_STATUS select_interfaces_locked(_URB_SELECT_CONFIGURATION &sc, uint32_t generation,
                                     std::vector<Pipe> &pipes, std::vector<SelectedInterface> &selected) {
  const PUSB_CONFIGURATION_DESCRIPTOR config = sc.ConfigurationDescriptor;
  if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  const size_t length = sc.Hdr.Length;
  size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  auto bytes = reinterpret_cast<PUCHAR>(&sc);
  while (offset < length) {
    if (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > length)
      return USBD_STATUS_INVALID_PARAMETER;
    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes + offset);
    if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || offset + info->Length > length)
      return USBD_STATUS_INVALID_PARAMETER;
    const USBD_STATUS status = select_interface_locked(config, info, generation, pipes, selected);
    if (!USBD_SUCCESS(status))
      return status;
    offset += info->Length;
  }
  return USBD_STATUS_SUCCESS;
}

// Tells the device the new configuration and the interfaces selected in it; on a failure the
// device is left unconfigured.
USBD_STATUS configure_device(BusCore &core, uint8_t value, const std::vector<SelectedInterface> &selected) {
  DeviceCall call(core);
  if (!call.ok())
    return USBD_STATUS_DEVICE_GONE;
  TransferOutcome outcome = core.device->set_configuration(value);
  for (size_t i = 0; i < selected.size() && outcome == TransferOutcome::Success; ++i)
    outcome = core.device->select_interface(selected[i].number, selected[i].alternate);
  if (outcome == TransferOutcome::Success)
    return USBD_STATUS_SUCCESS;
  std::lock_guard<std::mutex> guard(core.lock);
  core.pipes.clear();
  core.configuration_value = 0;
  return usbd_status_from_outcome(outcome);
}

// SET_CONFIGURATION as the request describes it (or unconfigure with no descriptor).
USBD_STATUS select_configuration(BusCore &core, PURB urb) {
  _URB_SELECT_CONFIGURATION &sc = urb->UrbSelectConfiguration;
  std::vector<BusRequestPtr> ended;
  std::vector<SelectedInterface> selected;
  uint8_t value = 0;
  {
    std::lock_guard<std::mutex> guard(core.lock);
    std::vector<Pipe> pipes;
    const uint32_t generation = core.generation + 1;
    if (sc.ConfigurationDescriptor != nullptr) {
      const USBD_STATUS status = select_interfaces_locked(sc, generation, pipes, selected);
      if (!USBD_SUCCESS(status))
        return status;
      value = sc.ConfigurationDescriptor->bConfigurationValue;
      sc.ConfigurationHandle = make_handle<USBD_CONFIGURATION_HANDLE>(kConfigurationTag, generation, value);
    }
    // The old configuration's pipes close with their transfers.
    ended = end_pending_locked(core, USBD_STATUS_CANCELED, false, nullptr);
    core.pipes = std::move(pipes);
    core.generation = generation;
    core.configuration_value = value;
  }
  notify_cancelled(core, ended);
  return configure_device(core, value, selected);
}

// Reset pipe (clear the halt, end its transfers) or abort pipe (end its transfers).
USBD_STATUS pipe_request(BusCore &core, PURB urb, bool reset) {
  const USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
  uint8_t endpoint = 0;
  std::vector<BusRequestPtr> ended;
  {
    std::lock_guard<std::mutex> guard(core.lock);
    auto pipe = std::find_if(core.pipes.begin(), core.pipes.end(),
                             [&](const Pipe &p) { return handle != nullptr && p.handle == handle; });
    if (pipe == core.pipes.end())
      return USBD_STATUS_INVALID_PIPE_HANDLE;
    endpoint = pipe->endpoint;
    if (reset)
      pipe->halted = false;
    ended = end_pending_locked(core, USBD_STATUS_CANCELED, false, &endpoint);
  }
  notify_cancelled(core, ended);
  if (!reset)
    return USBD_STATUS_SUCCESS;
  DeviceCall call(core);
  if (!call.ok())
    return USBD_STATUS_DEVICE_GONE;
  return usbd_status_from_outcome(core.device->reset_pipe(endpoint));
}

// The port reset: ends the pending transfers, resets the device and restores its configuration.
USBD_STATUS port_reset(BusCore &core) {
  std::vector<BusRequestPtr> ended;
  uint8_t value;
  {
    std::lock_guard<std::mutex> guard(core.lock);
    ended = end_pending_locked(core, USBD_STATUS_CANCELED, false, nullptr);
    for (Pipe &pipe : core.pipes)
      pipe.halted = false;
    value = core.configuration_value;
  }
  notify_cancelled(core, ended);
  DeviceCall call(core);
  if (!call.ok())
    return USBD_STATUS_DEVICE_GONE;
  TransferOutcome outcome = core.device->reset_port();
  if (outcome == TransferOutcome::Success && value != 0)
    outcome = core.device->set_configuration(value);
  return usbd_status_from_outcome(outcome);
}

// GET_DESCRIPTOR: copies at most the buffer's length of the device's descriptor.
void get_descriptor(BusCore &core, BusRequest &request) {
  _URB_CONTROL_DESCRIPTOR_REQUEST &d = request.urb->UrbControlDescriptorRequest;
  PUCHAR buffer = static_cast<PUCHAR>(d.TransferBuffer);
  if (d.TransferBufferMDL != nullptr)
    buffer = MmGetMdlByteCount(d.TransferBufferMDL) < d.TransferBufferLength
                 ? nullptr
                 : static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(d.TransferBufferMDL, NormalPagePriority));
  if (buffer == nullptr && d.TransferBufferLength > 0) {
    request.status = USBD_STATUS_INVALID_PARAMETER;
    return;
  }
  DeviceCall call(core);
  if (!call.ok()) {
    request.status = USBD_STATUS_DEVICE_GONE;
    return;
  }
  std::span<const uint8_t> bytes;
  const TransferOutcome outcome =
      core.device->get_descriptor(d.DescriptorType, d.Index, d.LanguageId, &bytes);
  if (outcome != TransferOutcome::Success) {
    request.status = usbd_status_from_outcome(outcome);
    return;
  }
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(bytes.size(), d.TransferBufferLength));
  if (n > 0)
    std::memcpy(buffer, bytes.data(), n);
  request.bytes = n;
  request.status = USBD_STATUS_SUCCESS;
}

// The smallest URB each control function needs.
size_t control_urb_size(USHORT function) {
  switch (function) {
  case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  case URB_FUNCTION_SELECT_CONFIGURATION:
    return offsetof(_URB_SELECT_CONFIGURATION, Interface);
  case URB_FUNCTION_RESET_PIPE:
  case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
  case URB_FUNCTION_ABORT_PIPE:
    return sizeof(_URB_PIPE_REQUEST);
  default:
    return sizeof(_URB_HEADER);
  }
}

// The trace of a control request's submission, with its setup packet where it has one.
void trace_control_submission(BusCore &core, const BusRequest &request) {
  if (!core.trace.enabled())
    return;
  TraceEvent event;
  event.id = request.request_id;
  event.event = 'S';
  event.type = TraceTransferType::Control;
  auto setup = [](uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length) {
    return std::array<uint8_t, 8>{type,
                                  req,
                                  static_cast<uint8_t>(value),
                                  static_cast<uint8_t>(value >> 8),
                                  static_cast<uint8_t>(index),
                                  static_cast<uint8_t>(index >> 8),
                                  static_cast<uint8_t>(length),
                                  static_cast<uint8_t>(length >> 8)};
  };
  const PURB urb = request.urb;
  const USHORT function = urb ? urb->UrbHeader.Function : 0xFFFF;
  if (urb == nullptr) {
    event.note = "port reset";
  } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    const auto &d = urb->UrbControlDescriptorRequest;
    event.endpoint = 0x80;
    event.length = d.TransferBufferLength;
    event.setup = setup(0x80, 0x06, static_cast<uint16_t>(d.DescriptorType << 8 | d.Index), d.LanguageId,
                        static_cast<uint16_t>(std::min<ULONG>(d.TransferBufferLength, 0xFFFF)));
  } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
    const auto config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    event.setup = setup(0x00, 0x09, config ? config->bConfigurationValue : 0, 0, 0);
  } else if (function == URB_FUNCTION_RESET_PIPE ||
             function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
    uint16_t endpoint = 0;
    {
      std::lock_guard<std::mutex> guard(core.lock);
      for (const Pipe &p : core.pipes)
        if (p.handle == urb->UrbPipeRequest.PipeHandle)
          endpoint = p.endpoint;
    }
    event.setup = setup(0x02, 0x01, 0, endpoint, 0); // CLEAR_FEATURE(ENDPOINT_HALT)
  } else {
    event.note = function == URB_FUNCTION_ABORT_PIPE ? "abort pipe" : "unsupported URB function";
  }
  core.trace.record(event);
}

} // namespace

void run_control(BusCore &core, BusRequest &request) {
  request.bytes = 0;
  if (request.urb == nullptr) {
    request.status = port_reset(core);
    return;
  }
  switch (request.urb->UrbHeader.Function) {
  case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    get_descriptor(core, request);
    break;
  case URB_FUNCTION_SELECT_CONFIGURATION:
    request.status = select_configuration(core, request.urb);
    break;
  case URB_FUNCTION_RESET_PIPE:
  case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    request.status = pipe_request(core, request.urb, true);
    break;
  case URB_FUNCTION_ABORT_PIPE:
    request.status = pipe_request(core, request.urb, false);
    break;
  default:
    request.status = USBD_STATUS_INVALID_URB_FUNCTION;
    break;
  }
}

NTSTATUS submit_control(const std::shared_ptr<BusCore> &core, PIRP irp, PURB urb) {
  BusRequestPtr request = make_request(core, RequestKind::Control, irp, urb);
  if (urb != nullptr && urb->UrbHeader.Length < control_urb_size(urb->UrbHeader.Function)) {
    platform::misuse_reportf(platform::MisuseCategory::Usb, "URB function 0x%04X of %u bytes",
                             urb->UrbHeader.Function, urb->UrbHeader.Length);
    return finish_at_once(*core, request, USBD_STATUS_INVALID_PARAMETER, 0);
  }
  trace_control_submission(*core, *request);
  USBD_STATUS fault;
  if (urb != nullptr && take_fault(*core, urb->UrbHeader.Function, &fault))
    return finish_at_once(*core, request, fault, 0);
  std::unique_lock<std::mutex> guard(core->lock);
  if (!core->present) {
    guard.unlock();
    return finish_at_once(*core, request, USBD_STATUS_DEVICE_GONE, 0);
  }
  if (core->control_delay.count() == 0) {
    // Nobody else can see this request: it is carried out here and now.
    request->state = RequestState::Ended;
    guard.unlock();
    run_control(*core, *request);
    return finish_request(*core, request, false);
  }
  publish_request_locked(*core, request);
  if (request->state != RequestState::Active) {
    guard.unlock();
    return finish_request(*core, request, false);
  }
  core->timers.emplace(std::chrono::steady_clock::now() + core->control_delay, request->request_id);
  core->hc_wake.notify_all();
  IoMarkIrpPending(irp);
  request->in_dispatch = false;
  return STATUS_PENDING;
}

} // namespace usbbus
