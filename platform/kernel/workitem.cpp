// The delayed work queue served by worker threads.
//
// Items are linked into the queue through WORK_QUEUE_ITEM::List. A worker
// unlinks an item (clearing its link, so it can be queued again), calls the
// routine with no lock held, and never touches the item afterwards: the
// routine may free or requeue it.
#include "platform/kernel/workitem.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/kernel/control.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/misuse.h"

namespace platform::kernel {
namespace {

constexpr int kWorkers = 2;

// `lock` guards every field and the item list.
struct WorkQueue {
  std::mutex lock;
  std::condition_variable ready; // signalled when an item is queued or the workers must stop
  std::condition_variable idle;  // signalled when `pending` drops to 0
  LIST_ENTRY items;              // queued items, oldest first
  std::vector<std::thread> workers;
  size_t pending = 0;      // items queued or running
  bool started = false;    // workers exist for this generation
  uint64_t generation = 0; // workers of an older generation end
  bool stopping = false;   // workers end once the queue is empty

  WorkQueue() { InitializeListHead(&items); }
};

// Never destroyed: the exit guard stops the workers.
WorkQueue &work_queue() {
  static WorkQueue *instance = new WorkQueue;
  return *instance;
}

// Set on the worker threads, which must not wait for the queue they serve.
thread_local bool on_worker = false;

// Body of a worker thread.
void run_worker(uint64_t generation) {
  on_worker = true;
  WorkQueue &w = work_queue();
  std::unique_lock<std::mutex> hold(w.lock);
  for (;;) {
    w.ready.wait(hold, [&] { return !IsListEmpty(&w.items) || w.stopping || w.generation != generation; });
    if (w.generation != generation || IsListEmpty(&w.items))
      return;
    PLIST_ENTRY entry = RemoveHeadList(&w.items);
    entry->Flink = nullptr;
    PWORK_QUEUE_ITEM item = CONTAINING_RECORD(entry, WORK_QUEUE_ITEM, List);
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    PVOID parameter = item->Parameter;
    hold.unlock();
    routine(parameter);
    check_passive_after("a work item's routine");
    hold.lock();
    if (--w.pending == 0)
      w.idle.notify_all();
  }
}

// Starts the workers of a new generation. Lock held.
void start_workers(WorkQueue &w) {
  w.started = true;
  w.stopping = false;
  ++w.generation;
  for (int n = 0; n < kWorkers; ++n) {
    try {
      w.workers.emplace_back(run_worker, w.generation);
    } catch (const std::system_error &) {
      misuse_report(MisuseCategory::WorkItem, "no worker thread could be started");
    }
  }
}

// Refuses a wait for the queue on one of its own workers; reports `what`.
bool refused_on_worker(const char *what) {
  if (!on_worker)
    return false;
  misuse_reportf(MisuseCategory::WorkItem, "%s from a work item's routine (it would wait for itself)", what);
  return true;
}

// Stops the workers at process exit.
struct ExitGuard {
  ~ExitGuard() { platform::work_queues_shutdown(std::chrono::milliseconds(5000)); }
} exit_guard;

} // namespace
} // namespace platform::kernel

namespace platform {

bool work_queues_wait_idle(std::chrono::milliseconds timeout) {
  if (kernel::refused_on_worker("work_queues_wait_idle"))
    return false;
  kernel::WorkQueue &w = kernel::work_queue();
  std::unique_lock<std::mutex> hold(w.lock);
  return w.idle.wait_for(hold, timeout, [&] { return w.pending == 0; });
}

size_t work_items_pending() {
  kernel::WorkQueue &w = kernel::work_queue();
  std::lock_guard<std::mutex> hold(w.lock);
  return w.pending;
}

bool work_queues_shutdown(std::chrono::milliseconds timeout) {
  if (kernel::refused_on_worker("work_queues_shutdown"))
    return false;
  kernel::WorkQueue &w = kernel::work_queue();
  std::vector<std::thread> workers;
  bool drained;
  {
    std::unique_lock<std::mutex> hold(w.lock);
    w.stopping = true;
    w.ready.notify_all();
    drained = w.idle.wait_for(hold, timeout, [&] { return w.pending == 0; });
    workers.swap(w.workers);
    if (!drained)
      ++w.generation; // stuck workers end when their routine returns
  }
  for (std::thread &t : workers) {
    if (drained)
      t.join();
    else
      t.detach();
  }
  std::lock_guard<std::mutex> hold(w.lock);
  w.started = false;
  w.stopping = false;
  if (w.pending != 0) // queued after the workers had ended
    kernel::start_workers(w);
  return drained;
}

} // namespace platform

using namespace platform;
using namespace platform::kernel;

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  if (WorkItem == nullptr || WorkItem->WorkerRoutine == nullptr) {
    misuse_report(MisuseCategory::WorkItem, "ExQueueWorkItem: no item or no worker routine");
    return;
  }
  if (QueueType != DelayedWorkQueue) {
    misuse_reportf(MisuseCategory::WorkItem, "ExQueueWorkItem: unknown queue type %d",
                   static_cast<int>(QueueType));
    return;
  }
  WorkQueue &w = work_queue();
  std::unique_lock<std::mutex> hold(w.lock);
  if (WorkItem->List.Flink != nullptr) {
    hold.unlock();
    misuse_reportf(MisuseCategory::WorkItem,
                   "ExQueueWorkItem: item %p is still queued (or was never initialised)",
                   static_cast<void *>(WorkItem));
    return;
  }
  if (!w.started)
    start_workers(w);
  InsertTailList(&w.items, &WorkItem->List);
  ++w.pending;
  w.ready.notify_one();
}
