// dscam_soak: runs the random-fault run (camera faults, pool failures,
// surprise removals, controls, cancels) for as long as asked and reports
// every minute what it saw and how much memory the process holds. Fails
// (exit 1) when a promise broke, and (exit 2) when the resident set grew by
// more than 1 MiB after the first minute, the warm-up.
//
//   dscam_soak [--minutes M] [--seed S]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>
#include <unistd.h>

#include "platform/streamclass/host.h"
#include "tests/reliability/random_run.h"

namespace {

constexpr long long kGrowthLimit = 1024 * 1024;

struct SoakArgs {
  double minutes = 10;
  bool seed_given = false;
  uint64_t seed = 0;
};

void usage(FILE *out) {
  std::fprintf(out, "usage: dscam_soak [--minutes M] [--seed S]\n"
                    "  Runs the random-fault run for M minutes (default 10) with seed S (default: from\n"
                    "  DSCAM_SEED, else the clock), reports every minute, and fails when a promise\n"
                    "  broke (exit 1) or memory grew by more than 1 MiB after the first minute (exit 2).\n");
}

// Parses the command line; false (with a message) when it is not understood.
bool parse_args(int argc, char **argv, SoakArgs &args) {
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      std::exit(0);
    } else if (std::strcmp(argv[i], "--minutes") == 0 && has_value) {
      char *end = nullptr;
      args.minutes = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(args.minutes > 0)) {
        std::fprintf(stderr, "dscam_soak: --minutes wants a positive number\n");
        return false;
      }
    } else if (std::strcmp(argv[i], "--seed") == 0 && has_value) {
      char *end = nullptr;
      args.seed = std::strtoull(argv[++i], &end, 0);
      if (*end != '\0') {
        std::fprintf(stderr, "dscam_soak: --seed wants a number\n");
        return false;
      }
      args.seed_given = true;
    } else {
      std::fprintf(stderr, "dscam_soak: unknown argument %s\n", argv[i]);
      usage(stderr);
      return false;
    }
  }
  return true;
}

// The heap bytes in use (allocated and not freed), mapped chunks included.
long long heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long long>(info.uordblks + info.hblkhd);
}

// The resident set of this process in bytes (0 when /proc cannot be read).
// Free heap memory is given back to the system first, so that what the
// allocator keeps cached for threads that come and go does not count as
// growth.
long long resident_bytes() {
  malloc_trim(0);
  FILE *file = std::fopen("/proc/self/statm", "r");
  if (file == nullptr)
    return 0;
  long long size = 0;
  long long resident = 0;
  const int read = std::fscanf(file, "%lld %lld", &size, &resident);
  std::fclose(file);
  return read == 2 ? resident * sysconf(_SC_PAGESIZE) : 0;
}

} // namespace

int main(int argc, char **argv) {
  SoakArgs args;
  if (!parse_args(argc, argv, args))
    return 64;
  // One malloc arena: with one per thread that allocates at the same time,
  // each new arena adds about a megabyte of cached memory to the resident set
  // the first time the run's threads happen to overlap that much, which would
  // read as growth when nothing is kept.
  mallopt(M_ARENA_MAX, 1);
  streamclass::HostOptions host = streamclass::host_options();
  host.sync_wait_limit = rig::kWaitLimit;
  streamclass::set_host_options(host);

  reliability::RandomRunOptions options;
  options.seed = args.seed_given ? args.seed : reliability::random_run_seed();
  options.duration = std::chrono::milliseconds(static_cast<long long>(args.minutes * 60000));
  options.report_every = std::chrono::minutes(1);
  long long warm_rss = 0;
  long long peak_rss = 0;
  int minute = 0;
  options.report = [&](const reliability::RandomRunStats &stats) {
    const long long rss = resident_bytes();
    if (++minute == 1)
      warm_rss = rss;
    peak_rss = std::max(peak_rss, rss);
    std::printf("-- report %d: RSS %.1f MiB (%+.0f KiB since the first minute), heap in use %.1f MiB\n%s",
                minute, rss / 1048576.0, (rss - warm_rss) / 1024.0, heap_in_use() / 1048576.0,
                reliability::random_run_text(stats).c_str());
    std::fflush(stdout);
  };
  std::printf("dscam_soak: seed %llu (--seed %llu replays it), %.1f minute(s)\n",
              static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(options.seed),
              args.minutes);
  std::fflush(stdout);
  rig::Failures failures;
  reliability::random_run(options, failures);
  const long long end_rss = resident_bytes();
  int status = 0;
  if (!failures.empty()) {
    std::printf("FAILED: %zu broken promise(s), seed %llu:\n%s", failures.size(),
                static_cast<unsigned long long>(options.seed), failures.text().c_str());
    status = 1;
  }
  if (minute >= 2) {
    const long long growth = end_rss - warm_rss;
    std::printf(
        "RSS after warm-up %.1f MiB, at the end %.1f MiB, growth %+.0f KiB (limit 1024 KiB), peak %.1f MiB\n",
        warm_rss / 1048576.0, end_rss / 1048576.0, growth / 1024.0, peak_rss / 1048576.0);
    if (growth > kGrowthLimit && status == 0)
      status = 2;
  } else {
    std::printf("RSS %.1f MiB (the run was too short to judge growth after the first minute)\n",
                end_rss / 1048576.0);
  }
  std::printf("%s\n", status == 0 ? "PASSED" : "FAILED");
  return status;
}
