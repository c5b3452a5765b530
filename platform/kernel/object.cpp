// Object manager: reference counts of thread, file and device objects, and
// the handle table.
#include "platform/kernel/object.h"

#include <mutex>
#include <unordered_map>

#include "platform/kernel/internal.h"
#include "platform/kernel/misuse.h"

namespace platform::kernel {
namespace {

struct ObjectEntry {
  ObjectKind kind;
  LONG references;
  ObjectDestroy destroy;
};

// `lock` guards both tables and the handle counter; it is a leaf while held
// (destroy routines and misuse reports run after releasing it).
struct ObjectTable {
  std::mutex lock;
  std::unordered_map<void *, ObjectEntry> objects;
  std::unordered_map<uintptr_t, void *> handles;
  uintptr_t next_handle = 0x1000; // handle values are never reused
};

// Never destroyed: references may be dropped by threads alive at exit.
ObjectTable &table() {
  static ObjectTable *instance = new ObjectTable;
  return *instance;
}

OBJECT_TYPE thread_type{"Thread"};
OBJECT_TYPE file_type{"File"};
OBJECT_TYPE device_type{"Device"};
POBJECT_TYPE thread_type_pointer = &thread_type;
POBJECT_TYPE file_type_pointer = &file_type;
POBJECT_TYPE device_type_pointer = &device_type;

POBJECT_TYPE type_of(ObjectKind kind) {
  switch (kind) {
  case ObjectKind::Thread:
    return &thread_type;
  case ObjectKind::File:
    return &file_type;
  case ObjectKind::Device:
    break;
  }
  return &device_type;
}

} // namespace

void object_insert(void *object, ObjectKind kind, LONG references, ObjectDestroy destroy) {
  ObjectTable &t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  t.objects[object] = ObjectEntry{kind, references, destroy};
}

HANDLE handle_create(void *object) {
  ObjectTable &t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  auto found = t.objects.find(object);
  if (found == t.objects.end())
    return nullptr;
  found->second.references++;
  uintptr_t value = t.next_handle;
  t.next_handle += 4;
  t.handles[value] = object;
  return reinterpret_cast<HANDLE>(value);
}

size_t objects_live(ObjectKind kind) {
  ObjectTable &t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  size_t count = 0;
  for (const auto &[object, entry] : t.objects)
    count += entry.kind == kind ? 1 : 0;
  return count;
}

} // namespace platform::kernel

POBJECT_TYPE *PsThreadType = &platform::kernel::thread_type_pointer;
POBJECT_TYPE *IoFileObjectType = &platform::kernel::file_type_pointer;
POBJECT_TYPE *IoDeviceObjectType = &platform::kernel::device_type_pointer;

using namespace platform;
using namespace platform::kernel;

VOID ObfReferenceObject(PVOID Object) {
  ObjectTable &t = table();
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto found = t.objects.find(Object);
    if (found != t.objects.end()) {
      found->second.references++;
      return;
    }
  }
  misuse_reportf(MisuseCategory::Object, "ObReferenceObject(%p): not a live object", Object);
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  ObjectTable &t = table();
  std::unique_lock<std::mutex> hold(t.lock);
  auto found = t.objects.find(Object);
  if (found == t.objects.end()) {
    hold.unlock();
    misuse_reportf(MisuseCategory::Object, "ObDereferenceObject(%p): not a live object (no reference left)",
                   Object);
    return 0;
  }
  LONG left = --found->second.references;
  if (left > 0)
    return left;
  ObjectDestroy destroy = found->second.destroy;
  t.objects.erase(found);
  hold.unlock();
  if (destroy != nullptr)
    destroy(Object);
  return 0;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, PVOID ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object, PVOID HandleInformation) {
  (void)DesiredAccess;
  (void)AccessMode;
  (void)HandleInformation;
  ObjectTable &t = table();
  std::unique_lock<std::mutex> hold(t.lock);
  auto handle = t.handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (handle == t.handles.end()) {
    hold.unlock();
    misuse_reportf(MisuseCategory::Object, "ObReferenceObjectByHandle(%p): invalid handle", Handle);
    return STATUS_INVALID_HANDLE;
  }
  ObjectEntry &entry = t.objects.at(handle->second);
  if (ObjectType != nullptr && static_cast<POBJECT_TYPE>(ObjectType) != type_of(entry.kind))
    return STATUS_OBJECT_TYPE_MISMATCH;
  entry.references++;
  *Object = handle->second;
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
  ObjectTable &t = table();
  void *object;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto handle = t.handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (handle == t.handles.end()) {
      object = nullptr;
    } else {
      object = handle->second;
      t.handles.erase(handle);
    }
  }
  if (object == nullptr) {
    misuse_reportf(MisuseCategory::Object, "ZwClose(%p): invalid handle", Handle);
    return STATUS_INVALID_HANDLE;
  }
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}
