// The system work queue: routines run later on the platform's worker threads.
//
// The one queue the driver uses, the delayed work queue, is served by a
// small set of worker threads taking items in the order they were queued. A
// worker routine runs at PASSIVE_LEVEL and may block; it may free or requeue
// its own item (the worker does not touch the item after calling it).
// The platform side (waiting until idle, shut-down at exit) is in control.h.
#pragma once

#include "platform/kernel/list.h"
#include "platform/kernel/ntdef.h"

using PWORKER_THREAD_ROUTINE = VOID (*)(PVOID Parameter);

struct WORK_QUEUE_ITEM {
  LIST_ENTRY List; // link in the queue while queued; Flink NULL when not queued
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM *;

enum WORK_QUEUE_TYPE : int {
  DelayedWorkQueue = 1,
};

// Prepares an item: routine, parameter, not queued.
inline VOID ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter) {
  Item->List.Flink = nullptr;
  Item->List.Blink = nullptr;
  Item->WorkerRoutine = Routine;
  Item->Parameter = Parameter;
}

// Appends the item to the queue; a worker calls WorkerRoutine(Parameter).
// Never blocks; any IRQL <= DISPATCH_LEVEL. An item without routine, an item
// that is still queued, or a queue other than DelayedWorkQueue is reported as
// misuse and not queued. An item queued while the workers shut down still runs
// (the queue restarts for it).
VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);
