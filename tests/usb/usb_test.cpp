// Fixture of the USB tests.
#include "tests/usb/usb_test.h"

#include <algorithm>

#include "platform/debugdev/debug_device.h"
#include "platform/kernel/control.h"

namespace usbtest {

bool TransferResult::wait() {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -50000000LL;
  return KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

NTSTATUS RecordTransfer(PVOID Context, ULONG Length, NTSTATUS Status) {
  auto result = static_cast<TransferResult *>(Context);
  DubugMsg(2, "TEST CALLBACK\n");
  // The I/O manager settles a packet freed inside its completion routine when the routine has
  // returned, so only the transport's own blocks and the MDL are counted here.
  size_t live = 0;
  for (const platform::PoolBlock &block : platform::pool_live_blocks_since(result->PoolBaseline))
    if (block.tag == PoolTag("Wdm ") || block.tag == PoolTag("Mdl "))
      ++live;
  result->LiveBlocksAtCallback = live;
  result->Bytes = Length;
  result->Status = Status;
  result->Thread = std::this_thread::get_id();
  result->Calls.fetch_add(1);
  KeSetEvent(&result->Done, 0, FALSE);
  return STATUS_SUCCESS;
}

void UsbTest::SetUp() {
  PlatformTest::SetUp();
  ASSERT_EQ(platform::debug_device_create(recorder_), STATUS_SUCCESS);
  StartDebugMsg();
}

void UsbTest::TearDown() {
  if (interface_ != nullptr)
    ExFreePool(interface_);
  bus_.reset();
  device_.reset();
  platform::debug_device_remove();
  gDebugMsgProc.store(nullptr);
  PlatformTest::TearDown();
}

void UsbTest::attach(emu::UsbIdentityVariant variant) {
  device_ = std::make_shared<emu::ScriptedUsbDevice>(variant);
  bus_ = std::make_unique<usbbus::UsbBus>(device_);
  ASSERT_NE(pdo(), nullptr);
}

void UsbTest::attach_model(std::shared_ptr<usbbus::UsbDeviceModel> model) {
  bus_ = std::make_unique<usbbus::UsbBus>(std::move(model));
  ASSERT_NE(pdo(), nullptr);
}

void UsbTest::configure() {
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ULONG length = 0;
  ASSERT_EQ(QRNUSB_GetConfigurationDescriptor(pdo(), 0, &config, &length), STATUS_SUCCESS);
  const NTSTATUS status = QRNUSB_SelectInterface(pdo(), config, 0x10000, &interface_);
  ExFreePool(config);
  ASSERT_EQ(status, STATUS_SUCCESS);
  recorder_->clear();
}

PUSBD_PIPE_INFORMATION UsbTest::pipe_of(UCHAR address) const {
  for (ULONG i = 0; i < interface_->NumberOfPipes; ++i)
    if (pipe(i)->EndpointAddress == address)
      return pipe(i);
  ADD_FAILURE() << "no pipe for endpoint " << static_cast<int>(address);
  return pipe(0);
}

size_t UsbTest::position(const std::string &message, size_t from) const {
  const auto lines = log();
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i] == message)
      return i;
  return std::string::npos;
}

size_t UsbTest::count(const std::string &message) const {
  const auto lines = log();
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), message));
}

} // namespace usbtest
