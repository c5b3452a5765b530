// dscam info: the device's descriptors, its stream and formats, its property
// sets and its controls.
#include <cstdio>
#include <cstring>
#include <span>

#include "platform/streamclass/ks_guids.h"
#include "tools/dscam/commands.h"
#include "tools/dscam/controls.h"
#include "tools/dscam/exit_codes.h"
#include "tools/dscam/session.h"

namespace dscam {
namespace {

// A little-endian 16-bit field of a descriptor (the caller checked the length).
uint16_t le16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// The 18-byte device descriptor, as the device returns it.
void print_device_descriptor(std::span<const uint8_t> d) {
  if (d.size() < 18 || d[0] < 18) {
    std::printf("Device descriptor: missing or short (%zu bytes)\n", d.size());
    return;
  }
  std::printf("Device descriptor:\n"
              "  bcdUSB %x.%02x  class %u  subclass %u  protocol %u  max packet %u\n"
              "  vendor 0x%04x  product 0x%04x  bcdDevice %x.%02x  configurations %u\n",
              d[3], d[2], d[4], d[5], d[6], d[7], le16(d, 8), le16(d, 10), d[13], d[12], d[17]);
}

// The transfer type of an endpoint's bmAttributes.
const char *transfer_type(uint8_t attributes) {
  static const char *const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
  return kTypes[attributes & 3];
}

// One descriptor of the configuration's chain.
void print_descriptor(std::span<const uint8_t> d) {
  const uint8_t type = d[1];
  if (type == 2 && d.size() >= 9)
    std::printf("  configuration %u: total %u bytes, %u interface(s), attributes 0x%02x, %u mA\n", d[5],
                le16(d, 2), d[4], d[7], d[8] * 2u);
  else if (type == 4 && d.size() >= 9)
    std::printf("    interface %u alt %u: %u endpoint(s), class 0x%02x/0x%02x/0x%02x\n", d[2], d[3], d[4],
                d[5], d[6], d[7]);
  else if (type == 5 && d.size() >= 7)
    std::printf("      endpoint 0x%02x %s %s, max packet %u, interval %u\n", d[2],
                (d[2] & 0x80) ? "IN" : "OUT", transfer_type(d[3]), le16(d, 4), d[6]);
  else
    std::printf("    descriptor type 0x%02x, %zu bytes\n", type, d.size());
}

// The configuration descriptor and every descriptor in its chain, each length
// checked against the total before it is read.
void print_configuration(std::span<const uint8_t> c) {
  std::printf("Configuration descriptor:\n");
  if (c.size() < 9) {
    std::printf("  missing or short (%zu bytes)\n", c.size());
    return;
  }
  const size_t total = std::min<size_t>(le16(c, 2), c.size());
  size_t at = 0;
  while (at + 2 <= total) {
    const size_t length = c[at];
    if (length < 2 || at + length > total) {
      std::printf("  malformed descriptor at byte %zu\n", at);
      return;
    }
    print_descriptor(c.subspan(at, length));
    at += length;
  }
}

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

// Each control: what the device publishes and what the camera says now. How
// the first request that did not complete ended (Done when all did).
ControlGuard::End print_controls(streamclass::Adapter &adapter, ControlGuard &guard) {
  ControlGuard::End worst = ControlGuard::End::Done;
  std::printf("Controls:\n");
  for (const ControlName &control : kControls) {
    const ControlInfo info = control_describe(adapter, control.id);
    if (!info.published) {
      std::printf("  %-6s not offered\n", control.name);
      continue;
    }
    std::printf("  %-6s %s%s", control.name, info.get ? "get" : "",
                info.set ? (info.get ? ",set" : "set") : "");
    if (info.has_range)
      std::printf("  range %ld..%ld step %lu", info.minimum, info.maximum, info.step);
    if (info.has_default)
      std::printf("  default %ld", info.default_value);
    KSPROPERTY_CAMERACONTROL_S value{};
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ControlGuard::End end = ControlGuard::End::Done;
    if (info.get) {
      status = guard.get(control.id, value);
      end = guard.end();
    }
    if (end != ControlGuard::End::Done && worst == ControlGuard::End::Done)
      worst = end;
    if (end != ControlGuard::End::Done)
      std::printf("  current: %s\n", guard.failure("the request", status).c_str());
    else if (!NT_SUCCESS(status))
      std::printf("  current: unreadable (%s)\n", status_text(status).c_str());
    else if (control.id == KSPROPERTY_CAMERACONTROL_FOCUS)
      std::printf("  current %s\n", focus_text(value).c_str());
    else
      std::printf("  current %ld\n", static_cast<long>(value.Value));
  }
  return worst;
}

} // namespace

int command_info(const Options &options, const SignalWatch &signals, Wakeup &wakeup, std::string *error) {
  Session session(options, wakeup);
  const int result = session.start(error);
  if (result != kExitOk)
    return result;
  print_device_descriptor(session.camera().descriptor(1, 0, 0));
  print_configuration(session.camera().descriptor(2, 0, 0));
  print_formats(session.adapter());
  print_property_sets("Device", session.adapter().device_property_sets());
  print_property_sets("Stream", session.adapter().stream_property_sets(0));
  ControlGuard guard(session, signals, wakeup);
  const ControlGuard::End end = print_controls(session.adapter(), guard);
  std::fflush(stdout);
  if (end == ControlGuard::End::Interrupted) {
    *error = "interrupted";
    return kExitInterrupted;
  }
  if (end == ControlGuard::End::Stuck) {
    *error = "the camera stopped answering a control request";
    return kExitCapture;
  }
  return kExitOk;
}

} // namespace dscam
