// The kernel services the driver calls, under their kernel names: the one
// header driver code includes for them.
#pragma once

#include "platform/kernel/event.h"
#include "platform/kernel/io.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/list.h"
#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/rtl.h"
#include "platform/kernel/spinlock.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/time.h"
#include "platform/kernel/workitem.h"
