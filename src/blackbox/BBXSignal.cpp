#include "blackbox/BBXSignal.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXHandler.h"
#include "platform/diagnostics/FatalSignalChain.h"

namespace lumora {
namespace {

bool bbxSetDefaultAction(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  if (sigaction(signal, &action, nullptr) == 0) return true;
  BBXSDKLog("%s: Unable to set default handler for %d (%s)\n", "BBXSignalSafeRemoveHandlers", signal, strerror(errno));
  return false;
}

bool bbxHasHandler(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 ? action.sa_sigaction != nullptr : action.sa_handler != SIG_DFL;
}

void bbxWriteSignalSection(BBXFile* file, int signal, const siginfo_t* info, int savedErrno) {
  BBXFileWriteSectionStart(file, "signal");
  BBXFileWriteHashStart(file);
  if (info != nullptr) {
    BBXFileWriteHashEntryUint64(file, "number", static_cast<std::uint64_t>(info->si_signo));
    BBXFileWriteHashEntryUint64(file, "code", static_cast<std::uint32_t>(info->si_code));
    BBXFileWriteHashEntryUint64(file, "address", reinterpret_cast<std::uintptr_t>(info->si_addr));
    BBXFileWriteHashEntryString(file, "name", BBXSignalNameFromSignal(signal));
    BBXFileWriteHashEntryString(file, "code_name", BBXSignalCodeNameFromSignal(signal));
  }
  BBXFileWriteHashEntryUint64(file, "errno", static_cast<std::uint32_t>(savedErrno));
  BBXFileWriteHashEntryUint64(
      file, "time", static_cast<std::uint64_t>(platform::kernelWallNanosFromSignal() / 1'000'000'000));
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);
}

}  // namespace

const char* BBXSignalNameFromSignal(int signal) {
  switch (signal) {
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGABRT: return "SIGABRT";
    case SIGFPE: return "SIGFPE";
    case SIGBUS: return "SIGBUS";
    case SIGSEGV: return "SIGSEGV";
    case SIGSYS: return "SIGSYS";
    default: return "UNKNOWN";
  }
}

const char* BBXSignalCodeNameFromSignal(int signal) { return signal == SIGABRT ? "ABORT" : nullptr; }

void BBXSignalEnumerateHandledSignals(const std::function<void(int index, int signal)>& block) {
  for (std::size_t i = 0; i < kBBXHandledSignalCount; ++i) block(static_cast<int>(i), kBBXHandledSignals[i]);
}

void BBXSignalInitialize(BBXSignalContext* signal) {
  if (signal == nullptr) return;
  if (signal->path != nullptr && !BBXUnlinkIfExists(signal->path)) {
    BBXSDKLog("%s: Unable to reset the signal log file %s\n", __func__, strerror(errno));
  }
  // The platform's threads bring their own alternate stacks; a thread
  // without one gets the context's.
  BBXContext* context = BBXContextGet();
  signal->previousStack = stack_t{};
  signal->previousStack.ss_flags = SS_DISABLE;
  stack_t current{};
  if (context != nullptr && context->signalStack != nullptr && sigaltstack(nullptr, &current) == 0 &&
      (current.ss_flags & SS_DISABLE) != 0) {
    stack_t stack{};
    stack.ss_sp = context->signalStack;
    stack.ss_size = kBBXStackSize;
    if (sigaltstack(&stack, &signal->previousStack) != 0) {
      BBXSDKLog("%s: Unable to setup stack %s\n", "BBXSignalInstallAltStack", strerror(errno));
    }
  }
  for (std::size_t i = 0; i < kBBXHandledSignalCount; ++i) {
    signal->previousActions[i] = {};
    struct sigaction previous {};
    if (sigaction(kBBXHandledSignals[i], nullptr, &previous) != 0) {
      BBXSDKLog("%s: Unable to install handler for %d (%s)\n", __func__, kBBXHandledSignals[i], strerror(errno));
    } else if (bbxHasHandler(previous)) {
      signal->previousActions[i] = previous;
    }
  }
  if (!platform::addFatalSignalHandler(&BBXSignalHandler, kBBXHandledSignals)) {
    BBXSDKLog("%s: Unable to install handler for %d (%s)\n", __func__, 0, "the signal chain is full");
  }
}

void BBXSignalHandler(int signal, siginfo_t* info, void* context) {
  // A forked child's crash is not its parent's: it records nothing.
  if (!BBXContextIsOwnProcess()) return;
  const int savedErrno = errno;
  errno = 0;
  // The record takes the disk before any diagnostic line.
  BBXSDKLogHoldForCrash();
  BBXSDKLog("%s: Signal: %d\n", __func__, signal);
  if (reinterpret_cast<std::uintptr_t>(info) < kBBXMinimumValidAddress) info = nullptr;
  if (reinterpret_cast<std::uintptr_t>(context) < kBBXMinimumValidAddress) context = nullptr;
  BBXContext* crashContext = BBXContextGet();
  // Recorded whenever the context exists, also while start-up is still
  // finishing (the handler is installed before the context is protected).
  if (crashContext != nullptr) {
    if (BBXContextMarkAndCheckIfCrashed()) {
      // The first crash's record stands; returning lets the chain hand this
      // signal on once that record is done.
      BBXSDKLog("%s: Error: aborting signal handler because crash has already occurred", __func__);
    } else {
      BBXFile file;
      if (!BBXFileInitWithPath(&file, crashContext->signal.path, false)) {
        BBXSDKLog("%s: Unable to open signal file\n", __func__);
      } else {
        bbxWriteSignalSection(&file, signal, info, savedErrno);
        BBXHandler(&file, static_cast<pid_t>(syscall(SYS_gettid)), static_cast<const ucontext_t*>(context));
        BBXFileClose(&file);
      }
    }
  }
  BBXSDKLogReleaseAfterCrash();
  errno = savedErrno;
}

void BBXSignalSafeRemoveHandlers(bool includeAbort) {
  for (std::size_t i = includeAbort ? 0 : 1; i < kBBXHandledSignalCount; ++i) bbxSetDefaultAction(kBBXHandledSignals[i]);
}

bool BBXSignalSafeInstallPreexistingHandlers(const BBXSignalContext* signal) {
  BBXSignalSafeRemoveHandlers(true);
  if (signal == nullptr) return false;
  if ((signal->previousStack.ss_flags & SS_DISABLE) == 0 && signal->previousStack.ss_sp != nullptr &&
      sigaltstack(&signal->previousStack, nullptr) != 0) {
    BBXSDKLog("%s: Unable to setup stack %s\n", __func__, strerror(errno));
    return false;
  }
  bool restored = true;
  for (std::size_t i = 0; i < kBBXHandledSignalCount; ++i) {
    if (!bbxHasHandler(signal->previousActions[i])) continue;
    if (sigaction(kBBXHandledSignals[i], &signal->previousActions[i], nullptr) != 0) {
      BBXSDKLog("%s: Unable to install handler for %d (%s)\n", __func__, kBBXHandledSignals[i], strerror(errno));
      restored = false;
    }
  }
  return restored;
}

void BBXSignalCheckHandlers() {
  BBXContext* context = BBXContextGet();
  if (context != nullptr && context->debuggerAttached) return;
  for (int signal : kBBXHandledSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) {
      std::fputs("Unable to read signal handler\n", stderr);
      continue;
    }
    if (platform::fatalSignalHandlerInstalled(&BBXSignalHandler, signal)) continue;
    void* handler = (current.sa_flags & SA_SIGINFO) != 0 ? reinterpret_cast<void*>(current.sa_sigaction)
                                                         : reinterpret_cast<void*>(current.sa_handler);
    Dl_info info{};
    const char* name = dladdr(handler, &info) != 0 ? info.dli_sname : nullptr;
    std::fprintf(stderr,
                 "[Blackbox] The signal %s has a non-Blackbox handler (%s).  This will interfer with reporting.\n",
                 BBXSignalNameFromSignal(signal), name != nullptr ? name : "(null)");
  }
}

}  // namespace lumora
