// The signal watch: one thread that takes SIGINT, SIGTERM and its own stop
// signal with sigwait.
#include "tools/dscam/signals.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

#include "tools/dscam/exit_codes.h"

namespace dscam {
namespace {

// The stop signal of the watching thread.
constexpr int kStopSignal = SIGUSR1;

sigset_t watched_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, kStopSignal);
  return set;
}

} // namespace

SignalWatch::SignalWatch(Wakeup &wakeup) : wakeup_(wakeup) {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t set = watched_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  started_ = pthread_create(
                 &thread_, nullptr,
                 [](void *self) -> void * {
                   static_cast<SignalWatch *>(self)->watch();
                   return nullptr;
                 },
                 this) == 0;
}

SignalWatch::~SignalWatch() {
  if (started_) {
    pthread_kill(thread_, kStopSignal);
    pthread_join(thread_, nullptr);
  }
}

// The watching thread: records the first signal and rings the main loop; a
// third, or a second that came more than kRepeatWindow after the first, ends
// the process at once.
void SignalWatch::watch() {
  constexpr std::chrono::seconds kRepeatWindow{1};
  const sigset_t set = watched_signals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0 || signal == kStopSignal)
      return;
    const auto now = std::chrono::steady_clock::now();
    if (++count_ == 1) {
      first_ = now;
      caught_.store(signal);
    } else if (count_ >= 3 || now - first_ > kRepeatWindow) {
      static const char kMessage[] = "dscam: interrupted again, exiting at once\n";
      (void)!write(STDERR_FILENO, kMessage, sizeof(kMessage) - 1);
      _exit(signal == SIGTERM ? kExitTerminated : kExitInterrupted);
    }
    wakeup_.ring();
  }
}

} // namespace dscam
