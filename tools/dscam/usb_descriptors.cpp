// GET_DESCRIPTOR requests through the bus, and the descriptors they return.
#include "tools/dscam/usb_descriptors.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace dscam {
namespace {

constexpr size_t kDeviceDescriptorSize = sizeof(USB_DEVICE_DESCRIPTOR);
constexpr size_t kConfigurationHeaderSize = sizeof(USB_CONFIGURATION_DESCRIPTOR);

// Most configurations read from one device: a device may claim up to 255.
constexpr unsigned kMaxConfigurations = 8;

// A little-endian 16-bit field of a descriptor (the caller checked the length).
uint16_t le16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// Why a GET_DESCRIPTOR failed, from the URB's status.
std::string failure_text(const DescriptorReply &reply) {
  switch (reply.usbd_status) {
  case USBD_STATUS_STALL_PID:
    return "the device stalled GET_DESCRIPTOR";
  case USBD_STATUS_DEV_NOT_RESPONDING:
    return "the device did not answer GET_DESCRIPTOR";
  case USBD_STATUS_DEVICE_GONE:
    return "the device is gone";
  default:
    break;
  }
  char text[80];
  std::snprintf(text, sizeof(text), "GET_DESCRIPTOR failed (status 0x%08X, USBD status 0x%08X)",
                static_cast<unsigned>(reply.status), static_cast<unsigned>(reply.usbd_status));
  return text;
}

// Notes the first problem; later ones only show in the printout.
void note(std::string *problem, const std::string &what) {
  if (problem->empty())
    *problem = what;
}

// The 18-byte device descriptor, or why it could not be read.
void read_device_descriptor(PDEVICE_OBJECT pdo, UsbDescription &description) {
  const DescriptorReply reply = get_usb_descriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, kDeviceDescriptorSize);
  const std::span<const uint8_t> d = reply.bytes;
  std::string &why = description.device_problem;
  if (!NT_SUCCESS(reply.status))
    why = failure_text(reply);
  else if (d.size() < kDeviceDescriptorSize)
    why = "short, " + std::to_string(d.size()) + " of 18 bytes";
  else if (d[0] < kDeviceDescriptorSize || d[1] != USB_DEVICE_DESCRIPTOR_TYPE)
    why = "malformed (bLength " + std::to_string(d[0]) + ", type " + std::to_string(d[1]) + ")";
  if (why.empty())
    description.device = reply.bytes;
  else
    note(&description.problem, "device descriptor: " + why);
}

// The transfer type of an endpoint's bmAttributes.
const char *transfer_type(uint8_t attributes) {
  static const char *const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
  return kTypes[attributes & 3];
}

// One descriptor of a configuration's chain (at least 2 bytes).
void print_descriptor(std::span<const uint8_t> d, std::FILE *out) {
  const uint8_t type = d[1];
  if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && d.size() >= 9)
    std::fprintf(out, "  configuration %u: total %u bytes, %u interface(s), attributes 0x%02x, %u mA\n", d[5],
                 le16(d, 2), d[4], d[7], d[8] * 2u);
  else if (type == USB_INTERFACE_DESCRIPTOR_TYPE && d.size() >= 9)
    std::fprintf(out, "    interface %u alt %u: %u endpoint(s), class 0x%02x/0x%02x/0x%02x\n", d[2], d[3],
                 d[4], d[5], d[6], d[7]);
  else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && d.size() >= 7)
    std::fprintf(out, "      endpoint 0x%02x %s %s, max packet %u, interval %u\n", d[2],
                 (d[2] & 0x80) ? "IN" : "OUT", transfer_type(d[3]), le16(d, 4), d[6]);
  else
    std::fprintf(out, "    descriptor type 0x%02x, %zu bytes\n", type, d.size());
}

// One descriptor of a configuration's chain as a JSON object.
void descriptor_json(std::span<const uint8_t> d, JsonWriter &json) {
  char hex[8];
  json.begin_object();
  if (d[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE && d.size() >= 9) {
    json.field("type", "configuration").field("value", d[5]).field("total_bytes", le16(d, 2));
    std::snprintf(hex, sizeof(hex), "0x%02x", d[7]);
    json.field("interfaces", d[4]).field("attributes", hex).field("max_power_ma", d[8] * 2u);
  } else if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d.size() >= 9) {
    json.field("type", "interface").field("number", d[2]).field("alternate", d[3]).field("endpoints", d[4]);
    json.field("class", d[5]).field("subclass", d[6]).field("protocol", d[7]);
  } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d.size() >= 7) {
    std::snprintf(hex, sizeof(hex), "0x%02x", d[2]);
    json.field("type", "endpoint").field("address", hex).field("direction", (d[2] & 0x80) ? "IN" : "OUT");
    json.field("transfer", transfer_type(d[3])).field("max_packet", le16(d, 4)).field("interval", d[6]);
  } else {
    json.field("type", d[1]).field("bytes", d.size());
  }
  json.end_object();
}

// Splits the first `total` bytes into the chain's descriptors, each length
// checked before it is read. An empty string, or what is wrong with the chain.
std::string split_chain(std::span<const uint8_t> c, UsbDescription::Configuration &configuration) {
  size_t at = 0;
  while (at + 2 <= c.size()) {
    const size_t length = c[at];
    if (length < 2 || at + length > c.size())
      return "malformed descriptor at byte " + std::to_string(at);
    configuration.descriptors.emplace_back(c.begin() + static_cast<long>(at),
                                           c.begin() + static_cast<long>(at + length));
    at += length;
  }
  return {};
}

// Configuration `index`: its 9-byte header first, for wTotalLength, then the
// whole of it, as a host reads it.
void read_configuration(PDEVICE_OBJECT pdo, uint8_t index, UsbDescription &description) {
  UsbDescription::Configuration &configuration = description.configurations.emplace_back();
  configuration.index = index;
  DescriptorReply reply =
      get_usb_descriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, index, kConfigurationHeaderSize);
  std::string &why = configuration.problem;
  if (!NT_SUCCESS(reply.status))
    why = failure_text(reply);
  else if (reply.bytes.size() < kConfigurationHeaderSize)
    why = "short, " + std::to_string(reply.bytes.size()) + " of 9 bytes";
  else if (reply.bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
           le16(reply.bytes, 2) < kConfigurationHeaderSize)
    why = "malformed (type " + std::to_string(reply.bytes[1]) + ", wTotalLength " +
          std::to_string(le16(reply.bytes, 2)) + ")";
  if (why.empty()) {
    const uint16_t total = le16(reply.bytes, 2);
    reply = get_usb_descriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, index, total);
    if (!NT_SUCCESS(reply.status))
      why = failure_text(reply);
    else if (reply.bytes.size() < total)
      why = "short, " + std::to_string(reply.bytes.size()) + " of " + std::to_string(total) + " bytes";
    const std::string chain = split_chain(reply.bytes, configuration);
    if (why.empty())
      why = chain;
  }
  if (!why.empty())
    note(&description.problem, "configuration descriptor " + std::to_string(index) + ": " + why);
}

} // namespace

DescriptorReply get_usb_descriptor(PDEVICE_OBJECT pdo, uint8_t type, uint8_t index, uint16_t length) {
  DescriptorReply reply;
  reply.bytes.assign(length, 0);
  URB urb;
  std::memset(&urb, 0, sizeof(urb));
  _URB_CONTROL_DESCRIPTOR_REQUEST &request = urb.UrbControlDescriptorRequest;
  request.Hdr.Length = sizeof(request);
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBufferLength = length;
  request.TransferBuffer = reply.bytes.data();
  request.DescriptorType = type;
  request.Index = index;
  KEVENT done; // set by the I/O manager when the bus has completed the request
  IO_STATUS_BLOCK io{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                           &done, &io);
  if (irp == nullptr) {
    reply.status = STATUS_INSUFFICIENT_RESOURCES;
    reply.bytes.clear();
    return reply;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  reply.status = IofCallDriver(pdo, irp);
  if (reply.status == STATUS_PENDING) {
    (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    reply.status = io.Status;
  }
  reply.usbd_status = request.Hdr.Status;
  reply.bytes.resize(NT_SUCCESS(reply.status) ? std::min<size_t>(request.TransferBufferLength, length) : 0);
  return reply;
}

UsbDescription read_usb_descriptors(PDEVICE_OBJECT pdo) {
  UsbDescription description;
  read_device_descriptor(pdo, description);
  // Without a device descriptor the first configuration is still worth asking for.
  const unsigned count =
      description.device.empty() ? 1 : std::min<unsigned>(description.device[17], kMaxConfigurations);
  for (unsigned index = 0; index < count; ++index)
    read_configuration(pdo, static_cast<uint8_t>(index), description);
  return description;
}

void print_usb_description(const UsbDescription &description, std::FILE *out) {
  const std::vector<uint8_t> &d = description.device;
  if (d.empty())
    std::fprintf(out, "Device descriptor: %s\n", description.device_problem.c_str());
  else
    std::fprintf(out,
                 "Device descriptor:\n"
                 "  bcdUSB %x.%02x  class %u  subclass %u  protocol %u  max packet %u\n"
                 "  vendor 0x%04x  product 0x%04x  bcdDevice %x.%02x  configurations %u\n",
                 d[3], d[2], d[4], d[5], d[6], d[7], le16(d, 8), le16(d, 10), d[13], d[12], d[17]);
  for (const UsbDescription::Configuration &configuration : description.configurations) {
    std::fprintf(out, "Configuration descriptor:\n");
    for (const std::vector<uint8_t> &descriptor : configuration.descriptors)
      print_descriptor(descriptor, out);
    if (!configuration.problem.empty())
      std::fprintf(out, "  %s\n", configuration.problem.c_str());
  }
}

void usb_description_json(const UsbDescription &description, JsonWriter &json) {
  const std::vector<uint8_t> &d = description.device;
  char text[16];
  json.begin_object().key("device");
  if (d.empty()) {
    json.begin_object().field("problem", description.device_problem).end_object();
  } else {
    json.begin_object();
    std::snprintf(text, sizeof(text), "%x.%02x", d[3], d[2]);
    json.field("usb", text).field("class", d[4]).field("subclass", d[5]).field("protocol", d[6]);
    json.field("max_packet", d[7]);
    std::snprintf(text, sizeof(text), "0x%04x", le16(d, 8));
    json.field("vendor", text);
    std::snprintf(text, sizeof(text), "0x%04x", le16(d, 10));
    json.field("product", text);
    std::snprintf(text, sizeof(text), "%x.%02x", d[13], d[12]);
    json.field("device_release", text).field("configurations", d[17]).end_object();
  }
  json.key("configurations").begin_array();
  for (const UsbDescription::Configuration &configuration : description.configurations) {
    json.begin_object().field("index", configuration.index).key("descriptors").begin_array();
    for (const std::vector<uint8_t> &descriptor : configuration.descriptors)
      descriptor_json(descriptor, json);
    json.end_array().key("problem");
    if (configuration.problem.empty())
      json.null();
    else
      json.value(configuration.problem);
    json.end_object();
  }
  json.end_array().end_object();
}

std::string print_usb_descriptors(PDEVICE_OBJECT pdo, std::FILE *out) {
  const UsbDescription description = read_usb_descriptors(pdo);
  print_usb_description(description, out);
  return description.problem;
}

} // namespace dscam
