// The camera-control properties: the adapter's device property requests. Of the
// three property sets the adapter publishes only the camera-control set is
// served, and of it only zoom and focus. A zoom Get reads the camera at once; a
// zoom Set is applied later by the zoom-change work item; a focus Set to
// automatic runs one auto-focus cycle before the request completes.
#include "controls/controls.h"
#include "diag/debug_msg.h"
#include "platform/streamclass/ks_guids.h"

namespace {

// The bytes a Get of zoom or focus reports.
constexpr ULONG kCameraControlSize = sizeof(KSPROPERTY_CAMERACONTROL_S);

// The property descriptor of the request, or NULL when the request carries no
// property record of at least a KSPROPERTY (the set and the Id are read from it).
PSTREAM_PROPERTY_DESCRIPTOR ControlsPropertyDescriptor(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAM_PROPERTY_DESCRIPTOR pDescriptor = pSrb->CommandData.PropertyInfo;

  if (pDescriptor == NULL || pDescriptor->Property == NULL ||
      pDescriptor->PropertyInputSize < sizeof(KSPROPERTY))
    return NULL;
  return pDescriptor;
}

// The request's camera-control value record, or NULL (Status set to
// STATUS_BUFFER_TOO_SMALL) when the data buffer is missing or shorter than a
// KSPROPERTY_CAMERACONTROL_S. The descriptor has been checked.
PKSPROPERTY_CAMERACONTROL_S ControlsCameraControlData(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAM_PROPERTY_DESCRIPTOR pDescriptor = pSrb->CommandData.PropertyInfo;

  if (pDescriptor->PropertyInfo == NULL || pDescriptor->PropertyOutputSize < kCameraControlSize) {
    pSrb->Status = STATUS_BUFFER_TOO_SMALL;
    return NULL;
  }
  return (PKSPROPERTY_CAMERACONTROL_S)pDescriptor->PropertyInfo;
}

// Get of zoom: the camera's position, which also becomes ZoomValue. Flags is
// not written. A camera that gives no reading fails the Get with
// STATUS_IO_DEVICE_ERROR: no value is written and ZoomValue stays. Adapter
// dispatch; blocks on the camera.
VOID ControlsGetZoom(PHW_STREAM_REQUEST_BLOCK pSrb, PKSPROPERTY_CAMERACONTROL_S pData) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  ULONG Zoom = 0;

  if (!VELTRA_GetZoomProperty(pHwDevExt, &Zoom)) {
    DubugMsg(2, "AdapterGetCameraControlProperty(KSPROPERTY_CAMERACONTROL_ZOOM) No Reading\n");
    pSrb->Status = STATUS_IO_DEVICE_ERROR;
    return;
  }
  pData->Value = (LONG)Zoom;
  pData->Capabilities = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
  pSrb->ActualBytesTransferred = kCameraControlSize;
  pHwDevExt->ZoomValue = (LONG)Zoom;
}

// Get of focus: the flags last set; the camera is not asked.
VOID ControlsGetFocus(PHW_STREAM_REQUEST_BLOCK pSrb, PKSPROPERTY_CAMERACONTROL_S pData) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;

  pData->Value = 0;
  pData->Flags = pHwDevExt->FocusFlags;
  pData->Capabilities = KSPROPERTY_CAMERACONTROL_FLAGS_AUTO | KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
  pSrb->ActualBytesTransferred = kCameraControlSize;
}

// Set of zoom: ZoomValue takes the value at once (no range check here: the
// command refuses values outside 0..100 when it applies them) and the zoom
// change is requested. The request completes before the camera has moved.
VOID ControlsSetZoom(PHW_STREAM_REQUEST_BLOCK pSrb, const KSPROPERTY_CAMERACONTROL_S *pData) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;

  pHwDevExt->ZoomValue = pData->Value;
  if (!NT_SUCCESS(PropChangeRequest(pHwDevExt, pData->Value)))
    pSrb->Status = STATUS_INVALID_PARAMETER; // no work item: the value waits for the next Set
}

// Set of focus: Flags exactly AUTO runs one auto-focus cycle; other flags need
// no camera traffic. FocusFlags changes only on success. Blocks on the camera.
VOID ControlsSetFocus(PHW_STREAM_REQUEST_BLOCK pSrb, const KSPROPERTY_CAMERACONTROL_S *pData) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;
  BOOLEAN bDone = TRUE;

  if (pData->Flags == KSPROPERTY_CAMERACONTROL_FLAGS_AUTO)
    bDone = VELTRA_SetFocusAuto(pHwDevExt);
  if (bDone)
    pHwDevExt->FocusFlags = pData->Flags;
  else
    pSrb->Status = STATUS_INVALID_PARAMETER;
}

} // namespace

// Logs the set's GUID, then answers the camera-control set or refuses the others.
BOOLEAN AdapterGetDeviceProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAM_PROPERTY_DESCRIPTOR pDescriptor = ControlsPropertyDescriptor(pSrb);
  const GUID *pSet;

  if (pDescriptor == NULL) {
    pSrb->Status = STATUS_INVALID_PARAMETER; // nothing names a property
    return TRUE;
  }
  pSet = &pDescriptor->Property->Set;
  DubugMsg(3, "PropSetId %08X-%04X-%04X-%02X%02X%02X%02X%02X%02X%02X%02X\n", pSet->Data1, pSet->Data2,
           pSet->Data3, pSet->Data4[0], pSet->Data4[1], pSet->Data4[2], pSet->Data4[3], pSet->Data4[4],
           pSet->Data4[5], pSet->Data4[6], pSet->Data4[7]);
  if (IsEqualGUID(*pSet, PROPSETID_VIDCAP_CAMERACONTROL))
    return AdapterGetCameraControlProperty(pSrb);
  DubugMsg(3, "AdapterGetDeviceProperty(UNKNOWN)\n");
  pSrb->Status = STATUS_NOT_IMPLEMENTED;
  return TRUE;
}

// The same comparison as the Get, without a log line.
BOOLEAN AdapterSetDeviceProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAM_PROPERTY_DESCRIPTOR pDescriptor = ControlsPropertyDescriptor(pSrb);

  if (pDescriptor == NULL) {
    pSrb->Status = STATUS_INVALID_PARAMETER; // nothing names a property
    return TRUE;
  }
  if (IsEqualGUID(pDescriptor->Property->Set, PROPSETID_VIDCAP_CAMERACONTROL))
    return AdapterSetCameraControlProperty(pSrb);
  pSrb->Status = STATUS_NOT_IMPLEMENTED;
  return TRUE;
}

// By property Id. The table of the adapter offers Get for all seven
// camera-control properties, but only zoom and focus answer.
BOOLEAN AdapterGetCameraControlProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PKSPROPERTY_CAMERACONTROL_S pData;

  switch (pSrb->CommandData.PropertyInfo->Property->Id) {
  case KSPROPERTY_CAMERACONTROL_ZOOM:
    DubugMsg(3, "AdapterGetCameraControlProperty(KSPROPERTY_CAMERACONTROL_ZOOM)\n");
    pData = ControlsCameraControlData(pSrb);
    if (pData != NULL)
      ControlsGetZoom(pSrb, pData);
    break;
  case KSPROPERTY_CAMERACONTROL_FOCUS:
    DubugMsg(3, "AdapterGetCameraControlProperty(KSPROPERTY_CAMERACONTROL_FOCUS)\n");
    pData = ControlsCameraControlData(pSrb);
    if (pData != NULL)
      ControlsGetFocus(pSrb, pData);
    break;
  default:
    DubugMsg(3, "AdapterGetCameraControlProperty(UNKNOWN)\n");
    pSrb->Status = STATUS_INVALID_PARAMETER;
    break;
  }
  return TRUE;
}

// By property Id, after the line that names it.
BOOLEAN AdapterSetCameraControlProperty(PHW_STREAM_REQUEST_BLOCK pSrb) {
  const ULONG Id = pSrb->CommandData.PropertyInfo->Property->Id;
  PKSPROPERTY_CAMERACONTROL_S pData;

  DubugMsg(3, "SetCameraControlProperty %08X \n", Id);
  switch (Id) {
  case KSPROPERTY_CAMERACONTROL_ZOOM:
    pData = ControlsCameraControlData(pSrb);
    if (pData != NULL)
      ControlsSetZoom(pSrb, pData);
    break;
  case KSPROPERTY_CAMERACONTROL_FOCUS:
    pData = ControlsCameraControlData(pSrb);
    if (pData != NULL)
      ControlsSetFocus(pSrb, pData);
    break;
  default:
    DubugMsg(3, "SetCameraControlProperty InvalidParameter\n");
    pSrb->Status = STATUS_INVALID_PARAMETER;
    break;
  }
  return TRUE;
}
