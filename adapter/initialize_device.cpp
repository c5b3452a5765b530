// Device initialization: SRB_INITIALIZE_DEVICE brings the camera up on the USB bus. The USB
// work is the transport's (usb/); this file says what is asked of it and in which order, finds
// the bulk pipes of the camera protocol and logs the configuration.
#include "adapter/adapter.h"
#include "controls/controls.h"
#include "diag/debug_msg.h"
#include "stream/stream_tables.h"
#include "usb/qrnusb.h"

namespace {

// Focus flags at power-on: KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL.
constexpr ULONG FocusFlagsDefault = 2;
// Largest transfer on each pipe: one camera buffer.
constexpr ULONG MaximumTransferSize = 0x10000;

// Logs the device objects the stream class handed over. Passive level.
VOID AdapterLogDeviceObjects(PHW_DEVICE_EXTENSION pHwDevExt, PPORT_CONFIGURATION_INFORMATION ConfigInfo) {
  const PDEVICE_OBJECT fdo = ConfigInfo->ClassDeviceObject;
  const PDEVICE_OBJECT pdo = ConfigInfo->PhysicalDeviceObject;
  DubugMsg(3, "AdapterInitializeDevice DeviceExtension=%08X\n", pHwDevExt);
  DubugMsg(3, "AdapterInitializeDevice PDO=%08X\n", pdo);
  DubugMsg(3, "AdapterInitializeDevice RealPDO=%08X\n", ConfigInfo->RealPhysicalDeviceObject);
  DubugMsg(3, "AdapterInitializeDevice FDO=%08X\n", fdo);
  DubugMsg(3, "AdapterInitializeDevice DeviceExtension=%08X\n",
           fdo != nullptr ? fdo->DeviceExtension : nullptr);
  DubugMsg(3, "AdapterInitializeDevice AttachedPDO=%08X\n", pdo != nullptr ? pdo->AttachedDevice : nullptr);
}

// Sets the device extension's initial values: controls, the stream's queues, no USB blocks
// (those of an earlier initialization are released first, and its zoom change, if one is
// pending, ended). Passive level; blocks while such a zoom change ends.
VOID AdapterInitializeExtension(PHW_DEVICE_EXTENSION pHwDevExt, PPORT_CONFIGURATION_INFORMATION ConfigInfo) {
  PropChangeShutdown(pHwDevExt);
  pHwDevExt->pRealPhysicalDeviceObject = ConfigInfo->RealPhysicalDeviceObject;
  pHwDevExt->ZoomValue = ZoomDefault;
  pHwDevExt->FocusFlags = FocusFlagsDefault;
  pHwDevExt->pPropChangeWorkItem = nullptr;
  KeInitializeSpinLock(&pHwDevExt->PropChangeSpinLock);
  pHwDevExt->PropChangeZoomValue = ZoomDefault;
  pHwDevExt->PropChangeGeneration = 0;
  pHwDevExt->bPropChangeShutdown = FALSE;
  KeInitializeEvent(&pHwDevExt->PropChangeEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pHwDevExt->PropChangeDoneEvent, NotificationEvent, TRUE);
  pHwDevExt->bPropChangeReady = TRUE;
  KeInitializeEvent(&pHwDevExt->CameraLockEvent, SynchronizationEvent, TRUE);
  pHwDevExt->CommandReplyLimit = 0;
  for (ULONG stream = 0; stream < ADAPTER_STREAM_COUNT; ++stream) {
    InitializeListHead(&pHwDevExt->StreamControlSRBList[stream]);
    pHwDevExt->ProcessingControlSRB[stream] = 0;
    InitializeListHead(&pHwDevExt->StreamSRBList[stream]);
    KeInitializeSpinLock(&pHwDevExt->StreamSRBSpinLock[stream]);
    pHwDevExt->StreamSRBListSize[stream] = 0;
  }
  AdapterFreeUsbDescriptors(pHwDevExt);
}

// Finds the bulk IN and bulk OUT pipes of the selected interface; other pipe types are
// skipped, and of several bulk pipes of one direction the last wins. Passive level.
VOID AdapterFindPipes(PHW_DEVICE_EXTENSION pHwDevExt) {
  const PUSBD_INTERFACE_INFORMATION interface = pHwDevExt->pInterfaceInformation;
  const PUSBD_PIPE_INFORMATION pipes = interface->Pipes;
  // The interface block has room for QRNUSB_MAX_PIPES pipes (QRNUSB_SelectInterface refuses more).
  const ULONG count =
      interface->NumberOfPipes < QRNUSB_MAX_PIPES ? interface->NumberOfPipes : QRNUSB_MAX_PIPES;
  for (ULONG i = 0; i < count; ++i) {
    if (pipes[i].PipeType != UsbdPipeTypeBulk)
      continue;
    if (USB_ENDPOINT_DIRECTION_IN(pipes[i].EndpointAddress)) {
      DubugMsg(2, "Find InPipe %d\n", i);
      pHwDevExt->InPipeIndex = i;
    } else {
      DubugMsg(2, "Find OutPipe %d\n", i);
      pHwDevExt->OutPipeIndex = i;
    }
  }
}

// Reads the device and configuration descriptors and selects the configuration. Returns
// FALSE, after the step's error line, when one of them fails. Passive level; blocks on USB.
BOOLEAN AdapterConfigureUsb(PHW_DEVICE_EXTENSION pHwDevExt, PULONG Length) {
  const PDEVICE_OBJECT device = pHwDevExt->pRealPhysicalDeviceObject;
  NTSTATUS status = QRNUSB_GetDeviceDescriptor(device, &pHwDevExt->pDeviceDescriptor);
  if (QRNUSB_FAILED(status)) {
    DubugMsg(2, "ERROR:GetDeviceDescriptor status 0x%08X\n", status);
    return FALSE;
  }
  DubugMsg(3, "GetDeviceDescriptor OK\n");
  *Length = 0;
  status = QRNUSB_GetConfigurationDescriptor(device, 0, &pHwDevExt->pConfigurationDescriptor, Length);
  // Nothing walks a configuration descriptor that does not hold together.
  if (!QRNUSB_FAILED(status))
    status = QRNUSB_CheckConfigurationDescriptor(pHwDevExt->pConfigurationDescriptor, *Length);
  if (QRNUSB_FAILED(status)) {
    DubugMsg(2, "ERROR:GetConfigurationDescriptor status 0x%08X\n", status);
    return FALSE;
  }
  DubugMsg(3, "GetConfigurationDescriptor OK\n");
  status = QRNUSB_SelectInterface(device, pHwDevExt->pConfigurationDescriptor, MaximumTransferSize,
                                  &pHwDevExt->pInterfaceInformation);
  if (QRNUSB_FAILED(status)) {
    DubugMsg(2, "ERROR:QRNUSB_SelectConfiguration status 0x%08X\n", status);
    return FALSE;
  }
  return TRUE;
}

} // namespace

// Releases the adapter's USB descriptor blocks (see adapter.h). Passive level.
VOID AdapterFreeUsbDescriptors(PHW_DEVICE_EXTENSION pHwDevExt) {
  if (pHwDevExt->pDeviceDescriptor != nullptr)
    ExFreePool(pHwDevExt->pDeviceDescriptor);
  if (pHwDevExt->pConfigurationDescriptor != nullptr)
    ExFreePool(pHwDevExt->pConfigurationDescriptor);
  if (pHwDevExt->pInterfaceInformation != nullptr)
    ExFreePool(pHwDevExt->pInterfaceInformation);
  pHwDevExt->pDeviceDescriptor = nullptr;
  pHwDevExt->pConfigurationDescriptor = nullptr;
  pHwDevExt->pInterfaceInformation = nullptr;
}

// SRB_INITIALIZE_DEVICE (see adapter.h). TRUE when the camera is ready; FALSE, with the
// request's Status untouched and no USB block kept, when a USB step failed. Passive level;
// blocks on USB requests.
BOOLEAN AdapterInitializeDevice(PHW_STREAM_REQUEST_BLOCK pSrb) {
  const PPORT_CONFIGURATION_INFORMATION ConfigInfo = pSrb->CommandData.ConfigInfo;
  const PHW_DEVICE_EXTENSION pHwDevExt = static_cast<PHW_DEVICE_EXTENSION>(pSrb->HwDeviceExtension);

  StartDebugMsg();
  AdapterLogDeviceObjects(pHwDevExt, ConfigInfo);
  // The stream descriptor of SRB_GET_STREAM_INFO: one header and one stream.
  ConfigInfo->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
  AdapterInitializeExtension(pHwDevExt, ConfigInfo);

  ULONG length = 0;
  if (!AdapterConfigureUsb(pHwDevExt, &length)) {
    // The stream class does not uninitialize a device whose initialization failed: the blocks
    // obtained so far would never be released.
    AdapterFreeUsbDescriptors(pHwDevExt);
    return FALSE;
  }
  AdapterFindPipes(pHwDevExt);
  SetEachDescriptorPointer(pHwDevExt, length);
  PUSBD_PIPE_INFORMATION pipes = pHwDevExt->pInterfaceInformation->Pipes;
  (void)QRNUSB_ResetPipe(pHwDevExt->pRealPhysicalDeviceObject, &pipes[pHwDevExt->InPipeIndex]);
  (void)QRNUSB_ResetPipe(pHwDevExt->pRealPhysicalDeviceObject, &pipes[pHwDevExt->OutPipeIndex]);
  return TRUE;
}

// Logs each descriptor of the configuration, walking by bLength while the position is below
// TotalLength (the bytes the device returned); stops at a bLength of 0 and where fewer than
// two bytes (a descriptor's header) are left. Reads nothing at or past TotalLength.
// Passive level.
VOID SetEachDescriptorPointer(PHW_DEVICE_EXTENSION pHwDevExt, ULONG TotalLength) {
  const PUCHAR bytes = reinterpret_cast<PUCHAR>(pHwDevExt->pConfigurationDescriptor);
  const LONG total = static_cast<LONG>(TotalLength);
  LONG position = 0;
  while (position < total) {
    if (total - position < static_cast<LONG>(sizeof(USB_COMMON_DESCRIPTOR)))
      break;
    const auto descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(bytes + position);
    DubugMsg(2, "SetEachDescriptorPointer Len=%d TYPE=%02Xh\n", descriptor->bLength,
             descriptor->bDescriptorType);
    switch (descriptor->bDescriptorType) {
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      DubugMsg(3, "USB_CONFIGURATION_DESCRIPTOR_TYPE\n");
      break;
    case USB_INTERFACE_DESCRIPTOR_TYPE:
      DubugMsg(3, "USB_INTERFACE_DESCRIPTOR_TYPE\n");
      break;
    case USB_ENDPOINT_DESCRIPTOR_TYPE:
      DubugMsg(3, "USB_ENDPOINT_DESCRIPTOR_TYPE\n");
      break;
    default:
      break;
    }
    if (descriptor->bLength == 0)
      break;
    position += descriptor->bLength;
  }
}
