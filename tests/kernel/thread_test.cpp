// System threads, thread objects and their references, priorities.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel/control.h"
#include "platform/kernel/wdm.h"
#include "tests/support/platform_test.h"

namespace {

// What a test thread records and waits for.
struct ThreadContext {
  KEVENT go;      // notification: lets the routine finish
  KEVENT started; // notification: the routine runs
  PKTHREAD self = nullptr;
  KPRIORITY previous = -1;
  std::atomic<int> ran{0};
};

VOID test_routine(PVOID context) {
  auto *c = static_cast<ThreadContext *>(context);
  c->self = KeGetCurrentThread();
  c->previous = KeSetPriorityThread(c->self, LOW_REALTIME_PRIORITY);
  c->ran++;
  KeSetEvent(&c->started, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&c->go, Executive, KernelMode, FALSE, nullptr);
}

void init_context(ThreadContext &c) {
  KeInitializeEvent(&c.go, NotificationEvent, FALSE);
  KeInitializeEvent(&c.started, NotificationEvent, FALSE);
}

// Creates a thread running test_routine and returns a referenced object.
PKTHREAD start_referenced(ThreadContext &c) {
  HANDLE handle = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, test_routine, &c), STATUS_SUCCESS);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  return static_cast<PKTHREAD>(object);
}

class ThreadTest : public PlatformTest {};

// The transfer thread's life: create, reference by handle, close the
// handle, run, wait for the thread object, dereference; the object is the
// thread's own KeGetCurrentThread and priority changes are recorded.
TEST_F(ThreadTest, StartRunWaitAndRelease) {
  ThreadContext c;
  init_context(c);
  PKTHREAD thread = start_referenced(c);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&c.started, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(c.self, thread);
  EXPECT_EQ(c.previous, 8);
  EXPECT_EQ(KeQueryPriorityThread(thread), LOW_REALTIME_PRIORITY);
  EXPECT_EQ(thread->Header.Type, ThreadObject);

  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(platform::system_threads_live(), 1u);
  KeSetEvent(&c.go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  ObDereferenceObject(thread);
  EXPECT_TRUE(platform::system_threads_wait_all(std::chrono::seconds(10)));
  EXPECT_EQ(platform::system_threads_live(), 0u);
  EXPECT_EQ(c.ran.load(), 1);
}

// The creator may drop every reference before the thread ends; the object
// lives on until the thread's own reference goes (no use after free).
TEST_F(ThreadTest, CreatorReleasesFirst) {
  ThreadContext c;
  init_context(c);
  PKTHREAD thread = start_referenced(c);
  ObDereferenceObject(thread);
  KeWaitForSingleObject(&c.started, Executive, KernelMode, FALSE, nullptr);
  KeSetEvent(&c.go, IO_NO_INCREMENT, FALSE);
  EXPECT_TRUE(platform::system_threads_wait_all(std::chrono::seconds(10)));
  EXPECT_EQ(c.ran.load(), 1);
}

// ... or keep a reference long after the thread has ended.
TEST_F(ThreadTest, ThreadEndsFirst) {
  ThreadContext c;
  init_context(c);
  KeSetEvent(&c.go, IO_NO_INCREMENT, FALSE);
  PKTHREAD thread = start_referenced(c);
  EXPECT_TRUE(platform::system_threads_wait_all(std::chrono::seconds(10)));
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_NE(std::atomic_ref<BOOLEAN>(thread->Terminated).load(), 0);
  ObDereferenceObject(thread);
}

// A thread that cannot be created (no pool for its object) is refused
// cleanly and nothing runs.
TEST_F(ThreadTest, CreationFailure) {
  ThreadContext c;
  init_context(c);
  platform::pool_fail_tag(PoolTag("Thrd"));
  HANDLE handle = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, test_routine, &c),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(platform::system_threads_live(), 0u);
  EXPECT_EQ(c.ran.load(), 0);
}

// Threads the platform did not create still have a waitable object,
// signalled when they exit; references keep it valid.
TEST_F(ThreadTest, ForeignThreadsHaveObjects) {
  PKTHREAD mine = KeGetCurrentThread();
  EXPECT_EQ(mine, KeGetCurrentThread());
  PKTHREAD other = nullptr;
  KEVENT got;
  KeInitializeEvent(&got, NotificationEvent, FALSE);
  KEVENT leave;
  KeInitializeEvent(&leave, NotificationEvent, FALSE);
  std::thread t([&] {
    other = KeGetCurrentThread();
    ObReferenceObject(other);
    KeSetEvent(&got, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&leave, Executive, KernelMode, FALSE, nullptr);
  });
  KeWaitForSingleObject(&got, Executive, KernelMode, FALSE, nullptr);
  EXPECT_NE(other, mine);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(other, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&leave, IO_NO_INCREMENT, FALSE);
  t.join();
  EXPECT_EQ(KeWaitForSingleObject(other, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(other);
}

// Handle and reference misuse: unknown handle, type mismatch, one
// dereference too many, a priority out of range.
TEST_F(ThreadTest, HandleAndReferenceMisuse) {
  quiet_misuse();
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x12345)), STATUS_INVALID_HANDLE);
  PVOID object = nullptr;
  EXPECT_EQ(
      ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x12345), 0, nullptr, KernelMode, &object, nullptr),
      STATUS_INVALID_HANDLE);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Object), 2u);

  ThreadContext c;
  init_context(c);
  KeSetEvent(&c.go, IO_NO_INCREMENT, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, test_routine, &c), STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_TRUE(platform::system_threads_wait_all(std::chrono::seconds(10)));
  ObDereferenceObject(object);
  ObDereferenceObject(object); // one too many: the object is gone
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Object), 1u);

  PKTHREAD self = KeGetCurrentThread();
  KPRIORITY before = KeQueryPriorityThread(self);
  KeSetPriorityThread(self, 40);
  EXPECT_EQ(KeQueryPriorityThread(self), HIGH_PRIORITY);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Thread), 1u);
  KeSetPriorityThread(self, before);
}

// A routine that returns with a spin lock held is reported.
TEST_F(ThreadTest, RoutineReturningAtDispatchLevelIsReported) {
  quiet_misuse();
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  HANDLE handle = nullptr;
  ASSERT_EQ(
      PsCreateSystemThread(
          &handle, 0, nullptr, nullptr, nullptr, [](PVOID) { (void)KfAcquireSpinLock(&lock); }, nullptr),
      STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_TRUE(platform::system_threads_wait_all(std::chrono::seconds(10)));
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Irql), 1u);
  KeInitializeSpinLock(&lock);
}

} // namespace
