// The USB driver interface: pipe and interface records, USB request blocks (URBs), their
// function and status codes, the internal device-control codes that carry them to the bus
// driver, and the two library functions that build a select-configuration request.
//
// Records that hold handles or pointers take their natural size on this 64-bit host; their
// sizes are derived from the records (sizeof), never written as literals:
//   - `_URB_HEADER` is 24 bytes (Length, Function, Status, a device-handle pointer, UsbdFlags).
//   - `_URB_PIPE_REQUEST` is 40, `_URB_CONTROL_DESCRIPTOR_REQUEST` 136 and
//     `_URB_BULK_OR_INTERRUPT_TRANSFER` 128 bytes (24, 80 and 72 on a 32-bit platform).
//   - `USBD_PIPE_INFORMATION` is 24 bytes (20 on a 32-bit platform) and
//     `USBD_INTERFACE_INFORMATION` with its first pipe 48; the room for an interface with 16 pipes,
//     `USBD_INTERFACE_INFORMATION_SIZE(16)`, is 24 + 16 * 24 = 408 bytes (336 on a 32-bit platform).
#pragma once

#include "platform/kernel/ntdef.h"
#include "platform/usbbus/usb.h"

struct MDL;
using PMDL = MDL *;

// ---------------------------------------------------------------------------------------------
// Internal device-control codes (IRP_MJ_INTERNAL_DEVICE_CONTROL) of the USB bus driver.

// Argument1 of the next stack location is the URB.
#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x00220003
// Resets the device's upstream port; Argument1 is NULL.
#define IOCTL_INTERNAL_USB_RESET_PORT 0x00220007

// ---------------------------------------------------------------------------------------------
// URB function codes (`_URB_HEADER::Function`). The bus driver carries out those marked (*);
// every other code is refused with USBD_STATUS_INVALID_URB_FUNCTION.

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000 // (*)
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002 // (*)
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009 // (*)
#define URB_FUNCTION_ISOCH_TRANSFER 0x000A
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000B // (*)
#define URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE 0x000C
#define URB_FUNCTION_RESET_PIPE 0x001E // (*)
#define URB_FUNCTION_GET_CONFIGURATION 0x0026
#define URB_FUNCTION_GET_INTERFACE 0x0027
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x0030 // (*) same as RESET_PIPE
#define URB_FUNCTION_SYNC_RESET_PIPE 0x0031
#define URB_FUNCTION_SYNC_CLEAR_STALL 0x0032

// ---------------------------------------------------------------------------------------------
// USBD status codes (`_URB_HEADER::Status`): negative is an error. The bus driver maps each to an
// NT status for the request packet's IoStatus (usb_status.h).

using USBD_STATUS = LONG;

#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000L)
#define USBD_STATUS_CRC ((USBD_STATUS)0xC0000001L)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xC0000008L)
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xC000000CL)
#define USBD_STATUS_ENDPOINT_HALTED ((USBD_STATUS)0xC0000030L)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100L)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200L)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600L)
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0x80000900L)
#define USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0x80000F00L)
#define USBD_STATUS_BUFFER_TOO_SMALL ((USBD_STATUS)0xC0003000L)
#define USBD_STATUS_TIMEOUT ((USBD_STATUS)0xC0006000L)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0xC0007000L)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xC0010000L)

#define USBD_SUCCESS(status) ((USBD_STATUS)(status) >= 0)

// ---------------------------------------------------------------------------------------------
// Transfer flags (`_URB_BULK_OR_INTERRUPT_TRANSFER::TransferFlags`).

#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
#define USBD_SHORT_TRANSFER_OK 2

// Default and largest maximum transfer size of a pipe.
#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0x1000
#define USBD_MAXIMUM_TRANSFER_SIZE_LIMIT 0x10000

// ---------------------------------------------------------------------------------------------
// Pipes and interfaces.

using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

enum USBD_PIPE_TYPE : int32_t {
  UsbdPipeTypeControl = 0,
  UsbdPipeTypeIsochronous = 1,
  UsbdPipeTypeBulk = 2,
  UsbdPipeTypeInterrupt = 3,
};

// One pipe of a selected interface. The caller sets MaximumTransferSize before selecting the
// configuration; the bus driver fills the rest from the endpoint descriptor.
struct USBD_PIPE_INFORMATION {
  USHORT MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  USBD_PIPE_TYPE PipeType;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG MaximumTransferSize;
  ULONG PipeFlags;
};
using PUSBD_PIPE_INFORMATION = USBD_PIPE_INFORMATION *;

// One interface of a select-configuration request, followed by NumberOfPipes pipe records.
// Length is the size of the whole record with its pipes. The caller sets Length,
// InterfaceNumber, AlternateSetting and NumberOfPipes; the bus driver fills the rest.
struct USBD_INTERFACE_INFORMATION {
  USHORT Length;
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR Class;
  UCHAR SubClass;
  UCHAR Protocol;
  UCHAR Reserved;
  USBD_INTERFACE_HANDLE InterfaceHandle;
  ULONG NumberOfPipes;
  USBD_PIPE_INFORMATION Pipes[1];
};
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION *;

// Size of an interface information record with `pipes` pipes (an interface without endpoints
// takes only the part before Pipes).
constexpr size_t USBD_INTERFACE_INFORMATION_SIZE(size_t pipes) {
  return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
}

// An entry of the interface list given to USBD_CreateConfigurationRequestEx; the list ends with
// an entry whose InterfaceDescriptor is NULL.
struct USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
};
using PUSBD_INTERFACE_LIST_ENTRY = USBD_INTERFACE_LIST_ENTRY *;

// ---------------------------------------------------------------------------------------------
// USB request blocks. Every URB starts with `_URB_HEADER`; Length is the size of the request
// (for a select-configuration request: up to the end of its last interface information).

struct _URB;

struct _URB_HEADER {
  USHORT Length;
  USHORT Function;
  USBD_STATUS Status;
  PVOID UsbdDeviceHandle;
  ULONG UsbdFlags;
};

// Room the host controller may use while it owns the request.
struct _URB_HCD_AREA {
  PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION {
  _URB_HEADER Hdr;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor; // NULL: unconfigure the device
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;         // out
  USBD_INTERFACE_INFORMATION Interface;                  // the first of the interfaces, in order
};

// Reset pipe and abort pipe.
struct _URB_PIPE_REQUEST {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG Reserved;
};

// Get descriptor from device. TransferBufferLength: in, the room in the buffer; out, the bytes
// the device returned.
struct _URB_CONTROL_DESCRIPTOR_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG Reserved0;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL; // used instead of TransferBuffer when not NULL
  _URB *UrbLink;
  _URB_HCD_AREA hca;
  USHORT Reserved1;
  UCHAR Index;
  UCHAR DescriptorType;
  USHORT LanguageId;
  USHORT Reserved2;
};

// A bulk or interrupt transfer. TransferBufferLength: in, the bytes to move; out, the bytes
// moved. Direction from TransferFlags; a short IN transfer is an error unless
// USBD_SHORT_TRANSFER_OK is set.
struct _URB_BULK_OR_INTERRUPT_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL; // used instead of TransferBuffer when not NULL
  _URB *UrbLink;
  _URB_HCD_AREA hca;
};

struct _URB {
  union {
    _URB_HEADER UrbHeader;
    _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    _URB_PIPE_REQUEST UrbPipeRequest;
    _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
  };
};
using URB = _URB;
using PURB = URB *;

static_assert(sizeof(_URB_HEADER) == 24);
static_assert(sizeof(_URB_PIPE_REQUEST) == 40);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(USBD_INTERFACE_INFORMATION_SIZE(16) == 408);

// ---------------------------------------------------------------------------------------------
// Library functions.

// Finds, in the configuration, the first interface descriptor at or after StartPosition that
// matches every criterion not -1 (number, alternate setting, class, subclass, protocol).
// Walks the descriptors by bLength and never reads past wTotalLength; a descriptor shorter than
// two bytes or running past wTotalLength ends the walk; an interface descriptor shorter than 9
// bytes is not returned. Returns NULL when none matches.
// Any context; no allocation, no lock.
PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber, LONG AlternateSetting,
                                    LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

// Builds a select-configuration URB from non-paged pool (tag "USBD") holding one interface
// information per entry of InterfaceList, each with room for the pipes its interface
// descriptor announces (bNumEndpoints), and points each entry's Interface at its record. Each
// record's Length, InterfaceNumber, AlternateSetting and NumberOfPipes are set, every pipe's
// MaximumTransferSize is USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE. Returns NULL when the pool is
// exhausted, when an interface descriptor does not lie inside wTotalLength, or when the request
// would exceed 65535 bytes. The caller frees the URB with ExFreePool.
// Passive or dispatch level; no lock.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
