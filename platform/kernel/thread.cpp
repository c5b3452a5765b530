// System threads, thread objects and priorities.
//
// A system thread's object comes from the pool (tag "Thrd") with two
// references: the running thread's own and the handle's. The thread signals
// the object when its routine returns, drops its reference, and hands its
// std::thread to the joiner list. Threads the platform did not create get an
// object (not from the pool) on their first KeGetCurrentThread, released
// when they exit.
#include "platform/kernel/thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/kernel/control.h"
#include "platform/kernel/internal.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/pool.h"

namespace platform::kernel {
namespace {

constexpr KPRIORITY kDefaultPriority = 8;
constexpr ULONG kThreadTag = PoolTag("Thrd");

// The system threads. `lock` guards every field; `changed` is signalled
// each time a thread ends.
struct SystemThreads {
  std::mutex lock;
  std::condition_variable changed;
  size_t live = 0; // routines not yet returned
  uint64_t next_serial = 1;
  std::unordered_map<uint64_t, std::thread> running; // not yet ended
  std::vector<std::thread> ended;                    // ended, to be joined
};

// Never destroyed: the exit guard below joins the threads.
SystemThreads &system_threads() {
  static SystemThreads *instance = new SystemThreads;
  return *instance;
}

// The calling thread's object; set at start for system threads, on first
// use for others.
thread_local PKTHREAD current_thread = nullptr;

// Releases a non-system thread's object when that thread exits.
struct ForeignThreadObject {
  PKTHREAD thread = nullptr;
  ~ForeignThreadObject() {
    if (thread == nullptr)
      return;
    // The main thread's objects at exit go before the static ones that may
    // still ask which thread this is.
    if (current_thread == thread)
      current_thread = nullptr;
    std::atomic_ref<BOOLEAN>(thread->Terminated).store(TRUE);
    dispatcher_signal_thread(thread);
    ObDereferenceObject(thread);
  }
};
thread_local ForeignThreadObject foreign_thread_object;

void destroy_foreign_thread(void *object) {
  delete static_cast<PETHREAD>(object);
}
void destroy_system_thread(void *object) {
  ExFreePool(object);
}

void init_thread_object(PKTHREAD thread, bool system) {
  std::memset(thread, 0, sizeof(ETHREAD));
  dispatcher_init_thread(thread);
  thread->Priority = kDefaultPriority;
  thread->BasePriority = kDefaultPriority;
  thread->SystemThread = system ? TRUE : FALSE;
}

// Joins threads that have ended. The caller is never among them: a thread
// is listed as ended only after its routine has returned, and it calls
// nothing that joins after that.
void join_ended() {
  std::vector<std::thread> ended;
  {
    SystemThreads &s = system_threads();
    std::lock_guard<std::mutex> hold(s.lock);
    ended.swap(s.ended);
  }
  for (std::thread &t : ended)
    t.join();
}

// Body of every system thread.
void run_system_thread(PKTHREAD thread, uint64_t serial) {
  current_thread = thread;
  std::atomic_ref<LONG>(thread->HostThreadId).store(static_cast<LONG>(gettid()));
  thread->StartRoutine(thread->StartContext);
  check_passive_after("a system thread's start routine");
  std::atomic_ref<BOOLEAN>(thread->Terminated).store(TRUE);
  dispatcher_signal_thread(thread);
  current_thread = nullptr;
  ObDereferenceObject(thread);

  SystemThreads &s = system_threads();
  std::lock_guard<std::mutex> hold(s.lock);
  auto self = s.running.find(serial);
  s.ended.push_back(std::move(self->second));
  s.running.erase(self);
  s.live--;
  s.changed.notify_all();
}

// At process exit: waits a little for system threads, joins the ended ones
// and lets any still running go (they end with the process).
struct ExitGuard {
  ~ExitGuard() {
    platform::system_threads_wait_all(std::chrono::milliseconds(5000));
    SystemThreads &s = system_threads();
    std::lock_guard<std::mutex> hold(s.lock);
    for (auto &[serial, t] : s.running)
      t.detach();
    s.running.clear();
  }
} exit_guard;

// Maps a kernel priority to a nice value for the host scheduler.
int nice_of(KPRIORITY priority) {
  return std::clamp(kDefaultPriority - priority, -10, 10);
}

} // namespace
} // namespace platform::kernel

namespace platform {

size_t system_threads_live() {
  kernel::SystemThreads &s = kernel::system_threads();
  std::lock_guard<std::mutex> hold(s.lock);
  return s.live;
}

bool system_threads_wait_all(std::chrono::milliseconds timeout) {
  // A system thread would wait for itself: its routine has not returned.
  if (kernel::current_thread != nullptr && kernel::current_thread->SystemThread) {
    misuse_report(MisuseCategory::Thread,
                  "system_threads_wait_all from a system thread (it would wait for itself)");
    return false;
  }
  kernel::SystemThreads &s = kernel::system_threads();
  bool none_left;
  {
    std::unique_lock<std::mutex> hold(s.lock);
    none_left = s.changed.wait_for(hold, timeout, [&] { return s.live == 0; });
  }
  kernel::join_ended();
  return none_left;
}

size_t thread_objects_live() {
  return kernel::objects_live(kernel::ObjectKind::Thread);
}

} // namespace platform

using namespace platform;
using namespace platform::kernel;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, PVOID ObjectAttributes,
                              HANDLE ProcessHandle, PVOID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  (void)DesiredAccess;
  (void)ObjectAttributes;
  (void)ProcessHandle;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    misuse_report(MisuseCategory::Irql, "PsCreateSystemThread above PASSIVE_LEVEL");
  if (ThreadHandle == nullptr || StartRoutine == nullptr) {
    misuse_report(MisuseCategory::Thread, "PsCreateSystemThread without a handle pointer or a start routine");
    return STATUS_INVALID_PARAMETER;
  }
  join_ended();
  auto *object = static_cast<PETHREAD>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ETHREAD), kThreadTag));
  if (object == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  PKTHREAD thread = &object->Tcb;
  init_thread_object(thread, true);
  thread->StartRoutine = StartRoutine;
  thread->StartContext = StartContext;
  object_insert(thread, ObjectKind::Thread, 1, destroy_system_thread); // the thread's own reference
  HANDLE handle = handle_create(thread);

  SystemThreads &s = system_threads();
  bool started = true;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    uint64_t serial = s.next_serial++;
    try {
      s.running.emplace(serial, std::thread(run_system_thread, thread, serial));
      s.live++;
    } catch (const std::system_error &) {
      started = false;
    }
  }
  if (!started) {
    ZwClose(handle);
    ObDereferenceObject(thread); // the reference the thread would have dropped
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (ClientId != nullptr) {
    auto *id = static_cast<PCLIENT_ID>(ClientId);
    id->UniqueProcess = reinterpret_cast<HANDLE>(4);
    id->UniqueThread = handle;
  }
  *ThreadHandle = handle;
  return STATUS_SUCCESS;
}

PKTHREAD KeGetCurrentThread() {
  if (current_thread != nullptr)
    return current_thread;
  auto *object = new ETHREAD;
  PKTHREAD thread = &object->Tcb;
  init_thread_object(thread, false);
  thread->HostThreadId = static_cast<LONG>(gettid());
  object_insert(thread, ObjectKind::Thread, 1, destroy_foreign_thread);
  foreign_thread_object.thread = thread;
  current_thread = thread;
  return thread;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY) {
    misuse_reportf(MisuseCategory::Thread, "KeSetPriorityThread(%p, %d): priority outside 0..31",
                   static_cast<void *>(Thread), static_cast<int>(Priority));
    Priority = std::clamp(Priority, LOW_PRIORITY, HIGH_PRIORITY);
  }
  KPRIORITY previous = std::atomic_ref<KPRIORITY>(Thread->Priority).exchange(Priority);
  // Only the calling thread's own scheduling is changed: another thread's
  // host id may already belong to a different thread.
  if (Thread == current_thread)
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice_of(Priority));
  return previous;
}
