// Driver objects, device objects with their names and attachment stacks,
// and file objects opened on named devices.
//
// A device object is one pool block (tag "Dev "): the DEVICE_OBJECT, its
// DEVOBJ_EXTENSION and the device extension. It is an object-manager object
// with one reference held from IoCreateDevice to IoDeleteDevice; each file
// object opened on it holds another, so a deleted device is freed when the
// last file object on it is released.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/kernel/control.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/io.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/pool.h"

namespace platform::kernel {
namespace {

constexpr ULONG kDriverTag = PoolTag("Drv ");
constexpr ULONG kDeviceTag = PoolTag("Dev ");
constexpr ULONG kFileTag = PoolTag("File");
constexpr size_t kAlign = 16;

constexpr size_t round_up(size_t n) {
  return (n + kAlign - 1) / kAlign * kAlign;
}

// `lock` guards the tables, every device's NextDevice, AttachedDevice,
// AttachedTo and ReferenceCount, and each driver's device list. Only the
// object manager's lock may be taken under it (pool calls, dereferences and
// misuse reports run after releasing it).
struct IoTables {
  std::mutex lock;
  std::unordered_set<PDRIVER_OBJECT> drivers;
  std::unordered_map<PDEVICE_OBJECT, std::u16string> devices; // live (not deleted) devices and their names
  std::unordered_map<std::u16string, PDEVICE_OBJECT> names;   // upper-cased name -> device
};

// Never destroyed.
IoTables &tables() {
  static IoTables *instance = new IoTables;
  return *instance;
}

// The name as a lookup key: the counted characters, letters upper-cased
// (object names compare without case).
std::u16string name_key(const UNICODE_STRING *name) {
  std::u16string key(name->Buffer, name->Length / sizeof(WCHAR));
  for (char16_t &c : key)
    if (c >= u'a' && c <= u'z')
      c = static_cast<char16_t>(c - (u'a' - u'A'));
  return key;
}

void destroy_device(void *object) {
  ExFreePool(object);
}

// Releases a file object: drops its reference on the device.
void destroy_file(void *object) {
  auto *file = static_cast<PFILE_OBJECT>(object);
  PDEVICE_OBJECT device = file->DeviceObject;
  {
    IoTables &t = tables();
    std::lock_guard<std::mutex> hold(t.lock);
    device->ReferenceCount--;
  }
  ExFreePool(file);
  ObDereferenceObject(device);
}

// Unlinks `device` from its driver's list. Lock held.
void unlink_from_driver(PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT *link = &device->DriverObject->DeviceObject; *link != nullptr;
       link = &(*link)->NextDevice)
    if (*link == device) {
      *link = device->NextDevice;
      break;
    }
  device->NextDevice = nullptr;
}

// The top of the stack `device` is in. Lock held.
PDEVICE_OBJECT top_of(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr)
    device = device->AttachedDevice;
  return device;
}

} // namespace

NTSTATUS dispatch_invalid_request(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace platform::kernel

namespace platform {

PDRIVER_OBJECT driver_create(const char16_t *name) {
  size_t chars = 0;
  while (name != nullptr && name[chars] != 0 && chars < 0x7FFE)
    ++chars;
  size_t name_offset = kernel::round_up(sizeof(DRIVER_OBJECT)) + kernel::round_up(sizeof(DRIVER_EXTENSION));
  size_t bytes = name_offset + (chars + 1) * sizeof(WCHAR);
  auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, bytes, kernel::kDriverTag));
  if (block == nullptr)
    return nullptr;
  std::memset(block, 0, bytes);
  auto *driver = reinterpret_cast<PDRIVER_OBJECT>(block);
  auto *extension = reinterpret_cast<PDRIVER_EXTENSION>(block + kernel::round_up(sizeof(DRIVER_OBJECT)));
  auto *text = reinterpret_cast<PWSTR>(block + name_offset);
  if (chars != 0)
    std::memcpy(text, name, chars * sizeof(WCHAR));
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
  driver->DriverExtension = extension;
  extension->DriverObject = driver;
  driver->DriverName.Buffer = text;
  driver->DriverName.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  driver->DriverName.MaximumLength = static_cast<USHORT>((chars + 1) * sizeof(WCHAR));
  for (PDRIVER_DISPATCH &routine : driver->MajorFunction)
    routine = kernel::dispatch_invalid_request;
  kernel::IoTables &t = kernel::tables();
  std::lock_guard<std::mutex> hold(t.lock);
  t.drivers.insert(driver);
  return driver;
}

void driver_delete(PDRIVER_OBJECT driver) {
  kernel::IoTables &t = kernel::tables();
  {
    std::lock_guard<std::mutex> hold(t.lock);
    if (t.drivers.erase(driver) == 0)
      driver = nullptr;
  }
  if (driver == nullptr) {
    misuse_report(MisuseCategory::Device, "driver_delete on an unknown driver object");
    return;
  }
  while (driver->DeviceObject != nullptr)
    IoDeleteDevice(driver->DeviceObject);
  ExFreePool(driver);
}

size_t devices_live() {
  return kernel::objects_live(kernel::ObjectKind::Device);
}

} // namespace platform

using namespace platform;
using namespace platform::kernel;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject) {
  IoTables &t = tables();
  {
    std::lock_guard<std::mutex> hold(t.lock);
    if (DriverObject == nullptr || t.drivers.count(DriverObject) == 0)
      DriverObject = nullptr;
  }
  if (DriverObject == nullptr || DeviceObject == nullptr) {
    misuse_report(MisuseCategory::Device, "IoCreateDevice without a driver object from driver_create");
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string key = DeviceName != nullptr ? name_key(DeviceName) : std::u16string();
  size_t extension_offset = round_up(sizeof(DEVICE_OBJECT)) + round_up(sizeof(DEVOBJ_EXTENSION));
  size_t bytes = extension_offset + DeviceExtensionSize;
  auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, bytes, kDeviceTag));
  if (block == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(block, 0, bytes);
  auto *device = reinterpret_cast<PDEVICE_OBJECT>(block);
  auto *devobj = reinterpret_cast<PDEVOBJ_EXTENSION>(block + round_up(sizeof(DEVICE_OBJECT)));
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(std::min<size_t>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize, 0xFFFF));
  device->DriverObject = DriverObject;
  device->Flags =
      DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (key.empty() ? 0 : DO_DEVICE_HAS_NAME);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize != 0 ? block + extension_offset : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceObjectExtension = devobj;
  devobj->Type = 13;
  devobj->Size = static_cast<USHORT>(sizeof(DEVOBJ_EXTENSION));
  devobj->DeviceObject = device;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    if (!key.empty() && t.names.count(key) != 0) {
      device = nullptr;
    } else {
      if (!key.empty())
        t.names[key] = device;
      t.devices[device] = key;
      device->NextDevice = DriverObject->DeviceObject;
      DriverObject->DeviceObject = device;
    }
  }
  if (device == nullptr) {
    ExFreePool(block);
    return STATUS_OBJECT_NAME_COLLISION;
  }
  object_insert(device, ObjectKind::Device, 1, destroy_device);
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  IoTables &t = tables();
  bool live;
  bool attached = false;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto found = t.devices.find(DeviceObject);
    live = found != t.devices.end();
    if (live) {
      if (!found->second.empty())
        t.names.erase(found->second);
      t.devices.erase(found);
      unlink_from_driver(DeviceObject);
      PDEVICE_OBJECT lower = DeviceObject->DeviceObjectExtension->AttachedTo;
      PDEVICE_OBJECT upper = DeviceObject->AttachedDevice;
      attached = lower != nullptr || upper != nullptr;
      // Unlink it anyway, so that no stack points at freed memory.
      if (lower != nullptr)
        lower->AttachedDevice = upper;
      if (upper != nullptr)
        upper->DeviceObjectExtension->AttachedTo = lower;
      DeviceObject->DeviceObjectExtension->AttachedTo = nullptr;
      DeviceObject->AttachedDevice = nullptr;
    }
  }
  if (!live) {
    misuse_reportf(MisuseCategory::Device, "IoDeleteDevice(%p): not a live device (deleted twice?)",
                   static_cast<void *>(DeviceObject));
    return;
  }
  if (attached)
    misuse_reportf(MisuseCategory::Device, "IoDeleteDevice(%p): still attached in a device stack",
                   static_cast<void *>(DeviceObject));
  ObDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  IoTables &t = tables();
  PDEVICE_OBJECT top = nullptr;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    if (t.devices.count(SourceDevice) != 0 && t.devices.count(TargetDevice) != 0 &&
        SourceDevice->DeviceObjectExtension->AttachedTo == nullptr &&
        SourceDevice->AttachedDevice == nullptr) {
      top = top_of(TargetDevice);
      if (top == SourceDevice) {
        top = nullptr;
      } else {
        top->AttachedDevice = SourceDevice;
        SourceDevice->DeviceObjectExtension->AttachedTo = top;
        SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
        SourceDevice->AlignmentRequirement =
            std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
      }
    }
  }
  if (top == nullptr)
    misuse_reportf(MisuseCategory::Device,
                   "IoAttachDeviceToDeviceStack(%p, %p): not two live, unattached devices",
                   static_cast<void *>(SourceDevice), static_cast<void *>(TargetDevice));
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  IoTables &t = tables();
  PDEVICE_OBJECT upper;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    upper = TargetDevice->AttachedDevice;
    if (upper != nullptr) {
      TargetDevice->AttachedDevice = nullptr;
      upper->DeviceObjectExtension->AttachedTo = nullptr;
    }
  }
  if (upper == nullptr)
    misuse_reportf(MisuseCategory::Device, "IoDetachDevice(%p): no device is attached to it",
                   static_cast<void *>(TargetDevice));
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject) {
  (void)DesiredAccess;
  if (ObjectName == nullptr || FileObject == nullptr || DeviceObject == nullptr) {
    misuse_report(MisuseCategory::Device, "IoGetDeviceObjectPointer with a NULL argument");
    return STATUS_INVALID_PARAMETER;
  }
  auto *file = static_cast<PFILE_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT), kFileTag));
  if (file == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(file, 0, sizeof(FILE_OBJECT));
  PDEVICE_OBJECT named = nullptr;
  PDEVICE_OBJECT top = nullptr;
  IoTables &t = tables();
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto found = t.names.find(name_key(ObjectName));
    if (found != t.names.end()) {
      named = found->second;
      top = top_of(named);
      named->ReferenceCount++;
      ObReferenceObject(named); // under the lock: a concurrent delete cannot free it first
    }
  }
  if (named == nullptr) {
    ExFreePool(file);
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  file->Type = IO_TYPE_FILE;
  file->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
  file->DeviceObject = named;
  object_insert(file, ObjectKind::File, 1, destroy_file);
  *FileObject = file;
  *DeviceObject = top;
  return STATUS_SUCCESS;
}
