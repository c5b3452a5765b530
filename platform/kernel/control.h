// The platform side of the kernel services: what tests, benchmarks and the
// tool use to watch and steer the kernel (pool accounting and fault
// injection, thread and work-queue quiescence, driver objects). The driver
// itself never includes this header.
//
// All functions are thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/kernel/io.h"
#include "platform/kernel/ntdef.h"

namespace platform {

// ---------------------------------------------------------------------------
// Pool accounting

// One live pool block.
struct PoolBlock {
  ULONG tag;
  size_t size;
  uint64_t sequence; // allocation number, increasing from 1
  const void *address;
};

// Counts for one tag, or for the whole pool (tag 0).
struct PoolCounts {
  size_t live_blocks = 0;
  size_t live_bytes = 0;
  size_t peak_bytes = 0;  // high-water mark of live_bytes since the last reset
  size_t peak_blocks = 0; // high-water mark of live_blocks since the last reset
  uint64_t allocations = 0;
  uint64_t frees = 0;
  uint64_t failed = 0; // allocations refused (fault injection or no memory)
};

// Counts over all tags.
PoolCounts pool_counts();

// Counts for one tag (all zero for a tag never used).
PoolCounts pool_tag_counts(ULONG tag);

// Live blocks allocated after allocation number `after_sequence`, oldest first.
std::vector<PoolBlock> pool_live_blocks_since(uint64_t after_sequence);

// Number of the last allocation made so far (0 before the first).
uint64_t pool_sequence();

// Restarts the high-water marks at the current live counts.
void pool_reset_peaks();

// The four tag characters as text ("Wdm "), unprintable ones as '.'.
std::string pool_tag_text(ULONG tag);

// ---------------------------------------------------------------------------
// Pool fault injection. Refused allocations return NULL and count as failed.
// All rules apply at once; an allocation fails when any rule says so.

// Fails the nth allocation from now (1 = the next one), counting only
// allocations of `tag` unless tag is 0; a single failure.
void pool_fail_nth(uint64_t nth, ULONG tag = 0);

// Fails every allocation of `tag` while on.
void pool_fail_tag(ULONG tag, bool on = true);

// After `after` more allocations (of `tag`, or of any tag when 0) have
// succeeded, fails each further one with probability `probability`, drawn
// from a generator seeded with `seed` (the same seed gives the same run).
void pool_fail_random(uint64_t after, double probability, uint64_t seed, ULONG tag = 0);

// Removes every fault-injection rule.
void pool_faults_clear();

// ---------------------------------------------------------------------------
// IRQL

// The calling thread's IRQL back to PASSIVE_LEVEL (after a test that misused
// it on purpose). Returns the level it was at.
KIRQL irql_reset_current();

// ---------------------------------------------------------------------------
// System threads

// Threads created by PsCreateSystemThread whose routine has not returned.
size_t system_threads_live();

// Waits until every system thread has ended (and been joined), at most
// `timeout`. Returns true when none is left. Blocks; PASSIVE_LEVEL. From a
// system thread (which would wait for itself) it is refused: reported as
// misuse, returns false at once.
bool system_threads_wait_all(std::chrono::milliseconds timeout);

// Live thread objects (system threads' objects still referenced).
size_t thread_objects_live();

// ---------------------------------------------------------------------------
// Work queues

// Waits until no work item is queued or running, at most `timeout`.
// Returns true when the queues are idle. Blocks. From a work item's routine
// (which would wait for itself) it is refused: reported as misuse, returns
// false at once.
bool work_queues_wait_idle(std::chrono::milliseconds timeout);

// Items queued or running now.
size_t work_items_pending();

// Stops the worker threads: waits (at most `timeout`) for the running and
// queued items, then ends the workers (joined when they drained in time, let
// go otherwise). The queue restarts on the next ExQueueWorkItem. Also runs
// at process exit. Returns whether the items drained in time. Blocks. From a
// work item's routine (a worker would join itself) it is refused: reported
// as misuse, returns false at once.
bool work_queues_shutdown(std::chrono::milliseconds timeout);

// ---------------------------------------------------------------------------
// Drivers and devices

// Creates a driver object named `name` (e.g. u"\\Driver\\usbbus") from the
// pool (tag "Drv "), with a driver extension and every MajorFunction set to
// a routine that fails the request with STATUS_INVALID_DEVICE_REQUEST.
// NULL when the pool fails.
PDRIVER_OBJECT driver_create(const char16_t *name);

// Deletes the driver's remaining devices and frees the driver object.
void driver_delete(PDRIVER_OBJECT driver);

// Number of device objects not yet freed.
size_t devices_live();

// IRPs allocated or initialised and not yet freed, and those being processed
// (sent, not yet completed).
size_t irps_live();
size_t irps_in_flight();

} // namespace platform
