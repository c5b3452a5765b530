// System work queues served by worker threads.
//
// Items are linked into their queue through WORK_QUEUE_ITEM::List. A worker
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

constexpr int kWorkersPerQueue[MaximumWorkQueue] = {2, 2, 1}; // critical, delayed, hyper-critical

struct WorkQueue {
  LIST_ENTRY items;              // queued items, oldest first
  std::condition_variable ready; // signalled when an item is queued or the workers must stop
};

// `lock` guards every field and every queue's item list.
struct WorkQueues {
  std::mutex lock;
  std::condition_variable idle; // signalled when `pending` drops to 0
  WorkQueue queues[MaximumWorkQueue];
  std::vector<std::thread> workers;
  size_t pending = 0;      // items queued or running
  bool started = false;    // workers exist for this generation
  uint64_t generation = 0; // workers of an older generation end
  bool stopping = false;   // workers end once their queue is empty

  WorkQueues() {
    for (WorkQueue &q : queues)
      InitializeListHead(&q.items);
  }
};

// Never destroyed: the exit guard stops the workers.
WorkQueues &work_queues() {
  static WorkQueues *instance = new WorkQueues;
  return *instance;
}

// Body of a worker thread serving queue `index`.
void run_worker(int index, uint64_t generation) {
  WorkQueues &w = work_queues();
  WorkQueue &queue = w.queues[index];
  std::unique_lock<std::mutex> hold(w.lock);
  for (;;) {
    queue.ready.wait(hold,
                     [&] { return !IsListEmpty(&queue.items) || w.stopping || w.generation != generation; });
    if (w.generation != generation || IsListEmpty(&queue.items))
      return;
    PLIST_ENTRY entry = RemoveHeadList(&queue.items);
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
void start_workers(WorkQueues &w) {
  w.started = true;
  w.stopping = false;
  ++w.generation;
  for (int index = 0; index < MaximumWorkQueue; ++index)
    for (int n = 0; n < kWorkersPerQueue[index]; ++n) {
      try {
        w.workers.emplace_back(run_worker, index, w.generation);
      } catch (const std::system_error &) {
        misuse_report(MisuseCategory::WorkItem, "no worker thread could be started");
      }
    }
}

// Stops the workers at process exit.
struct ExitGuard {
  ~ExitGuard() { platform::work_queues_shutdown(std::chrono::milliseconds(5000)); }
} exit_guard;

} // namespace
} // namespace platform::kernel

namespace platform {

bool work_queues_wait_idle(std::chrono::milliseconds timeout) {
  kernel::WorkQueues &w = kernel::work_queues();
  std::unique_lock<std::mutex> hold(w.lock);
  return w.idle.wait_for(hold, timeout, [&] { return w.pending == 0; });
}

size_t work_items_pending() {
  kernel::WorkQueues &w = kernel::work_queues();
  std::lock_guard<std::mutex> hold(w.lock);
  return w.pending;
}

bool work_queues_shutdown(std::chrono::milliseconds timeout) {
  kernel::WorkQueues &w = kernel::work_queues();
  std::vector<std::thread> workers;
  bool drained;
  {
    std::unique_lock<std::mutex> hold(w.lock);
    w.stopping = true;
    for (kernel::WorkQueue &q : w.queues)
      q.ready.notify_all();
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
  if (QueueType < CriticalWorkQueue || QueueType >= MaximumWorkQueue) {
    misuse_reportf(MisuseCategory::WorkItem, "ExQueueWorkItem: unknown queue type %d",
                   static_cast<int>(QueueType));
    return;
  }
  WorkQueues &w = work_queues();
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
  InsertTailList(&w.queues[QueueType].items, &WorkItem->List);
  ++w.pending;
  w.queues[QueueType].ready.notify_one();
}
