// The adapter's small request handlers: power state, initialization complete,
// uninitialization and surprise removal. Each completes its request with
// STATUS_SUCCESS.
#include "adapter/adapter.h"
#include "controls/controls.h"
#include "diag/debug_msg.h"
#include "usb/qrnusb.h"

// SRB_CHANGE_POWER_STATE: every power state is accepted, with no effect on the
// camera. Passive level.
BOOLEAN AdapterChangePowerState(PHW_STREAM_REQUEST_BLOCK pSrb) {
  (void)pSrb;
  return TRUE;
}

// SRB_INITIALIZATION_COMPLETE: nothing is left to do after initialization.
BOOLEAN AdapterInitializeComplete(PHW_STREAM_REQUEST_BLOCK pSrb) {
  (void)pSrb;
  return TRUE;
}

// SRB_UNINITIALIZE_DEVICE, the last request of the adapter: the device extension is
// freed after it, so a pending zoom change is given up (and its work item waited
// for: it uses the extension and the pipes), and then the USB blocks that
// initialization allocated (device and configuration descriptors, interface
// information) are released. The stream is closed by now (the stream class closes
// it before it uninitializes the adapter). Passive level; blocks until the zoom
// work item has ended.
BOOLEAN AdapterUnInitializeDevice(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;

  DubugMsg(2, "AdapterUnInitializeDevice\n");
  PropChangeShutdown(pHwDevExt);
  AdapterFreeUsbDescriptors(pHwDevExt);
  return TRUE;
}

// SRB_SURPRISE_REMOVAL: the camera is gone; resetting its port makes the bus end
// every transfer still pending on it. The reset's result does not matter. An
// adapter whose initialization never reached the USB device has no port to reset.
// A pending zoom change is given up: there is no camera left to move. Passive
// level; blocks until the bus has answered the reset and the zoom work item has
// ended.
BOOLEAN AdapterSurpriseRemoval(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = (PHW_DEVICE_EXTENSION)pSrb->HwDeviceExtension;

  DubugMsg(3, "AdapterSurpriseRemoval\n");
  if (pHwDevExt->pRealPhysicalDeviceObject != NULL)
    (void)QRNUSB_ResetPort(pHwDevExt->pRealPhysicalDeviceObject);
  PropChangeShutdown(pHwDevExt);
  DubugMsg(3, "AdapterSurpriseRemoval Completed\n");
  return TRUE;
}
