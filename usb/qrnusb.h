// The USB transport: the driver's small library over the USB bus driver.
//
// Synchronous control requests (usb_control.cpp): each sends one request to the bus driver and
// waits for it at most 3 seconds, so they may be called only where the caller can wait
// (passive level). Asynchronous bulk transfers (usb_bulk.cpp): QRNUSB_ReadWrite starts one
// transfer and reports its end through a callback, exactly once.
//
// Every function takes as its first argument the device object that receives the device's USB
// requests (the `pRealPhysicalDeviceObject` of the device extension). All memory allocated here
// is nonpaged pool with the tag "Wdm "; blocks returned through an out-argument belong to the
// caller, who frees them with ExFreePool.
#pragma once

#include "platform/kernel/wdm.h"
#include "platform/usbbus/usbdi.h"

// Pool tag of every block the transport allocates.
inline constexpr ULONG QRNUSB_POOL_TAG = PoolTag("Wdm ");

// Longest wait for a control request that the bus driver pended: 3 s, relative, in 100 ns.
inline constexpr LONGLONG QRNUSB_REQUEST_TIMEOUT = -30000000LL;

// The interface-information block handed to the caller of QRNUSB_SelectInterface: room for one
// interface with up to 16 pipes, derived from the records.
inline constexpr ULONG QRNUSB_MAX_PIPES = 16;
inline constexpr ULONG QRNUSB_INTERFACE_BLOCK_SIZE =
    static_cast<ULONG>(USBD_INTERFACE_INFORMATION_SIZE(QRNUSB_MAX_PIPES));

// Bytes asked for beyond the configuration descriptor's known length in each read pass.
inline constexpr USHORT QRNUSB_CONFIGURATION_SLACK = 512;

// The longest configuration descriptor that can be read: wTotalLength + the slack must fit in
// the request's 16-bit buffer length.
inline constexpr ULONG QRNUSB_MAX_CONFIGURATION_LENGTH = 0xFFFF - QRNUSB_CONFIGURATION_SLACK;

// A control request failed: a negative status, or the 3-second limit passed (STATUS_TIMEOUT is
// not negative, but nothing was done).
inline bool QRNUSB_FAILED(NTSTATUS status) {
  return !NT_SUCCESS(status) || status == STATUS_TIMEOUT;
}

// ---- The synchronous half: control requests ----

// Sends an internal device-control request (IoControlCode, Argument1 = Argument) to
// DeviceObject and waits at most 3 s for it. Returns STATUS_INSUFFICIENT_RESOURCES when no
// request packet can be built; the bus driver's status when it completed the request at once;
// the request's final status when it completed within the limit; STATUS_TIMEOUT when it did not
// (the request is then cancelled and waited for, so nothing of this call is touched later).
// Blocks; passive level.
NTSTATUS QRNUSB_InternalRequest(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID Argument);

// Submits a URB (IOCTL_INTERNAL_USB_SUBMIT_URB) and waits for it. Blocks; passive level.
NTSTATUS QRNUSB_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Resets the device's upstream port (IOCTL_INTERNAL_USB_RESET_PORT, argument NULL). Blocks.
NTSTATUS QRNUSB_ResetPort(PDEVICE_OBJECT DeviceObject);

// Sends a pipe request (Function, PipeHandle). Blocks; passive level.
NTSTATUS QRNUSB_PipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, USBD_PIPE_HANDLE PipeHandle);

// Resets the pipe (URB_FUNCTION_RESET_PIPE with its handle). Blocks; passive level.
NTSTATUS QRNUSB_ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInformation);

// Reads a descriptor from the device into Buffer (BufferLength bytes); *ReturnedLength gets the
// bytes transferred whatever the status (untouched when no URB can be allocated).
// Blocks; passive level.
NTSTATUS QRNUSB_GetDescriptorRequest(PDEVICE_OBJECT DeviceObject, UCHAR DescriptorType, UCHAR Index,
                                     USHORT LanguageId, USHORT BufferLength, PVOID Buffer,
                                     PULONG ReturnedLength);

// Allocates an 18-byte block, stores it in *DeviceDescriptor (the caller's, whatever the status)
// and reads the device descriptor into it. Blocks; passive level.
NTSTATUS QRNUSB_GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PUSB_DEVICE_DESCRIPTOR *DeviceDescriptor);

// Reads the whole configuration descriptor ConfigurationIndex into a new block stored in
// *ConfigurationDescriptor (the caller's, whatever the status): 521 bytes first, then
// wTotalLength + 512 when the configuration is longer. *ReturnedLength (optional) gets the bytes
// the last read returned. A wTotalLength above QRNUSB_MAX_CONFIGURATION_LENGTH is refused with
// STATUS_BUFFER_TOO_SMALL (the first block stays with the caller). Blocks; passive level.
NTSTATUS QRNUSB_GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR ConfigurationIndex,
                                           PUSB_CONFIGURATION_DESCRIPTOR *ConfigurationDescriptor,
                                           PULONG ReturnedLength);

// Selects the configuration with every interface that has alternate setting 0, sets the maximum
// transfer size of the first interface's pipes, and returns a copy of the first interface's
// information in a new QRNUSB_INTERFACE_BLOCK_SIZE block (*InterfaceInformation). The
// configuration descriptor must hold wTotalLength bytes. Blocks; passive level.
NTSTATUS QRNUSB_SelectInterface(PDEVICE_OBJECT DeviceObject,
                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                ULONG MaximumTransferSize, PUSBD_INTERFACE_INFORMATION *InterfaceInformation);

// Checks a configuration descriptor read from the device before anything walks it: the
// header (type 2, bLength >= 9, 9 <= wTotalLength <= Length, the bytes the device returned) and
// every descriptor inside wTotalLength (bLength >= 2 and inside; interface descriptors at least
// 9 bytes, endpoint descriptors at least 7). Logs the first fault (level 2) and returns
// STATUS_INVALID_PARAMETER for it, STATUS_SUCCESS for a sound descriptor. Any context.
NTSTATUS QRNUSB_CheckConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             ULONG Length);

// Logs one descriptor (level 2) and returns the length the dump assumed for it. The descriptor
// must hold at least that many bytes (QRNUSB_SelectInterface passes interface descriptors found
// inside the configuration). Any context.
ULONG DescriptorDump(PUSB_COMMON_DESCRIPTOR Descriptor);

// ---- The asynchronous half: bulk transfers ----

// Completion callback of a transfer: the caller's context, the bytes moved, the status (the
// URB's USBD status when the transfer ran, STATUS_INSUFFICIENT_RESOURCES when it could not be
// started). Called exactly once per QRNUSB_ReadWrite, possibly at DISPATCH_LEVEL on the bus
// driver's thread, possibly before QRNUSB_ReadWrite returns: it must not wait.
using QRNUSB_RW_CALLBACK = NTSTATUS (*)(PVOID Context, ULONG Length, NTSTATUS Status);

// The record of one transfer in flight, from QRNUSB_ReadWrite to its completion routine.
struct QRNUSB_RW_CONTEXT {
  PMDL Mdl;                               // describes the caller's buffer
  PURB Urb;                               // the bulk-transfer URB
  PIRP Irp;                               // the request packet
  ULONG Length;                           // bytes the caller asked to move
  LONG Completed;                         // set to 1 on entry to the completion routine
  PDEVICE_OBJECT DeviceObject;            // where the transfer is sent
  PUSBD_PIPE_INFORMATION PipeInformation; // the pipe of the transfer
  QRNUSB_RW_CALLBACK Callback;            // the caller's completion callback
  PVOID CallbackContext;                  // handed back to the callback unchanged
};
using PQRNUSB_RW_CONTEXT = QRNUSB_RW_CONTEXT *;

// Starts one bulk transfer of Length bytes of Buffer (nonpaged; valid until the callback) on the
// pipe: Direction non-zero reads from the device, zero writes to it. Returns
// STATUS_INSUFFICIENT_RESOURCES when a record could not be allocated (the callback has then run),
// otherwise what IofCallDriver returned (STATUS_PENDING or STATUS_SUCCESS as a rule). The outcome
// reaches the caller only through the callback. Does not wait; passive or dispatch level.
NTSTATUS QRNUSB_ReadWrite(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, ULONG Direction,
                          PUSBD_PIPE_INFORMATION PipeInformation, QRNUSB_RW_CALLBACK Callback,
                          PVOID CallbackContext);

// Builds the bulk-transfer URB for Mdl (its byte count) on PipeHandle; NULL when the pool fails.
PURB QRNUSB_BuildAsyncReadWriteRequest(PMDL Mdl, USBD_PIPE_HANDLE PipeHandle, ULONG Direction);

// Builds a request packet carrying Argument (the URB) with IoControlCode to DeviceObject, with
// one stack location more than the device needs; NULL when the pool fails.
PIRP QRNUSB_BuildAsyncInternalDeviceControlRequest(PDEVICE_OBJECT DeviceObject, PVOID Argument,
                                                   ULONG IoControlCode);

// The transfer's completion routine: releases the transfer's records and calls the callback.
// Always returns STATUS_MORE_PROCESSING_REQUIRED (the packet is freed here). Bus driver's
// completion context, possibly DISPATCH_LEVEL.
NTSTATUS QRNUSB_AsyncReadWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Releases, each when present: the request packet, the MDL, the URB, then the context itself.
VOID QRNUSB_ReadWriteFreeResources(PQRNUSB_RW_CONTEXT Context);
