// Dispatcher objects and waits.
//
// Signal states live in the objects; waiters queue on wait channels: a fixed
// table of (mutex, FIFO of wait blocks) chosen by hashing the object's
// address. A channel's mutex guards the signal state of every object that
// hashes to it and the wait blocks queued there. A wait block lives on the
// waiter's stack with its own condition variable; the signaller marks it
// satisfied and removes it under the channel lock, so a satisfied waiter
// returns without touching the object again and a timed-out one removes its
// own block: no trace is left on the object either way.
// Lock order: a channel lock is a leaf (misuse reports are made after it).
#include "platform/kernel/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "platform/kernel/internal.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/time.h"

namespace platform::kernel {
namespace {

using Clock = std::chrono::steady_clock;
using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>; // 100 ns

constexpr ULONG kInitializedMagic = 0x4B444953; // "SIDK"
constexpr size_t kChannelCount = 64;
// Relative timeouts longer than this (about 10 years) wait forever.
constexpr int64_t kLongestTimeout = 10LL * 365 * 24 * 3600 * 10000000;

// A waiter queued on a channel.
struct WaitBlock {
  const DISPATCHER_HEADER *object;
  bool satisfied = false;       // guarded by the channel lock
  std::condition_variable wake; // signalled when `satisfied` is set
  WaitBlock *next = nullptr;    // channel FIFO, guarded by the channel lock
  WaitBlock *prev = nullptr;
};

struct WaitChannel {
  std::mutex lock; // guards the signal states of its objects and `head`/`tail`
  WaitBlock *head = nullptr;
  WaitBlock *tail = nullptr;
};

// Never destroyed: waits may still run on threads alive at exit.
WaitChannel &channel_of(const void *object) {
  static WaitChannel *channels = new WaitChannel[kChannelCount];
  auto key = reinterpret_cast<uintptr_t>(object);
  key = (key >> 4) * 0x9E3779B97F4A7C15ull;
  return channels[key >> 58];
}
static_assert(kChannelCount == 64, "channel_of takes the top 6 bits");

void enqueue(WaitChannel &channel, WaitBlock *block) {
  block->prev = channel.tail;
  block->next = nullptr;
  if (channel.tail != nullptr)
    channel.tail->next = block;
  else
    channel.head = block;
  channel.tail = block;
}

void dequeue(WaitChannel &channel, WaitBlock *block) {
  (block->prev != nullptr ? block->prev->next : channel.head) = block->next;
  (block->next != nullptr ? block->next->prev : channel.tail) = block->prev;
  block->next = block->prev = nullptr;
}

// Releases the first waiter (or all waiters) of `object`. Returns how many
// were released. Channel lock held.
int release_waiters(WaitChannel &channel, const DISPATCHER_HEADER *object, bool all) {
  int released = 0;
  for (WaitBlock *block = channel.head; block != nullptr;) {
    WaitBlock *next = block->next;
    if (block->object == object) {
      dequeue(channel, block);
      block->satisfied = true;
      block->wake.notify_one();
      ++released;
      if (!all)
        break;
    }
    block = next;
  }
  return released;
}

bool has_waiters(const WaitChannel &channel, const DISPATCHER_HEADER *object) {
  for (const WaitBlock *block = channel.head; block != nullptr; block = block->next)
    if (block->object == object)
      return true;
  return false;
}

// The deadline a timeout stands for; nullopt = wait forever.
std::optional<Clock::time_point> deadline_of(const LARGE_INTEGER *timeout) {
  Clock::time_point now = Clock::now();
  if (timeout == nullptr)
    return std::nullopt;
  int64_t value = timeout->QuadPart;
  int64_t ticks;
  if (value <= 0) {
    ticks = value == INT64_MIN ? INT64_MAX : -value;
  } else {
    LARGE_INTEGER system_now;
    KeQuerySystemTime(&system_now);
    ticks = value > system_now.QuadPart ? value - system_now.QuadPart : 0;
  }
  if (ticks > kLongestTimeout)
    return std::nullopt;
  return now + std::chrono::duration_cast<Clock::duration>(Ticks(ticks));
}

// True when `event` holds an initialised event. Channel lock held.
bool is_event(const KEVENT *event) {
  return event->Header.Initialized == kInitializedMagic &&
         (event->Header.Type == EventNotificationObject || event->Header.Type == EventSynchronizationObject);
}

void report_not_event(const KEVENT *event, const char *caller) {
  if (event == nullptr)
    misuse_reportf(MisuseCategory::Wait, "%s(NULL)", caller);
  else
    misuse_reportf(MisuseCategory::Wait, "%s on %p, which is no initialised event", caller,
                   static_cast<const void *>(event));
}

// Runs `change(header)` on an event under its channel lock and returns its
// result; reports `caller` and returns 0 when `event` is no event.
template <typename Change> LONG with_event(PKEVENT event, const char *caller, Change change) {
  if (event != nullptr) {
    WaitChannel &channel = channel_of(event);
    std::unique_lock<std::mutex> hold(channel.lock);
    if (is_event(event))
      return change(channel, event->Header);
  }
  report_not_event(event, caller);
  return 0;
}

// Waits on `header` (channel lock held through `hold`) until it is signalled
// or the deadline passes. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS wait_signalled(WaitChannel &channel, std::unique_lock<std::mutex> &hold, DISPATCHER_HEADER &header,
                        const std::optional<Clock::time_point> &deadline) {
  if (header.SignalState > 0) {
    if (header.Type == EventSynchronizationObject)
      header.SignalState = 0;
    return STATUS_SUCCESS;
  }
  if (deadline && *deadline <= Clock::now())
    return STATUS_TIMEOUT;
  WaitBlock block;
  block.object = &header;
  enqueue(channel, &block);
  while (!block.satisfied) {
    if (!deadline) {
      block.wake.wait(hold);
    } else if (block.wake.wait_until(hold, *deadline) == std::cv_status::timeout && !block.satisfied) {
      dequeue(channel, &block);
      return STATUS_TIMEOUT;
    }
  }
  return STATUS_SUCCESS;
}

} // namespace

void dispatcher_init_thread(PKTHREAD thread) {
  WaitChannel &channel = channel_of(thread);
  std::lock_guard<std::mutex> hold(channel.lock);
  thread->Header.Type = ThreadObject;
  thread->Header.Size = static_cast<UCHAR>(sizeof(KTHREAD) / sizeof(LONG));
  thread->Header.SignalState = 0;
  thread->Header.Initialized = kInitializedMagic;
}

void dispatcher_signal_thread(PKTHREAD thread) {
  WaitChannel &channel = channel_of(thread);
  std::lock_guard<std::mutex> hold(channel.lock);
  thread->Header.SignalState = 1;
  release_waiters(channel, &thread->Header, true);
}

} // namespace platform::kernel

using namespace platform;
using namespace platform::kernel;

VOID KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  WaitChannel &channel = channel_of(Event);
  bool waited_on;
  {
    std::lock_guard<std::mutex> hold(channel.lock);
    waited_on = has_waiters(channel, &Event->Header);
    Event->Header.Type = Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
    Event->Header.Absolute = 0;
    Event->Header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.Initialized = kInitializedMagic;
    Event->Header.Reserved = 0;
  }
  if (waited_on)
    misuse_reportf(MisuseCategory::Wait, "KeInitializeEvent on %p while threads wait on it",
                   static_cast<void *>(Event));
}

LONG KeSetEvent(PKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  return with_event(Event, "KeSetEvent", [](WaitChannel &channel, DISPATCHER_HEADER &header) {
    LONG previous = header.SignalState;
    if (header.Type == EventSynchronizationObject) {
      // One waiter takes the signal directly; without one the event stays set.
      if (release_waiters(channel, &header, false) == 0)
        header.SignalState = 1;
    } else {
      header.SignalState = 1;
      release_waiters(channel, &header, true);
    }
    return previous;
  });
}

LONG KeResetEvent(PKEVENT Event) {
  return with_event(Event, "KeResetEvent", [](WaitChannel &, DISPATCHER_HEADER &header) {
    LONG previous = header.SignalState;
    header.SignalState = 0;
    return previous;
  });
}

VOID KeClearEvent(PKEVENT Event) {
  (void)with_event(Event, "KeClearEvent", [](WaitChannel &, DISPATCHER_HEADER &header) {
    header.SignalState = 0;
    return LONG{0};
  });
}

LONG KeReadStateEvent(PKEVENT Event) {
  return with_event(Event, "KeReadStateEvent",
                    [](WaitChannel &, DISPATCHER_HEADER &header) { return header.SignalState; });
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL && (Timeout == nullptr || Timeout->QuadPart != 0))
    misuse_reportf(MisuseCategory::Irql, "KeWaitForSingleObject(%p) with a timeout at IRQL %u", Object,
                   static_cast<unsigned>(KeGetCurrentIrql()));
  if (Object == nullptr) {
    misuse_report(MisuseCategory::Wait, "KeWaitForSingleObject(NULL)");
    return STATUS_INVALID_PARAMETER;
  }
  auto &header = *static_cast<DISPATCHER_HEADER *>(Object);
  std::optional<Clock::time_point> deadline = deadline_of(Timeout);
  WaitChannel &channel = channel_of(Object);
  std::unique_lock<std::mutex> hold(channel.lock);
  if (header.Initialized != kInitializedMagic ||
      (header.Type != EventNotificationObject && header.Type != EventSynchronizationObject &&
       header.Type != ThreadObject)) {
    hold.unlock();
    misuse_reportf(MisuseCategory::Wait,
                   "KeWaitForSingleObject on %p, which is no initialised waitable object", Object);
    return STATUS_INVALID_PARAMETER;
  }
  return wait_signalled(channel, hold, header, deadline);
}
