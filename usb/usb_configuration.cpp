// Selecting the device's configuration: the interfaces with alternate setting 0, the
// select-configuration request, and the copy of the first interface's pipes for the caller.
#include "diag/debug_msg.h"
#include "usb/qrnusb.h"

namespace {

// Interface numbers are 8-bit: the search never looks further.
constexpr ULONG QRNUSB_INTERFACE_NUMBERS = 256;

// Fills List (room for Count + 1 entries) with the interfaces of alternate setting 0, in
// interface-number order, logging each; terminates it. Returns the number found.
ULONG QRNUSB_FindInterfaces(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                            PUSBD_INTERFACE_LIST_ENTRY List, ULONG Count) {
  ULONG found = 0;
  for (ULONG number = 0; found < Count && number < QRNUSB_INTERFACE_NUMBERS; ++number) {
    PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, static_cast<LONG>(number), 0, -1, -1, -1);
    if (interface != nullptr) {
      DescriptorDump(reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(interface));
      List[found].InterfaceDescriptor = interface;
      List[found].Interface = nullptr;
      ++found;
    }
  }
  List[found].InterfaceDescriptor = nullptr;
  List[found].Interface = nullptr;
  return found;
}

// Sends the select-configuration request with every pipe of the first interface set to
// MaximumTransferSize, and copies that interface's information into a new block for the caller.
NTSTATUS QRNUSB_SendConfiguration(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG MaximumTransferSize,
                                  PUSBD_INTERFACE_INFORMATION *InterfaceInformation) {
  PUSBD_INTERFACE_INFORMATION interface = &Urb->UrbSelectConfiguration.Interface;
  // The caller's block holds at most 16 pipes; a larger interface is refused, not cut.
  if (interface->Length > QRNUSB_INTERFACE_BLOCK_SIZE) {
    DubugMsg(2, "QRNUSB_SelectInterface:ERROR Interface too large Pipes=%d\n", interface->NumberOfPipes);
    return STATUS_BUFFER_TOO_SMALL;
  }
  PUSBD_PIPE_INFORMATION pipes = interface->Pipes;
  for (ULONG i = 0; i < interface->NumberOfPipes; ++i)
    pipes[i].MaximumTransferSize = MaximumTransferSize;
  NTSTATUS status = QRNUSB_CallUSBD(DeviceObject, Urb);
  if (QRNUSB_FAILED(status))
    return status;
  auto block = static_cast<PUSBD_INTERFACE_INFORMATION>(
      ExAllocatePoolWithTag(NonPagedPool, QRNUSB_INTERFACE_BLOCK_SIZE, QRNUSB_POOL_TAG));
  if (block == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, QRNUSB_INTERFACE_BLOCK_SIZE);
  RtlCopyMemory(block, interface, interface->Length);
  *InterfaceInformation = block;
  return status;
}

} // namespace

// Selects the configuration (see qrnusb.h). The interface list lives only for this call.
// Blocks; passive level.
NTSTATUS QRNUSB_SelectInterface(PDEVICE_OBJECT DeviceObject,
                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                ULONG MaximumTransferSize,
                                PUSBD_INTERFACE_INFORMATION *InterfaceInformation) {
  const ULONG count = ConfigurationDescriptor->bNumInterfaces;
  auto list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      ExAllocatePoolWithTag(NonPagedPool, (count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), QRNUSB_POOL_TAG));
  if (list == nullptr) {
    DubugMsg(2, "QRNUSB_SelectInterface:ERROR Allocate Interface List\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status;
  PURB urb = nullptr;
  if (QRNUSB_FindInterfaces(ConfigurationDescriptor, list, count) == 0) {
    // Nothing to select: a configuration without an interface of alternate setting 0.
    DubugMsg(2, "QRNUSB_SelectInterface:ERROR No Interface\n");
    status = STATUS_NO_MATCH;
  } else if ((urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list)) == nullptr) {
    DubugMsg(2, "QRNUSB_SelectInterface:ERROR USBD_CreateConfigurationRequestEx\n");
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    DubugMsg(2, "QRNUSB_SelectInterface:OK USBD_CreateConfigurationRequestEx\n");
    DubugMsg(2, "QRNUSB_SelectInterface %08X\n", &urb->UrbSelectConfiguration.Interface);
    status = QRNUSB_SendConfiguration(DeviceObject, urb, MaximumTransferSize, InterfaceInformation);
    ExFreePool(urb);
  }
  ExFreePool(list);
  return status;
}

// Checks a configuration descriptor from the device (see qrnusb.h). Any context.
NTSTATUS QRNUSB_CheckConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             ULONG Length) {
  if (Length < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      ConfigurationDescriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      ConfigurationDescriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      ConfigurationDescriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      ConfigurationDescriptor->wTotalLength > Length) {
    DubugMsg(2, "QRNUSB_CheckConfigurationDescriptor:ERROR header RetLen=0x%x\n", Length);
    return STATUS_INVALID_PARAMETER;
  }
  const PUCHAR bytes = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  for (ULONG position = 0; position < total;) {
    const auto common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(bytes + position);
    ULONG least = sizeof(USB_COMMON_DESCRIPTOR);
    if (total - position >= sizeof(USB_COMMON_DESCRIPTOR)) {
      if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
        least = sizeof(USB_INTERFACE_DESCRIPTOR);
      else if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE)
        least = sizeof(USB_ENDPOINT_DESCRIPTOR);
    }
    if (total - position < sizeof(USB_COMMON_DESCRIPTOR) || common->bLength < least ||
        common->bLength > total - position) {
      DubugMsg(2, "QRNUSB_CheckConfigurationDescriptor:ERROR descriptor at 0x%x\n", position);
      return STATUS_INVALID_PARAMETER;
    }
    position += common->bLength;
  }
  return STATUS_SUCCESS;
}
