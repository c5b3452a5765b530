// Private to the IRP files (irp.cpp, irp_completion.cpp, irp_ioctl.cpp): the
// I/O manager's record of each IRP. Not for driver code, tests or other
// platform parts.
//
// The I/O manager keeps a record of each IRP outside its memory (so a freed
// or foreign IRP is never read to diagnose it): whether the pool block is
// the I/O manager's to free, and where the IRP is in its life:
//   Idle       allocated or initialised, or taken back by a completion
//              routine that returned STATUS_MORE_PROCESSING_REQUIRED
//   Sent       handed to a driver by IofCallDriver, not yet completed
//   Completing IofCompleteRequest is walking its stack locations
//   Completed  the walk reached the top; only freeing is left
// While a completion routine runs, other threads that free, send or
// complete the same IRP wait for that routine to return (a routine never
// waits), so that the routine's verdict decides whether they were legal.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/io.h"

namespace platform::kernel {

enum class IrpState { Idle, Sent, Completing, Completed };

struct IrpRecord {
  bool allocated = false;  // from IoAllocateIrp: IoFreeIrp frees the block
  bool io_manager = false; // from IoBuildDeviceIoControlRequest: finished and freed on completion
  size_t bytes = 0;        // size of the allocated block
  IrpState state = IrpState::Idle;
  uint64_t sends = 0;           // IofCallDriver calls so far
  uintptr_t routine_thread = 0; // thread running one of its completion routines, 0 if none
  bool free_requested = false;  // IoFreeIrp came while the IRP was being processed
};

// `lock` guards `irps`; only the misuse reporter's lock is taken under it
// (pool calls and routines run after releasing it). `routine_done` is
// signalled whenever a completion routine returns.
struct IrpTable {
  std::mutex lock;
  std::condition_variable routine_done;
  std::unordered_map<PIRP, IrpRecord> irps;
};

// The table of every live IRP. Never destroyed.
IrpTable &irp_table();

// The record of `irp`, after any completion routine of it running on
// another thread has returned; NULL for an IRP that is not live. `hold`
// holds the table's lock (released while waiting).
IrpRecord *irp_find_settled(IrpTable &t, std::unique_lock<std::mutex> &hold, PIRP irp);

// Writes a fresh IRP header: zeroes `zero_bytes`, sets the empty stack.
void irp_init_header(PIRP irp, USHORT packet_size, CCHAR stack_size, size_t zero_bytes);

// A new IRP of `stack_size` locations from the pool, recorded as allocated
// (IoFreeIrp frees it); NULL when memory is short. No lock held.
PIRP irp_allocate(CCHAR stack_size);

// Finishes a request built by IoBuildDeviceIoControlRequest once its
// completion walk reached the top (irp_ioctl.cpp): frees the IRP, then
// stores the status and sets the caller's event. The IRP's record is
// already gone; no lock held.
void finish_io_manager_request(PIRP irp);

} // namespace platform::kernel
