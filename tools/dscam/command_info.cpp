// dscam info: the device's descriptors (read through the bus), its stream and
// formats, its property sets with their properties by name, and its controls;
// as text, or as one JSON object (--json).
#include <cstdio>
#include <cstring>

#include "platform/streamclass/ks_guids.h"
#include "stream/stream_public.h"
#include "tools/dscam/commands.h"
#include "tools/dscam/controls.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/json_writer.h"
#include "tools/session/session.h"
#include "tools/dscam/usb_descriptors.h"

namespace dscam {
namespace {

// The name of a GUID the stream class and the driver use.
const char *guid_name(const GUID &guid) {
  static const struct {
    const GUID *guid;
    const char *name;
  } kNames[] = {
      {&KSDATAFORMAT_TYPE_VIDEO, "KSDATAFORMAT_TYPE_VIDEO"},
      {&KSDATAFORMAT_SUBTYPE_RGB24, "KSDATAFORMAT_SUBTYPE_RGB24"},
      {&KSDATAFORMAT_SUBTYPE_YUY2, "KSDATAFORMAT_SUBTYPE_YUY2"},
      {&KSDATAFORMAT_SPECIFIER_VIDEOINFO, "KSDATAFORMAT_SPECIFIER_VIDEOINFO"},
      {&PINNAME_VIDEO_CAPTURE, "PINNAME_VIDEO_CAPTURE"},
      {&KSCATEGORY_CAPTURE, "KSCATEGORY_CAPTURE"},
      {&KSPROPSETID_Connection, "KSPROPSETID_Connection"},
      {&PROPSETID_VIDCAP_DROPPEDFRAMES, "PROPSETID_VIDCAP_DROPPEDFRAMES"},
      {&PROPSETID_VIDCAP_VIDEOCONTROL, "PROPSETID_VIDCAP_VIDEOCONTROL"},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, "PROPSETID_VIDCAP_VIDEOCOMPRESSION"},
      {&PROPSETID_VIDCAP_CAMERACONTROL, "PROPSETID_VIDCAP_CAMERACONTROL"},
      {&PROPSETID_VELTRA_PICTURES, "PROPSETID_VELTRA_PICTURES"},
  };
  for (const auto &entry : kNames)
    if (std::memcmp(entry.guid, &guid, sizeof(GUID)) == 0)
      return entry.name;
  return "unknown set";
}

// The name of property `id` of `set` ("zoom", "allocator framing"); NULL when unknown.
const char *property_name(const GUID &set, ULONG id) {
  static const struct {
    const GUID *set;
    ULONG id;
    const char *name;
  } kNames[] = {
      {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, "state"},
      {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_PRIORITY, "priority"},
      {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, "data format"},
      {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, "allocator framing"},
      {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT, "propose data format"},
      {&PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, "dropped frames"},
      {&PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_CAPS, "caps"},
      {&PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, "actual frame rate"},
      {&PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, "frame rates"},
      {&PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE, "mode"},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_GETINFO, "info"},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE, "key frame rate"},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME,
       "P frames per key frame"},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_QUALITY, "quality"},
      {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_KEYFRAME,
       "override key frame"},
      {&PROPSETID_VELTRA_PICTURES, KSPROPERTY_VELTRA_PICTURE_COUNTS, "picture counts"},
  };
  if (IsEqualGUID(set, PROPSETID_VIDCAP_CAMERACONTROL))
    return camera_control_name(id);
  for (const auto &entry : kNames)
    if (IsEqualGUID(*entry.set, set) && entry.id == id)
      return entry.name;
  return nullptr;
}

// "get", "set" or "get,set".
std::string access_text(bool get, bool set) {
  return std::string(get ? "get" : "") + (get && set ? "," : "") + (set ? "set" : "");
}

// A format a data range of the stream offers.
struct FormatInfo {
  bool video = false;
  size_t bytes = 0; // of a range that is not a video range
  KS_DATARANGE_VIDEO range{};
  double fps() const {
    const double interval = static_cast<double>(range.VideoInfoHeader.AvgTimePerFrame);
    return interval > 0 ? 1e7 / interval : 0.0;
  }
};

// One camera control: its description and what the camera says now.
struct ControlInfo {
  streamclass::ControlDescription control;
  NTSTATUS status = STATUS_SUCCESS; // of the reading
  KSPROPERTY_CAMERACONTROL_S value{};
  bool read = false; // a reading was asked for
};

// Everything info shows, read once, shown as text or JSON.
struct Description {
  UsbDescription usb;
  const HW_STREAM_INFORMATION *stream = nullptr;
  std::vector<FormatInfo> formats;
  std::vector<streamclass::PropertySetInfo> device_sets;
  std::vector<streamclass::PropertySetInfo> stream_sets;
  std::vector<ControlInfo> controls;
};

// The description of the started device; each control reading within the
// driver's time limit for a camera exchange.
Description describe(Session &session) {
  streamclass::Adapter &adapter = session.adapter();
  Description description;
  description.usb = read_usb_descriptors(session.physical_device_object());
  description.stream = adapter.stream_information(0);
  for (const std::vector<uint8_t> &range : adapter.data_ranges(0)) {
    FormatInfo format;
    format.bytes = range.size();
    format.video = range.size() >= sizeof(KS_DATARANGE_VIDEO);
    if (format.video)
      std::memcpy(&format.range, range.data(), sizeof(format.range));
    description.formats.push_back(format);
  }
  description.device_sets = adapter.device_property_sets();
  description.stream_sets = adapter.stream_property_sets(0);
  for (const streamclass::ControlDescription &control : camera_controls(adapter)) {
    ControlInfo info;
    info.control = control;
    info.read = control.get;
    if (info.read)
      info.status = streamclass::get_camera_control(adapter, control.id, info.value);
    description.controls.push_back(info);
  }
  return description;
}

// The control's name as shown ("zoom", or "id 9").
std::string control_name(const streamclass::ControlDescription &control) {
  const char *name = camera_control_name(control.id);
  return name != nullptr ? name : "id " + std::to_string(control.id);
}

void print_formats(const Description &description) {
  const HW_STREAM_INFORMATION *info = description.stream;
  std::printf("Stream 0: %s, %lu instance(s)\n",
              info != nullptr && info->Category != nullptr ? guid_name(*info->Category) : "no category",
              info != nullptr ? static_cast<unsigned long>(info->NumberOfPossibleInstances) : 0ul);
  for (const FormatInfo &format : description.formats) {
    if (!format.video) {
      std::printf("  format of %zu bytes (not a video range)\n", format.bytes);
      continue;
    }
    const KS_BITMAPINFOHEADER &bmi = format.range.VideoInfoHeader.bmiHeader;
    std::printf("  %s %ldx%ld, %u bits, %lu bytes a frame, %.2f frames/s\n",
                guid_name(format.range.DataRange.SubFormat), static_cast<long>(bmi.biWidth),
                static_cast<long>(bmi.biHeight), bmi.biBitCount, static_cast<unsigned long>(bmi.biSizeImage),
                format.fps());
  }
}

// Each property set with its properties by name and whether they can be read or set.
void print_property_sets(const char *owner, const std::vector<streamclass::PropertySetInfo> &sets) {
  std::printf("%s property sets:\n", owner);
  for (const streamclass::PropertySetInfo &set : sets) {
    std::printf("  %s:\n", guid_name(set.set));
    for (const streamclass::PropertyItemInfo &item : set.items) {
      const char *name = property_name(set.set, item.id);
      std::printf("    %2lu %-24s %s\n", static_cast<unsigned long>(item.id),
                  name != nullptr ? name : "(unnamed)", access_text(item.get, item.set).c_str());
    }
  }
}

void print_controls(const Description &description) {
  std::printf("Controls:\n");
  if (description.controls.empty())
    std::printf("  none\n");
  for (const ControlInfo &info : description.controls) {
    const streamclass::ControlDescription &control = info.control;
    std::printf("  %-6s %s", control_name(control).c_str(),
                access_text(control.get, control.set_supported).c_str());
    if (control.has_range)
      std::printf("  range %ld..%ld step %lu", static_cast<long>(control.minimum),
                  static_cast<long>(control.maximum), static_cast<unsigned long>(control.step));
    if (control.has_default)
      std::printf("  default %ld", static_cast<long>(control.default_value));
    if (!info.read)
      std::printf("\n");
    else if (camera_did_not_answer(info.status))
      std::printf("  current: the camera did not answer (%s)\n", status_text(info.status).c_str());
    else if (!NT_SUCCESS(info.status))
      std::printf("  current: unreadable (%s)\n", status_text(info.status).c_str());
    else if (control.id == KSPROPERTY_CAMERACONTROL_FOCUS)
      std::printf("  current %s\n", focus_text(info.value).c_str());
    else
      std::printf("  current %ld\n", static_cast<long>(info.value.Value));
  }
}

void print_text(const Description &description) {
  print_usb_description(description.usb, stdout);
  print_formats(description);
  print_property_sets("Device", description.device_sets);
  print_property_sets("Stream", description.stream_sets);
  print_controls(description);
}

void property_sets_json(const std::vector<streamclass::PropertySetInfo> &sets, JsonWriter &json) {
  json.begin_array();
  for (const streamclass::PropertySetInfo &set : sets) {
    json.begin_object().field("set", guid_name(set.set)).key("properties").begin_array();
    for (const streamclass::PropertyItemInfo &item : set.items) {
      const char *name = property_name(set.set, item.id);
      json.begin_object().field("id", item.id).key("name");
      if (name != nullptr)
        json.value(name);
      else
        json.null();
      json.field("get", item.get).field("set", item.set).end_object();
    }
    json.end_array().end_object();
  }
  json.end_array();
}

void control_json(const ControlInfo &info, JsonWriter &json) {
  const streamclass::ControlDescription &control = info.control;
  json.begin_object().field("name", control_name(control)).field("id", control.id);
  json.field("get", control.get).field("set", control.set_supported);
  if (control.has_range)
    json.field("minimum", control.minimum).field("maximum", control.maximum).field("step", control.step);
  if (control.has_default)
    json.field("default", control.default_value);
  if (info.read && NT_SUCCESS(info.status)) {
    json.field("current", info.value.Value).field("flags", info.value.Flags);
  } else if (info.read) {
    json.key("current").null();
    json.field("error", camera_did_not_answer(info.status) ? "the camera did not answer" : "unreadable");
    json.field("status", status_text(info.status));
  }
  json.end_object();
}

void print_json(const Description &description) {
  JsonWriter json;
  json.begin_object().key("usb");
  usb_description_json(description.usb, json);
  const HW_STREAM_INFORMATION *info = description.stream;
  json.key("stream").begin_object();
  json.field("category", info != nullptr && info->Category != nullptr ? guid_name(*info->Category) : "");
  json.field("instances",
             info != nullptr ? static_cast<unsigned long>(info->NumberOfPossibleInstances) : 0ul);
  json.key("formats").begin_array();
  for (const FormatInfo &format : description.formats) {
    const KS_BITMAPINFOHEADER &bmi = format.range.VideoInfoHeader.bmiHeader;
    if (!format.video) {
      json.begin_object().field("bytes", format.bytes).field("video", false).end_object();
      continue;
    }
    json.begin_object().field("subtype", guid_name(format.range.DataRange.SubFormat));
    json.field("width", bmi.biWidth).field("height", bmi.biHeight).field("bits", bmi.biBitCount);
    json.field("frame_bytes", bmi.biSizeImage).field("fps", format.fps()).end_object();
  }
  json.end_array().end_object();
  json.key("property_sets").begin_object().key("device");
  property_sets_json(description.device_sets, json);
  json.key("stream");
  property_sets_json(description.stream_sets, json);
  json.end_object().key("controls").begin_array();
  for (const ControlInfo &control : description.controls)
    control_json(control, json);
  json.end_array().end_object();
  std::printf("%s\n", json.text().c_str());
}

// The first control the camera did not answer, as the reason of the failure.
std::string unanswered_control(const Description &description) {
  for (const ControlInfo &info : description.controls)
    if (info.read && camera_did_not_answer(info.status))
      return control_failure("the " + control_name(info.control) + " reading", info.status);
  return {};
}

} // namespace

int command_info(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  Session session(options, wakeup);
  const int result = session.start(error);
  if (result != kExitOk)
    return result;
  const Description description = describe(session);
  if (options.json)
    print_json(description);
  else
    print_text(description);
  std::fflush(stdout);
  if (signals.caught() != 0) {
    *error = "interrupted";
    return kExitInterrupted;
  }
  if (!description.usb.problem.empty()) {
    *error = "the device's descriptors did not read whole: " + description.usb.problem;
    return kExitDevice;
  }
  *error = session.camera_gone_now() ? "the camera was disconnected" : unanswered_control(description);
  return error->empty() ? kExitOk : kExitCapture;
}

} // namespace dscam
