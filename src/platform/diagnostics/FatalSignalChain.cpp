#include "platform/diagnostics/FatalSignalChain.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>

namespace platform {
namespace {

// How long a second crashing thread lets the first finish its handlers.
constexpr int kRunnerWaitSteps = 200;
constexpr long kRunnerWaitStepNs = 10'000'000;

// The handlers of each signal, in the order they were added; a slot is
// written before the count that makes it visible.
std::atomic<FatalSignalHandler> handlers[NSIG][kMaxFatalSignalHandlers];
std::atomic<std::size_t> handlerCounts[NSIG];

// What the dispatcher hands over to, per signal; written when the chain
// takes the signal (never while the dispatcher is the action installed for
// it), read by the dispatcher.
struct sigaction previousActions[NSIG];
bool taken[NSIG];
std::mutex addMutex;

// The thread that runs the handlers of this process's crash (0: none yet).
std::atomic<pid_t> runner{0};
std::atomic<bool> finished{false};

void dispatch(int signal, siginfo_t* info, void* context);

bool isDispatcher(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &dispatch;
}

bool isIgnored(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

// Puts back the action installed before the chain (the default one when
// `toDefault` or when there was none) and has the signal delivered again:
// a fault the kernel raised comes back by itself when the faulting
// instruction runs again; anything else is raised once more and arrives as
// soon as the dispatcher returns (the signal is blocked until then).
void handOver(int signal, const siginfo_t* info, bool toDefault) {
  struct sigaction action {};
  if (!toDefault && taken[signal]) {
    action = previousActions[signal];
  } else {
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
  }
  sigaction(signal, &action, nullptr);
  bool refaults = info != nullptr && info->si_code > 0 &&
                  (signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL);
  if (!refaults) raise(signal);
}

void dispatch(int signal, siginfo_t* info, void* context) {
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  pid_t first = 0;
  bool reentered = false;
  if (runner.compare_exchange_strong(first, self)) {
    for (std::size_t i = handlerCounts[signal].load(); i > 0; --i) {
      if (FatalSignalHandler handler = handlers[signal][i - 1].load()) handler(signal, info, context);
    }
    finished.store(true);
  } else if (first == self) {
    // A crash inside a handler (or an earlier action that leads back here):
    // the default action ends it.
    reentered = true;
  } else {
    // Another thread runs the handlers: let it finish before this signal
    // may end the process.
    for (int step = 0; step < kRunnerWaitSteps && !finished.load(); ++step) {
      timespec pause{0, kRunnerWaitStepNs};
      nanosleep(&pause, nullptr);
    }
  }
  handOver(signal, info, reentered);
}


}  // namespace

bool addFatalSignalHandler(FatalSignalHandler handler, std::span<const int> signals) {
  installAlternateSignalStack();
  bool added = true;
  std::lock_guard lock(addMutex);
  for (int signal : signals) {
    if (signal <= 0 || signal >= NSIG) continue;
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0 || isIgnored(current)) continue;
    std::size_t count = handlerCounts[signal].load();
    bool present = false;
    for (std::size_t i = 0; i < count; ++i) present = present || handlers[signal][i].load() == handler;
    if (!present) {
      if (count == kMaxFatalSignalHandlers) {
        added = false;
        continue;
      }
      handlers[signal][count].store(handler);
      handlerCounts[signal].store(count + 1);
    }
    if (isDispatcher(current)) continue;
    previousActions[signal] = current;
    taken[signal] = true;
    struct sigaction action {};
    action.sa_sigaction = &dispatch;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(signal, &action, nullptr);
  }
  return added;
}

bool fatalSignalHandlerInstalled(FatalSignalHandler handler, int signal) {
  if (signal <= 0 || signal >= NSIG) return false;
  struct sigaction current {};
  if (sigaction(signal, nullptr, &current) != 0 || !isDispatcher(current)) return false;
  for (std::size_t i = 0; i < handlerCounts[signal].load(); ++i) {
    if (handlers[signal][i].load() == handler) return true;
  }
  return false;
}

bool writeFromSignal(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

bool writeFromSignal(int fd, const FixedText& text) { return writeFromSignal(fd, text.text(), text.length()); }

std::int64_t kernelWallNanosFromSignal() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace platform
