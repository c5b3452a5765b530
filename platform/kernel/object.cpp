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
  (void)ObjectType;
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
  t.objects.at(handle->second).references++;
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
