// The process's one chain of fatal-signal handlers. Each kit that records a
// crash (the statistics kit's crash catcher, the crash reporter) adds its
// handler here instead of calling sigaction itself, so neither replaces the
// other: for a signal, the chain's dispatcher calls every handler added for
// it, the last added first, then puts back the action that was installed
// before the chain took the signal (the default one when there was none)
// and has the signal delivered again, so an earlier handler of the app
// still runs and, without one, the process dies by that signal.
//
// A signal that is ignored when a handler is added for it stays ignored. The
// first thread to crash runs the handlers; a second crashing thread waits a
// while for it to finish and then hands over without running them again; a
// crash inside a handler (the same thread entering again) goes straight to
// the default action. Handlers run on the thread's alternate signal stack:
// adding a handler gives the calling thread one, and any other thread that
// may crash while deep in its stack calls installAlternateSignalStack()
// itself; the stack is freed when the thread ends.
//
// The handlers must be async-signal-safe; the helpers below are (they write
// with write(2) and read the kernel's clock only). Ownership: the chain is
// process-wide and never torn down; handlers are plain functions. Threading:
// adding takes a lock (never taken by the dispatcher). Failure: a full
// chain (kMaxFatalSignalHandlers) drops the handler and says so.
#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/SignalStack.h"
#include "platform/diagnostics/FixedText.h"

namespace platform {

using FatalSignalHandler = void (*)(int signal, siginfo_t* info, void* context);

inline constexpr std::size_t kMaxFatalSignalHandlers = 8;

// Adds `handler` for each of `signals` (once: adding it again for a signal
// it has changes nothing), and gives the calling thread an alternate signal
// stack. False when some signal's chain was full.
bool addFatalSignalHandler(FatalSignalHandler handler, std::span<const int> signals);
// Whether the chain is the action installed for `signal` and runs `handler`.
bool fatalSignalHandlerInstalled(FatalSignalHandler handler, int signal);

// Async-signal-safe helpers for handlers.
// All of `data` to `fd`, again after an interruption; false on failure.
bool writeFromSignal(int fd, const char* data, std::size_t length);
bool writeFromSignal(int fd, const FixedText& text);
// The kernel's wall time in nanoseconds since 1970.
std::int64_t kernelWallNanosFromSignal();

}  // namespace platform
