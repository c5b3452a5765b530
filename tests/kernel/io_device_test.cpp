// Driver and device objects, lookup by name, attachment stacks, file object
// references, and memory descriptor lists.
#include <cstring>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"
#include "tests/kernel/test_bus.h"
#include "tests/support/platform_test.h"

namespace {

class DeviceTest : public PlatformTest {};

// The debug channel's lookup: a named device is found (case-insensitively)
// with a referenced file object, its extension is zero-filled and holds what
// its driver put there; an absent name gives STATUS_OBJECT_NAME_NOT_FOUND.
TEST_F(DeviceTest, NamedDeviceIsFoundByName) {
  PDRIVER_OBJECT driver = platform::driver_create(u"\\Driver\\Debug");
  ASSERT_NE(driver, nullptr);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\QrnDebug");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 64, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  const UCHAR zeros[64] = {};
  EXPECT_EQ(std::memcmp(device->DeviceExtension, zeros, 64), 0);
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->DriverObject, driver);
  EXPECT_EQ(driver->DeviceObject, device);
  *static_cast<PVOID *>(device->DeviceExtension) = reinterpret_cast<PVOID>(0xABCD);

  UNICODE_STRING lookup;
  RtlInitUnicodeString(&lookup, u"\\device\\qrndebug");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT found = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&lookup, FILE_ALL_ACCESS, &file, &found), STATUS_SUCCESS);
  EXPECT_EQ(found, device);
  EXPECT_EQ(*static_cast<PVOID *>(found->DeviceExtension), reinterpret_cast<PVOID>(0xABCD));
  EXPECT_EQ(file->DeviceObject, device);
  EXPECT_EQ(device->ReferenceCount, 1);
  ObfDereferenceObject(file);
  EXPECT_EQ(device->ReferenceCount, 0);

  PDEVICE_OBJECT twin = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &twin),
            STATUS_OBJECT_NAME_COLLISION);
  IoDeleteDevice(device);
  EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &found), STATUS_OBJECT_NAME_NOT_FOUND);
  platform::driver_delete(driver);
}

// A device deleted while a file object is open on it stays valid until the
// file object is released, then is freed (no leak, no use after free).
TEST_F(DeviceTest, DeleteWaitsForFileObjects) {
  PDRIVER_OBJECT driver = platform::driver_create(u"\\Driver\\Debug");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Gone");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT found = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &found), STATUS_SUCCESS);
  size_t live = platform::devices_live();
  IoDeleteDevice(device);
  EXPECT_EQ(platform::devices_live(), live);
  EXPECT_EQ(found->Type, IO_TYPE_DEVICE); // still readable: the file object holds it
  ObDereferenceObject(file);
  EXPECT_EQ(platform::devices_live(), live - 1);
  platform::driver_delete(driver);
}

// Attaching builds a stack: AttachedDevice, StackSize + 1, the lookup
// answers the top; an unset MajorFunction fails requests.
TEST_F(DeviceTest, AttachmentStacks) {
  std::unique_ptr<TestBus> bus = TestBus::create(u"\\Device\\Pdo");
  PDEVICE_OBJECT filter = nullptr;
  ASSERT_EQ(IoCreateDevice(bus->driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter), STATUS_SUCCESS);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, bus->device), bus->device);
  EXPECT_EQ(bus->device->AttachedDevice, filter);
  EXPECT_EQ(filter->StackSize, 2);
  EXPECT_EQ(IoGetAttachedDevice(bus->device), filter);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Pdo");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT top = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
  EXPECT_EQ(top, filter);
  ObDereferenceObject(file);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0, filter, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 2);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP; // nobody handles it
  EXPECT_EQ(IofCallDriver(filter, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);

  IoDetachDevice(bus->device);
  EXPECT_EQ(bus->device->AttachedDevice, nullptr);
  IoDeleteDevice(filter);

  quiet_misuse();
  IoDetachDevice(bus->device); // nothing attached
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Device), 1u);
}

// Device misuse: deleted twice, deleted while attached, no driver object.
TEST_F(DeviceTest, MisuseIsReported) {
  quiet_misuse();
  std::unique_ptr<TestBus> bus = TestBus::create();
  PDEVICE_OBJECT upper = nullptr;
  ASSERT_EQ(IoCreateDevice(bus->driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
  IoAttachDeviceToDeviceStack(upper, bus->device);
  IoDeleteDevice(upper); // still attached
  EXPECT_EQ(bus->device->AttachedDevice, nullptr);
  IoDeleteDevice(upper);
  DRIVER_OBJECT fake{};
  PDEVICE_OBJECT none = nullptr;
  EXPECT_EQ(IoCreateDevice(&fake, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &none),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Device), 3u);
}

// Out of pool: creation fails cleanly.
TEST_F(DeviceTest, PoolFailures) {
  platform::pool_fail_tag(PoolTag("Drv "));
  EXPECT_EQ(platform::driver_create(u"\\Driver\\X"), nullptr);
  platform::pool_faults_clear();
  PDRIVER_OBJECT driver = platform::driver_create(u"\\Driver\\X");
  platform::pool_fail_tag(PoolTag("Dev "));
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_INSUFFICIENT_RESOURCES);
  platform::pool_faults_clear();
  platform::driver_delete(driver);
}

class MdlTest : public PlatformTest {};

// An MDL describes its buffer (page offset, byte count, virtual address)
// and, once built for nonpaged memory, maps to the buffer itself.
TEST_F(MdlTest, DescribesAndMapsItsBuffer) {
  auto *buffer = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 3 * PAGE_SIZE, PoolTag("Wdm ")));
  UCHAR *start = buffer + 100;
  PMDL mdl = IoAllocateMdl(start, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 2u * PAGE_SIZE);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), reinterpret_cast<ULONG_PTR>(start) % PAGE_SIZE);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(mdl->StartVa) % PAGE_SIZE, 0u);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);
  EXPECT_NE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
  IoFreeMdl(mdl);

  PIRP irp = IoAllocateIrp(1, FALSE);
  PMDL first = IoAllocateMdl(buffer, 10, FALSE, FALSE, irp);
  PMDL second = IoAllocateMdl(buffer + 10, 10, TRUE, FALSE, irp);
  EXPECT_EQ(irp->MdlAddress, first);
  EXPECT_EQ(first->Next, second);
  IoFreeMdl(second);
  IoFreeMdl(first);
  IoFreeIrp(irp);
  ExFreePool(buffer);
}

// MDL misuse and failures: unbuilt MDL mapped, freed twice, no pool.
TEST_F(MdlTest, MisuseAndFailures) {
  quiet_misuse();
  UCHAR buffer[64];
  PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  IoFreeMdl(mdl);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Mdl), 2u);
  platform::pool_fail_nth(1, PoolTag("Mdl "));
  EXPECT_EQ(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr), nullptr);
  EXPECT_EQ(IoAllocateMdl(buffer, 0x90000000u, FALSE, FALSE, nullptr), nullptr);
}

} // namespace
