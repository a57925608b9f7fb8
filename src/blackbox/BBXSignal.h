// Signal capture: a fatal signal becomes a "signal" record plus the crash
// handler's record of the whole process, then goes on to whatever handled
// it before, so that the process dies as it would have without us.
//
// The handler joins the process's one fatal-signal chain
// (platform/diagnostics/FatalSignalChain.h) rather than taking the signals
// itself: the statistics kit's crash catcher and this one both record, in
// either order of installation, and the chain hands the signal on to the
// action that was installed before it (the default one when there was none).
// A second thread crashing meanwhile waits in the chain while the first
// records.
//
// Ownership: the signal block lives in the crash context. Threading: set-up
// from a start-up block; the handler on the crashing thread's alternate
// stack, async-signal-safe. Failure: each step logs to the diagnostic log and
// the signal still reaches the earlier action.
#pragma once

#include <signal.h>

#include <functional>

#include "blackbox/BBXContext.h"

namespace lumora {

// The handled signals; their order is the index of the saved actions.
inline constexpr int kBBXHandledSignals[kBBXHandledSignalCount] = {SIGABRT, SIGBUS, SIGFPE, SIGILL,
                                                                   SIGSEGV, SIGSYS, SIGTRAP};

// Removes the old record, gives the calling thread the context's alternate
// stack when it has none, saves the earlier actions and joins the chain.
void BBXSignalInitialize(BBXSignalContext* signal);
void BBXSignalHandler(int signal, siginfo_t* info, void* context);
// Default actions for the handled signals; SIGABRT's only when `includeAbort`.
void BBXSignalSafeRemoveHandlers(bool includeAbort);
// The default actions, then the saved stack and every saved action back.
bool BBXSignalSafeInstallPreexistingHandlers(const BBXSignalContext* signal);
void BBXSignalEnumerateHandledSignals(const std::function<void(int index, int signal)>& block);
// Warns on standard error for each handled signal that our handler would
// not see (without a debugger at start-up).
void BBXSignalCheckHandlers();

// Names by number ("UNKNOWN" outside the handled ones); the code name is
// null except SIGABRT's.
const char* BBXSignalNameFromSignal(int signal);
const char* BBXSignalCodeNameFromSignal(int signal);

}  // namespace lumora
