// Driver entry: registration of the adapter with the stream class.
#include "adapter/adapter.h"
#include "diag/debug_msg.h"

// Fills the registration record (callbacks, record sizes, no interrupt, no DMA,
// unserialised requests) and registers it. The status of the registration is the
// driver's load status. Nothing else is set up here: the debug channel opens at
// device initialization, the adapter queue on the first adapter request.
// Called once by the loader; passive level.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  HW_INITIALIZATION_DATA HwInitData;

  DubugMsg(3, "DriverEntry    Arg1=0x%08X\n", DriverObject);

  RtlZeroMemory(&HwInitData, sizeof(HwInitData));
  HwInitData.HwInitializationDataSize = sizeof(HwInitData);
  HwInitData.HwInterrupt = NULL;
  HwInitData.HwReceivePacket = AdapterReceivePacket;
  HwInitData.HwCancelPacket = AdapterCancelPacket;
  HwInitData.HwRequestTimeoutHandler = AdapterRequestTimeoutHandler;
  HwInitData.DeviceExtensionSize = sizeof(HW_DEVICE_EXTENSION);
  HwInitData.PerRequestExtensionSize = sizeof(SRB_EXTENSION);
  HwInitData.PerStreamExtensionSize = sizeof(STREAMEX);
  HwInitData.FilterInstanceExtensionSize = 0;
  HwInitData.BusMasterDMA = FALSE;
  HwInitData.Dma24BitAddresses = FALSE;
  HwInitData.BufferAlignment = 3;
  // The driver serialises adapter requests and each stream's control requests
  // itself; the stream class passes every request on at once.
  HwInitData.TurnOffSynchronization = TRUE;
  HwInitData.DmaBufferSize = 0;
  HwInitData.NumNameExtensions = 0;
  HwInitData.NameExtensionArray = NULL;

  return StreamClassRegisterAdapter(DriverObject, RegistryPath, &HwInitData);
}
