#include "tests/stream/stream_harness.h"

#include <atomic>
#include <cstring>

namespace streamharness {

namespace {

// SRB_INITIALIZE_DEVICE without a camera: the queues of the device extension as
// device initialization leaves them, and the size of the stream descriptor.
VOID HarnessInitializeDevice(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = static_cast<PHW_DEVICE_EXTENSION>(pSrb->HwDeviceExtension);

  InitializeListHead(&pHwDevExt->AdapterSRBList);
  KeInitializeSpinLock(&pHwDevExt->AdapterSpinLock);
  pHwDevExt->AdapterQueueInitialized = 1;
  for (ULONG n = 0; n < ADAPTER_STREAM_COUNT; n++) {
    InitializeListHead(&pHwDevExt->StreamControlSRBList[n]);
    pHwDevExt->ProcessingControlSRB[n] = 0;
    InitializeListHead(&pHwDevExt->StreamSRBList[n]);
    pHwDevExt->StreamSRBListSize[n] = 0;
    KeInitializeSpinLock(&pHwDevExt->StreamSRBSpinLock[n]);
  }
  pHwDevExt->ZoomValue = ZoomDefault;
  pSrb->CommandData.ConfigInfo->StreamDescriptorSize = StreamDescriptorSize;
}

// SRB_OPEN_STREAM as the adapter opens the stream, minus the transfer thread: the
// extension zero-filled, the format verified and stored, the stream's entry points
// and a copy of the open format's video info header.
VOID HarnessOpenStream(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_STREAM_OBJECT pObject = pSrb->StreamObject;
  PSTREAMEX pStrmEx = static_cast<PSTREAMEX>(pObject->HwStreamExtension);
  PHW_DEVICE_EXTENSION pHwDevExt = static_cast<PHW_DEVICE_EXTENSION>(pSrb->HwDeviceExtension);
  ULONG StreamNumber = pObject->StreamNumber;
  const KS_DATAFORMAT_VIDEOINFOHEADER *pFormat =
      reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(pSrb->CommandData.OpenFormat);

  RtlZeroMemory(pStrmEx, sizeof(STREAMEX));
  if (StreamNumber >= ADAPTER_STREAM_COUNT || !AdapterVerifyFormat(&pFormat->DataFormat, StreamNumber) ||
      !AdapterSetFormat(pSrb) || pHwDevExt->pStrmEx[StreamNumber] != NULL) {
    StreamFreeFormats(pStrmEx);
    pSrb->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  SIZE_T HeaderSize = KS_SIZE_VIDEOHEADER(&pFormat->VideoInfoHeader);
  pStrmEx->pVideoInfoHeader =
      static_cast<PKS_VIDEOINFOHEADER>(ExAllocatePoolWithTag(NonPagedPool, HeaderSize, PoolTag("Wdm ")));
  if (pStrmEx->pVideoInfoHeader == NULL) {
    StreamFreeFormats(pStrmEx);
    pSrb->Status = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  RtlCopyMemory(pStrmEx->pVideoInfoHeader, &pFormat->VideoInfoHeader, HeaderSize);
  pStrmEx->pHwDevExt = pHwDevExt;
  pStrmEx->pStreamObject = pObject;
  pStrmEx->StreamNumber = StreamNumber;
  pObject->ReceiveDataPacket = StreamReceiveDataPacket;
  pObject->ReceiveControlPacket = StreamReceiveCtrlPacket;
  pObject->Dma = FALSE;
  pObject->Pio = TRUE;
  pObject->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
  std::atomic_ref<PSTREAMEX>(pHwDevExt->pStrmEx[StreamNumber]).store(pStrmEx);
}

// SRB_CLOSE_STREAM as the adapter closes the stream: queued reads cancelled, the
// stream forgotten, its state and clock cleared, its format copies freed.
VOID HarnessCloseStream(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PSTREAMEX pStrmEx = static_cast<PSTREAMEX>(pSrb->StreamObject->HwStreamExtension);
  PHW_DEVICE_EXTENSION pHwDevExt = static_cast<PHW_DEVICE_EXTENSION>(pSrb->HwDeviceExtension);
  ULONG StreamNumber = pSrb->StreamObject->StreamNumber;

  if (std::atomic_ref<LONG>(pHwDevExt->StreamSRBListSize[StreamNumber]).load() > 0)
    QueueCancelAllSRBs(pStrmEx);
  std::atomic_ref<PSTREAMEX>(pHwDevExt->pStrmEx[StreamNumber]).store(nullptr);
  std::atomic_ref<HANDLE>(pStrmEx->hMasterClock).store(nullptr);
  std::atomic_ref<KSSTATE>(pStrmEx->KSState).store(KSSTATE_STOP);
  StreamFreeFormats(pStrmEx);
}

VOID HarnessReceivePacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
  pSrb->Status = STATUS_SUCCESS;
  switch (pSrb->Command) {
  case SRB_INITIALIZE_DEVICE:
    HarnessInitializeDevice(pSrb);
    break;
  case SRB_GET_STREAM_INFO:
    (void)AdapterGetStreamInfo(pSrb);
    break;
  case SRB_GET_DATA_INTERSECTION:
    (void)AdapterGetDataInterSection(pSrb);
    break;
  case SRB_OPEN_STREAM:
    HarnessOpenStream(pSrb);
    break;
  case SRB_CLOSE_STREAM:
    HarnessCloseStream(pSrb);
    break;
  case SRB_INITIALIZATION_COMPLETE:
  case SRB_UNINITIALIZE_DEVICE:
  case SRB_SURPRISE_REMOVAL:
  case SRB_CHANGE_POWER_STATE:
    break;
  default:
    pSrb->Status = STATUS_NOT_IMPLEMENTED;
    break;
  }
  StreamClassDeviceNotification(DeviceRequestComplete, pSrb->HwDeviceExtension, pSrb);
}

// The adapter's cancel: the open stream's read queue is asked for the request.
VOID HarnessCancelPacket(PHW_STREAM_REQUEST_BLOCK pSrb) {
  PHW_DEVICE_EXTENSION pHwDevExt = static_cast<PHW_DEVICE_EXTENSION>(pSrb->HwDeviceExtension);
  PSTREAMEX pStrmEx = std::atomic_ref<PSTREAMEX>(pHwDevExt->pStrmEx[0]).load();

  if (pStrmEx != NULL)
    (void)QueueCancelOneSRB(pStrmEx, pSrb);
}

VOID HarnessTimeout(PHW_STREAM_REQUEST_BLOCK) {}

} // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  HW_INITIALIZATION_DATA Data;

  RtlZeroMemory(&Data, sizeof(Data));
  Data.HwInitializationDataSize = sizeof(Data);
  Data.HwReceivePacket = HarnessReceivePacket;
  Data.HwCancelPacket = HarnessCancelPacket;
  Data.HwRequestTimeoutHandler = HarnessTimeout;
  Data.DeviceExtensionSize = sizeof(HW_DEVICE_EXTENSION);
  Data.PerRequestExtensionSize = sizeof(SRB_EXTENSION);
  Data.PerStreamExtensionSize = sizeof(STREAMEX);
  Data.BufferAlignment = 3;
  Data.TurnOffSynchronization = TRUE;
  return StreamClassRegisterAdapter(DriverObject, RegistryPath, &Data);
}

std::vector<uint8_t> format_from_range(const KS_DATARANGE_VIDEO &range) {
  KS_DATAFORMAT_VIDEOINFOHEADER format;
  std::memcpy(&format.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
  format.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  format.VideoInfoHeader = range.VideoInfoHeader;
  return bytes_of(format);
}

} // namespace streamharness

void StreamHost::SetUp() {
  HostTest::SetUp();
  log_ = std::make_unique<DebugLog>();
}

void StreamHost::release_host_objects() {
  pin_.reset();
  adapter_.reset();
  driver_.reset();
  pdo_.reset();
  log_.reset();
}

void StreamHost::start() {
  ASSERT_EQ(streamclass::load_driver(streamharness::DriverEntry, driver_, u"\\Driver\\StreamHarness"),
            STATUS_SUCCESS);
  pdo_ = std::make_unique<TestPdo>();
  ASSERT_EQ(driver_->start_device(pdo_->device(), adapter_), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->stream_info_status(), STATUS_SUCCESS);
}

void StreamHost::open_pin(std::vector<uint8_t> format) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (format.empty())
    format = streamharness::format_from_range(StreamFormatRGB24Bpp_Capture);
  ASSERT_EQ(adapter_->open_pin(0, format, pin_), STATUS_SUCCESS);
  log_->clear();
}
