// The USB driver-interface library: finding an interface descriptor in a configuration and
// building a select-configuration request.
//
// Both functions read a configuration descriptor that came from a device: they walk it by
// bLength within wTotalLength and never read a byte beyond.
#include "platform/kernel/pool.h"
#include "platform/kernel/rtl.h"
#include "platform/usbbus/usbdi.h"

namespace {

constexpr ULONG kUsbdPoolTag = PoolTag("USBD");

// Whether a whole interface descriptor starts at `descriptor`, inside the configuration.
bool interface_inside(const USB_CONFIGURATION_DESCRIPTOR *config,
                      const USB_INTERFACE_DESCRIPTOR *descriptor) {
  const auto base = reinterpret_cast<uintptr_t>(config);
  const auto at = reinterpret_cast<uintptr_t>(descriptor);
  const size_t total = config->wTotalLength;
  return at >= base && at - base + sizeof(USB_INTERFACE_DESCRIPTOR) <= total;
}

// Whether an interface descriptor matches every criterion that is not -1.
bool interface_matches(const USB_INTERFACE_DESCRIPTOR *d, LONG number, LONG alternate, LONG cls,
                       LONG subclass, LONG protocol) {
  return (number == -1 || d->bInterfaceNumber == number) &&
         (alternate == -1 || d->bAlternateSetting == alternate) && (cls == -1 || d->bInterfaceClass == cls) &&
         (subclass == -1 || d->bInterfaceSubClass == subclass) &&
         (protocol == -1 || d->bInterfaceProtocol == protocol);
}

} // namespace

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber, LONG AlternateSetting,
                                    LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr || StartPosition == nullptr)
    return nullptr;
  const auto base = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
  const auto start = static_cast<PUCHAR>(StartPosition);
  const size_t total = ConfigurationDescriptor->wTotalLength;
  if (start < base || static_cast<size_t>(start - base) >= total)
    return nullptr;
  size_t position = static_cast<size_t>(start - base);
  while (position + sizeof(USB_COMMON_DESCRIPTOR) <= total) {
    const auto common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(base + position);
    // A descriptor shorter than its own header, or one that runs past the configuration's
    // end, leaves nothing trustworthy after it.
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || position + common->bLength > total)
      break;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      const auto d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(common);
      if (interface_matches(d, InterfaceNumber, AlternateSetting, InterfaceClass, InterfaceSubClass,
                            InterfaceProtocol))
        return d;
    }
    position += common->bLength;
  }
  return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr)
    return nullptr;
  size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    if (!interface_inside(ConfigurationDescriptor, entry->InterfaceDescriptor))
      return nullptr;
    size += USBD_INTERFACE_INFORMATION_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    // The request's length is a 16-bit field.
    if (size > 0xFFFF)
      return nullptr;
  }
  const size_t allocation =
      size < sizeof(_URB_SELECT_CONFIGURATION) ? sizeof(_URB_SELECT_CONFIGURATION) : size;
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocation, kUsbdPoolTag));
  if (urb == nullptr)
    return nullptr;
  RtlZeroMemory(urb, allocation);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto info = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    const PUSB_INTERFACE_DESCRIPTOR d = entry->InterfaceDescriptor;
    auto interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(info);
    interface->Length = static_cast<USHORT>(USBD_INTERFACE_INFORMATION_SIZE(d->bNumEndpoints));
    interface->InterfaceNumber = d->bInterfaceNumber;
    interface->AlternateSetting = d->bAlternateSetting;
    interface->NumberOfPipes = d->bNumEndpoints;
    PUSBD_PIPE_INFORMATION pipes = interface->Pipes;
    for (ULONG i = 0; i < interface->NumberOfPipes; ++i)
      pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    entry->Interface = interface;
    info += interface->Length;
  }
  return urb;
}
