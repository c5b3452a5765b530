// Interrupt request levels, tracked per thread.
//
// The platform has no interrupts; the IRQL is bookkeeping that lets it find
// code that waits or touches paged memory where a real kernel would not allow
// it. A thread starts at PASSIVE_LEVEL; holding a spin lock puts it at
// DISPATCH_LEVEL; the bus driver raises to DISPATCH_LEVEL around completion
// routines it runs on its own threads.
#pragma once

#include "platform/kernel/ntdef.h"

#ifndef APC_LEVEL
#define APC_LEVEL 1
#endif
#ifndef HIGH_LEVEL
#define HIGH_LEVEL 15
#endif

// The calling thread's IRQL. Any context.
KIRQL KeGetCurrentIrql();

// Raises the calling thread's IRQL to NewIrql and stores the old one.
// Raising to a lower level is misuse (reported; the level is still set).
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);

// Lowers the calling thread's IRQL to NewIrql (normally the value saved by
// KeRaiseIrql). Lowering to a higher level is misuse (reported; still set).
VOID KeLowerIrql(KIRQL NewIrql);
