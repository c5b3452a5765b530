// Finding the debug device's message procedure.
#include "diag/debug_msg.h"

#include <cstring>

#include "platform/kernel/wdm.h"

static_assert(sizeof(PQRNDBG_MSG_PROC) == sizeof(PVOID), "the procedure is one pointer-sized word");

// Opens "\Device\QrnDebug", reads the first word of its extension and drops the
// file object again: the driver keeps no reference on the debug device.
// Passive level.
PQRNDBG_MSG_PROC QRNDBG_GetAddMsgProc() {
  UNICODE_STRING name;
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  PQRNDBG_MSG_PROC proc = nullptr;

  RtlInitUnicodeString(&name, u"\\Device\\QrnDebug");
  NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
  if (!NT_SUCCESS(status))
    return nullptr;
  // A device without an extension has no procedure to offer.
  if (device != nullptr && device->DeviceExtension != nullptr)
    std::memcpy(&proc, device->DeviceExtension, sizeof(proc));
  ObfDereferenceObject(file);
  return proc;
}
