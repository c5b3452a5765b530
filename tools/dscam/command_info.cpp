// dscam info: the device's descriptors (read through the bus), its stream and
// formats, its property sets and its controls.
#include <cstdio>
#include <cstring>

#include "platform/streamclass/ks_guids.h"
#include "tools/dscam/commands.h"
#include "tools/dscam/controls.h"
#include "tools/dscam/exit_codes.h"
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
  };
  for (const auto &entry : kNames)
    if (std::memcmp(entry.guid, &guid, sizeof(GUID)) == 0)
      return entry.name;
  return "unknown set";
}

// The stream and the video formats its data ranges offer.
void print_formats(streamclass::Adapter &adapter) {
  const HW_STREAM_INFORMATION *info = adapter.stream_information(0);
  std::printf("Stream 0: %s, %lu instance(s)\n",
              info != nullptr && info->Category != nullptr ? guid_name(*info->Category) : "no category",
              info != nullptr ? static_cast<unsigned long>(info->NumberOfPossibleInstances) : 0ul);
  for (const std::vector<uint8_t> &range : adapter.data_ranges(0)) {
    if (range.size() < sizeof(KS_DATARANGE_VIDEO)) {
      std::printf("  format of %zu bytes (not a video range)\n", range.size());
      continue;
    }
    KS_DATARANGE_VIDEO video;
    std::memcpy(&video, range.data(), sizeof(video));
    const KS_BITMAPINFOHEADER &bmi = video.VideoInfoHeader.bmiHeader;
    const double interval = static_cast<double>(video.VideoInfoHeader.AvgTimePerFrame);
    std::printf("  %s %ldx%ld, %u bits, %lu bytes a frame, %.2f frames/s\n",
                guid_name(video.DataRange.SubFormat), static_cast<long>(bmi.biWidth),
                static_cast<long>(bmi.biHeight), bmi.biBitCount, static_cast<unsigned long>(bmi.biSizeImage),
                interval > 0 ? 1e7 / interval : 0.0);
  }
}

// Each property set with its properties and whether they can be read or set.
void print_property_sets(const char *owner, const std::vector<streamclass::PropertySetInfo> &sets) {
  std::printf("%s property sets:\n", owner);
  for (const streamclass::PropertySetInfo &set : sets) {
    std::printf("  %s:", guid_name(set.set));
    for (const streamclass::PropertyItemInfo &item : set.items)
      std::printf(" %lu(%s%s)", static_cast<unsigned long>(item.id), item.get ? "get" : "",
                  item.set ? (item.get ? ",set" : "set") : "");
    std::printf("\n");
  }
}

// Each camera control the device publishes: its access, range, step and
// default, and what the camera says now (each reading within the driver's time
// limit for a camera exchange).
void print_controls(streamclass::Adapter &adapter) {
  std::printf("Controls:\n");
  const std::vector<streamclass::ControlDescription> controls = camera_controls(adapter);
  if (controls.empty())
    std::printf("  none\n");
  for (const streamclass::ControlDescription &control : controls) {
    const char *name = camera_control_name(control.id);
    const std::string shown = name != nullptr ? name : "id " + std::to_string(control.id);
    std::printf("  %-6s %s%s", shown.c_str(), control.get ? "get" : "",
                control.set_supported ? (control.get ? ",set" : "set") : "");
    if (control.has_range)
      std::printf("  range %ld..%ld step %lu", static_cast<long>(control.minimum),
                  static_cast<long>(control.maximum), static_cast<unsigned long>(control.step));
    if (control.has_default)
      std::printf("  default %ld", static_cast<long>(control.default_value));
    if (!control.get) {
      std::printf("\n");
      continue;
    }
    KSPROPERTY_CAMERACONTROL_S value{};
    const NTSTATUS status = streamclass::get_camera_control(adapter, control.id, value);
    if (!NT_SUCCESS(status))
      std::printf("  current: unreadable (%s)\n", status_text(status).c_str());
    else if (control.id == KSPROPERTY_CAMERACONTROL_FOCUS)
      std::printf("  current %s\n", focus_text(value).c_str());
    else
      std::printf("  current %ld\n", static_cast<long>(value.Value));
  }
}

} // namespace

int command_info(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  Session session(options, wakeup);
  const int result = session.start(error);
  if (result != kExitOk)
    return result;
  const std::string unread = print_usb_descriptors(session.physical_device_object(), stdout);
  print_formats(session.adapter());
  print_property_sets("Device", session.adapter().device_property_sets());
  print_property_sets("Stream", session.adapter().stream_property_sets(0));
  print_controls(session.adapter());
  std::fflush(stdout);
  if (signals.caught() != 0) {
    *error = "interrupted";
    return kExitInterrupted;
  }
  if (!unread.empty()) {
    *error = "the device's descriptors did not read whole: " + unread;
    return kExitDevice;
  }
  return kExitOk;
}

} // namespace dscam
