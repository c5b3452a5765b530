// Cost of the kernel services against the bare library primitives beneath
// them: pool blocks (guards, accounting) against malloc/free, spin locks
// (owner and IRQL bookkeeping) against std::mutex, a synchronization event
// set and consumed against a mutex/condition-variable flag. Each benchmark
// times both in the same run and reports the ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "platform/kernel/wdm.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 256;

// Times `ours` and `bare` over batches and reports the ratio ours / bare.
template <typename Ours, typename Bare> void compare(benchmark::State &state, Ours ours, Bare bare) {
  Clock::duration ours_time{}, bare_time{};
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < kBatch; ++i)
      ours();
    auto middle = Clock::now();
    for (int i = 0; i < kBatch; ++i)
      bare();
    ours_time += middle - start;
    bare_time += Clock::now() - middle;
  }
  double ours_ns = std::chrono::duration<double, std::nano>(ours_time).count();
  double bare_ns = std::chrono::duration<double, std::nano>(bare_time).count();
  double operations = static_cast<double>(state.iterations()) * kBatch;
  state.counters["ns_per_op"] = ours_ns / operations;
  state.counters["bare_ns_per_op"] = bare_ns / operations;
  state.counters["ratio"] = bare_ns > 0 ? ours_ns / bare_ns : 0;
}

void BM_PoolAllocFreeVsMalloc(benchmark::State &state) {
  compare(
      state,
      [] {
        void *p = ExAllocatePoolWithTag(NonPagedPool, 64, PoolTag("Bnch"));
        benchmark::DoNotOptimize(p);
        ExFreePool(p);
      },
      [] {
        void *p = std::malloc(64);
        benchmark::DoNotOptimize(p);
        std::free(p);
      });
}
BENCHMARK(BM_PoolAllocFreeVsMalloc);

void BM_SpinLockVsMutex(benchmark::State &state) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  std::mutex mutex;
  long counter = 0;
  compare(
      state,
      [&] {
        KIRQL old = KfAcquireSpinLock(&lock);
        ++counter;
        KfReleaseSpinLock(&lock, old);
      },
      [&] {
        std::lock_guard<std::mutex> hold(mutex);
        ++counter;
      });
  benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_SpinLockVsMutex);

void BM_EventSetConsumeVsConditionVariable(benchmark::State &state) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LARGE_INTEGER poll{};
  std::mutex mutex;
  std::condition_variable changed;
  bool flag = false;
  compare(
      state,
      [&] {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        benchmark::DoNotOptimize(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));
      },
      [&] {
        {
          std::lock_guard<std::mutex> hold(mutex);
          flag = true;
        }
        changed.notify_one();
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [&] { return flag; });
        flag = false;
      });
}
BENCHMARK(BM_EventSetConsumeVsConditionVariable);

} // namespace
