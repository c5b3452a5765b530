// DescriptorDump: one USB descriptor written to the log, field by field.
#include "diag/debug_msg.h"
#include "usb/qrnusb.h"

namespace {

// One field line of a known descriptor type: its format, offset and width (1 or 2 bytes).
struct DESCRIPTOR_FIELD {
  PCSTR Format;
  UCHAR Offset;
  UCHAR Width;
};

// The layout of a known descriptor type: its header line, its fields and its length.
struct DESCRIPTOR_LAYOUT {
  UCHAR Type;
  PCSTR Header;
  const DESCRIPTOR_FIELD *Fields;
  ULONG FieldCount;
  ULONG Length;
};

const DESCRIPTOR_FIELD DeviceFields[] = {
    {"    bLength            =0x%02X\n", 0, 1},  {"    bDescriptorType    =0x%02X\n", 1, 1},
    {"    bcdUSB             =0x%04X\n", 2, 2},  {"    bDeviceClass       =0x%02X\n", 4, 1},
    {"    bDeviceSubClass    =0x%02X\n", 5, 1},  {"    bDeviceProtocol    =0x%02X\n", 6, 1},
    {"    bMaxPacketSize0    =0x%02X\n", 7, 1},  {"    idVendor           =0x%04X\n", 8, 2},
    {"    idProduct          =0x%04X\n", 10, 2}, {"    bcdDevice          =0x%04X\n", 12, 2},
    {"    iManufacturer      =0x%02X\n", 14, 1}, {"    iProduct           =0x%02X\n", 15, 1},
    {"    iSerialNumber      =0x%02X\n", 16, 1}, {"    bNumConfigurations =0x%02X\n", 17, 1},
};

const DESCRIPTOR_FIELD ConfigurationFields[] = {
    {"    bLength            =0x%02X\n", 0, 1}, {"    bDescriptorType    =0x%02X\n", 1, 1},
    {"    wTotalLength       =0x%04X\n", 2, 2}, {"    bNumInterfaces     =0x%02X\n", 4, 1},
    {"    bConfigurationValue=0x%02X\n", 5, 1}, {"    iConfiguration     =0x%02X\n", 6, 1},
    {"    bmAttributes       =0x%02X\n", 7, 1}, {"    MaxPower           =0x%02X\n", 8, 1},
};

const DESCRIPTOR_FIELD InterfaceFields[] = {
    {"    bLength            =0x%02X\n", 0, 1}, {"    bDescriptorType    =0x%02X\n", 1, 1},
    {"    bInterfaceNumber   =0x%02X\n", 2, 1}, {"    bAlternateSetting  =0x%02X\n", 3, 1},
    {"    bNumEndpoints      =0x%02X\n", 4, 1}, {"    bInterfaceClass    =0x%02X\n", 5, 1},
    {"    bInterfaceSubClass =0x%02X\n", 6, 1}, {"    bInterfaceProtocol =0x%02X\n", 7, 1},
    {"    iInterface         =0x%02X\n", 8, 1},
};

const DESCRIPTOR_FIELD EndpointFields[] = {
    {"    bLength            =0x%02X\n", 0, 1}, {"    bDescriptorType    =0x%02X\n", 1, 1},
    {"    bEndpointAddress   =0x%02X\n", 2, 1}, {"    bmAttributes       =0x%02X\n", 3, 1},
    {"    wMaxPacketSize     =0x%04X\n", 4, 2}, {"    bInterval          =0x%02X\n", 6, 1},
};

const DESCRIPTOR_LAYOUT DescriptorLayouts[] = {
    {USB_DEVICE_DESCRIPTOR_TYPE, "DEVICE_DESCRIPTOR\n", DeviceFields, 14, sizeof(USB_DEVICE_DESCRIPTOR)},
    {USB_CONFIGURATION_DESCRIPTOR_TYPE, "CONFIGURATION_DESCRIPTOR\n", ConfigurationFields, 8,
     sizeof(USB_CONFIGURATION_DESCRIPTOR)},
    {USB_INTERFACE_DESCRIPTOR_TYPE, "INTERFACE_DESCRIPTOR\n", InterfaceFields, 9,
     sizeof(USB_INTERFACE_DESCRIPTOR)},
    {USB_ENDPOINT_DESCRIPTOR_TYPE, "ENDPOINT_DESCRIPTOR\n", EndpointFields, 6,
     sizeof(USB_ENDPOINT_DESCRIPTOR)},
};

// Most raw bytes an unknown descriptor shows.
constexpr ULONG RawDumpLimit = 18;

} // namespace

// Logs one descriptor at level 2: a known type (device, configuration, interface, endpoint)
// field by field, any other as "UNKNOWN Descriptor" and up to 18 raw bytes. Returns the length
// the dump assumed: the type's layout size, or bLength for an unknown type. A known type whose
// bLength is shorter than its layout is dumped raw, so no byte past bLength is read.
// The descriptor must hold bLength bytes. Any context; no lock.
ULONG DescriptorDump(PUSB_COMMON_DESCRIPTOR Descriptor) {
  const PUCHAR bytes = reinterpret_cast<PUCHAR>(Descriptor);
  for (const DESCRIPTOR_LAYOUT &layout : DescriptorLayouts) {
    if (layout.Type != Descriptor->bDescriptorType || Descriptor->bLength < layout.Length)
      continue;
    DubugMsg(2, layout.Header);
    for (ULONG i = 0; i < layout.FieldCount; ++i) {
      const DESCRIPTOR_FIELD &field = layout.Fields[i];
      const ULONG value = field.Width == 2
                              ? static_cast<ULONG>(bytes[field.Offset] | bytes[field.Offset + 1] << 8)
                              : bytes[field.Offset];
      DubugMsg(2, field.Format, value);
    }
    return layout.Length;
  }
  DubugMsg(2, "UNKNOWN Descriptor\n");
  const ULONG shown = Descriptor->bLength < RawDumpLimit ? Descriptor->bLength : RawDumpLimit;
  for (ULONG i = 0; i < shown; ++i)
    DubugMsg(2, "%02X ", bytes[i]);
  DubugMsg(2, "\n");
  return Descriptor->bLength;
}
