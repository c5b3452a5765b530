// The cost of a typical level-4 message (formatted, then dropped by the level
// filter) through DubugMsg, against the same text through the C library's
// vsnprintf. The BM_DubugMsgVsVsnprintf benchmarks time both in one run,
// interleaved in batches, and report dubugmsg_ns, vsnprintf_ns and their ratio
// (target: at most 1.5).
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "diag/debug_msg.h"

namespace {

void *const kSrb = reinterpret_cast<void *>(0x00007F12345678A0ull);
const ULONG kSrbLow = static_cast<ULONG>(reinterpret_cast<uintptr_t>(kSrb));

// The C library's formatter with the same buffer size as DubugMsg's.
__attribute__((format(printf, 2, 3))) int vsnprintf_message(char *buffer, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, 512, format, args);
  va_end(args);
  return n;
}

// One message of each kind through either path.
void dubug_three(ULONG length) {
  DubugMsg(4, "StreamReceiveDataPacket %08X %08X %08X\n", kSrb, length, 0x10u);
}
void vsn_three(char *buffer, ULONG length) {
  vsnprintf_message(buffer, "StreamReceiveDataPacket %08X %08X %08X\n", kSrbLow, length, 0x10u);
}
void dubug_one(ULONG) {
  DubugMsg(4, "Remove Srb form Queue %08X \n", kSrb);
}
void vsn_one(char *buffer, ULONG) {
  vsnprintf_message(buffer, "Remove Srb form Queue %08X \n", kSrbLow);
}

void BM_DubugMsgLevel4(benchmark::State &state) {
  ULONG length = 0;
  for (auto _ : state)
    dubug_three(++length);
}
BENCHMARK(BM_DubugMsgLevel4);

void BM_VsnprintfSameText(benchmark::State &state) {
  char buffer[512];
  ULONG length = 0;
  for (auto _ : state) {
    vsn_three(buffer, ++length);
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_VsnprintfSameText);

// The calling thread's CPU time in nanoseconds: on a shared machine the wall
// clock also counts the time other processes run.
int64_t thread_cpu_ns() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Both paths in one benchmark: batches of each, alternately, timed apart in
// thread CPU time.
template <void (*Dubug)(ULONG), void (*Vsn)(char *, ULONG)> void BM_Ratio(benchmark::State &state) {
  constexpr ULONG kBatch = 256;
  char buffer[512];
  int64_t dubug_time = 0;
  int64_t vsn_time = 0;
  int64_t calls = 0;
  for (auto _ : state) {
    int64_t t0 = thread_cpu_ns();
    for (ULONG i = 0; i < kBatch; ++i)
      Dubug(i);
    int64_t t1 = thread_cpu_ns();
    for (ULONG i = 0; i < kBatch; ++i) {
      Vsn(buffer, i);
      benchmark::DoNotOptimize(buffer);
      benchmark::ClobberMemory();
    }
    int64_t t2 = thread_cpu_ns();
    dubug_time += t1 - t0;
    vsn_time += t2 - t1;
    calls += kBatch;
  }
  double dubug_ns = static_cast<double>(dubug_time) / static_cast<double>(calls);
  double vsn_ns = static_cast<double>(vsn_time) / static_cast<double>(calls);
  state.counters["dubugmsg_ns"] = dubug_ns;
  state.counters["vsnprintf_ns"] = vsn_ns;
  state.counters["ratio"] = dubug_ns / vsn_ns;
}
BENCHMARK_TEMPLATE(BM_Ratio, dubug_three, vsn_three)->Name("BM_DubugMsgVsVsnprintf/three_args");
BENCHMARK_TEMPLATE(BM_Ratio, dubug_one, vsn_one)->Name("BM_DubugMsgVsVsnprintf/one_arg");

} // namespace
