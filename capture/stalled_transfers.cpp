// Waiting for whoever is in a camera exchange (the transfer thread, or a camera
// command holding CameraLockEvent) when the camera may not answer at all: a lost
// packet, a camera that stopped answering or a failed write keep a transfer
// waiting until its limit, longer than a stop should take. After a grace period the wait resets the bulk pipes; the bus then completes
// their pending transfers as cancelled, the exchange fails and its owner lets go.
#include "capture/capture.h"
#include "diag/debug_msg.h"
#include "usb/qrnusb.h"

namespace {

// Resets the camera's bulk IN and OUT pipes, which ends every transfer pending
// on them (and, in the camera, any reply in progress). Results do not matter: a
// camera that is gone has no transfers left. Passive level; blocks up to the
// control-request limit.
VOID CaptureResetBulkPipes(PHW_DEVICE_EXTENSION pHwDevExt) {
  PUSBD_INTERFACE_INFORMATION pInterface = pHwDevExt->pInterfaceInformation;
  PDEVICE_OBJECT pDeviceObject = pHwDevExt->pRealPhysicalDeviceObject;

  if (pInterface == NULL || pDeviceObject == NULL)
    return; // never configured: no transfer can be pending
  (void)QRNUSB_ResetPipe(pDeviceObject, pInterface->Pipes + pHwDevExt->InPipeIndex);
  (void)QRNUSB_ResetPipe(pDeviceObject, pInterface->Pipes + pHwDevExt->OutPipeIndex);
}

} // namespace

// Bounded waits for Object, with a reset of the bulk pipes after each one that
// times out. Passive level; blocks.
NTSTATUS VELTRA_WaitEndingStalledTransfers(PHW_DEVICE_EXTENSION pHwDevExt, PVOID Object) {
  LARGE_INTEGER Timeout;
  NTSTATUS Status;

  Timeout.QuadPart = CAPTURE_STOP_GRACE;
  Status = KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &Timeout);
  Timeout.QuadPart = CAPTURE_STOP_RETRY;
  while (Status == STATUS_TIMEOUT) {
    // The exchange waits for a camera that does not answer.
    DubugMsg(2, "VELTRA_WaitEndingStalledTransfers Reset Pipes\n");
    CaptureResetBulkPipes(pHwDevExt);
    Status = KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &Timeout);
  }
  return Status;
}
