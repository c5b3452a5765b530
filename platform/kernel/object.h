// Object manager: reference-counted kernel objects and handles.
//
// Thread objects, file objects and device objects are kept by reference
// counts. A handle (from PsCreateSystemThread) holds one reference until
// ZwClose; ObReferenceObjectByHandle adds one; ObDereferenceObject drops one
// and the object is destroyed with the last. Dereferencing an object that has
// no reference left, or a pointer that is no object, is reported as misuse.
// All functions are thread-safe and never block (beyond a short internal lock);
// any IRQL <= DISPATCH_LEVEL.
#pragma once

#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"

#ifndef THREAD_ALL_ACCESS
#define THREAD_ALL_ACCESS 0x001F03FFUL
#endif
#ifndef FILE_ALL_ACCESS
#define FILE_ALL_ACCESS 0x001F01FFUL
#endif

// Adds a reference to Object.
VOID ObfReferenceObject(PVOID Object);
inline VOID ObReferenceObject(PVOID Object) {
  ObfReferenceObject(Object);
}

// Drops a reference to Object (a thread, file or device object); the last
// one destroys it (a file object then drops its device's reference). Returns
// the references left (0 when the object is gone or was no object).
LONG_PTR ObfDereferenceObject(PVOID Object);
inline VOID ObDereferenceObject(PVOID Object) {
  (void)ObfDereferenceObject(Object);
}

// Looks up Handle and returns its object in *Object with a new reference.
// Unknown handle: STATUS_INVALID_HANDLE (reported as misuse). DesiredAccess,
// ObjectType, AccessMode and HandleInformation are accepted and not checked
// (kernel-mode callers are trusted; the platform exports no object types).
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, PVOID ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object, PVOID HandleInformation);

// Closes Handle, dropping its reference. Unknown handle: STATUS_INVALID_HANDLE
// (reported as misuse; a real kernel would stop).
NTSTATUS ZwClose(HANDLE Handle);
