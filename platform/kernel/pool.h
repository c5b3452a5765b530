// Pool memory: ExAllocatePoolWithTag / ExFreePool.
//
// Every block is its own heap allocation with guard bytes before and after
// it, accounted under its four-character tag. Freeing checks the guards and
// that the pointer is a live block; a double free, a foreign pointer or an
// overrun is reported as platform misuse (misuse.h), never absorbed silently.
// Accounting and fault injection are in control.h.
#pragma once

#include "platform/kernel/ntdef.h"

enum POOL_TYPE : int {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
};

// Packs four characters into a pool tag that reads as the text in memory
// (little-endian): PoolTag("Wdm ") == 0x206D6457.
constexpr ULONG PoolTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
         static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

// Allocates NumberOfBytes (0 allowed) of pool under Tag. Returns NULL when no
// memory is available or fault injection fails the allocation. The contents
// are not initialised (they hold a fill pattern, not zeros). Never blocks.
// Nonpaged pool: any IRQL <= DISPATCH_LEVEL; paged pool: below DISPATCH_LEVEL
// (a paged allocation at DISPATCH_LEVEL is reported as misuse).
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);

// Frees a block returned by ExAllocatePoolWithTag. Checks the guard bytes.
// A NULL, foreign or already freed pointer is reported as misuse and ignored.
// Never blocks; any IRQL <= DISPATCH_LEVEL.
VOID ExFreePool(PVOID P);
