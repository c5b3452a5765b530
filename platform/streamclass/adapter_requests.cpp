// The adapter's request factory: request blocks addressed to this device (and
// to a pin for stream requests), with the time limit of their kind.
#include "platform/streamclass/host_internal.h"

namespace streamclass {

std::shared_ptr<Request> AdapterCore::make_request(RequestKind kind, SRB_COMMAND command, PinCore *pin) {
  auto request = RequestOps::create(kind, command, init().PerRequestExtensionSize, stack_size_);
  if (!request)
    return nullptr;
  HostOptions options = host_options();
  HW_STREAM_REQUEST_BLOCK &srb = request->srb();
  srb.HwDeviceExtension = hw_ext_;
  srb.StreamObject = pin != nullptr ? &pin->object() : nullptr;
  switch (kind) {
  case RequestKind::Device:
    srb.TimeoutOriginal = options.device_request_timeout;
    break;
  case RequestKind::StreamControl:
    srb.TimeoutOriginal = options.control_request_timeout;
    break;
  case RequestKind::StreamData:
    srb.TimeoutOriginal = options.data_request_timeout;
    break;
  }
  srb.TimeoutCounter = srb.TimeoutOriginal;
  RequestOps::set_owner(*request, weak_from_this(),
                        pin != nullptr ? pin->weak_from_this() : std::weak_ptr<PinCore>());
  return request;
}

} // namespace streamclass
