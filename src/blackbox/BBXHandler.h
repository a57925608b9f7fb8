// The crash handler's record of the whole process, written after the
// crash's own section: every thread's registers and stack, the runtime
// section, queue labels and thread names, memory and CPU figures, and free
// storage. The crashed thread is recorded first, the handler's own thread
// next, then the others up to kBBXThreadSlotCount. The other threads are
// stopped for it by a reserved real-time signal whose handler saves the
// thread's registers into a slot of the writable context and waits there
// until released (a thread past the slots waits unrecorded); a thread that
// does not answer within a short spin is recorded with zero registers.
//
// Ownership: writes into the caller's open file. Threading: runs on the
// crashing thread (or any one thread); async-signal-safe: no allocation, no
// lock. Failure: each section stands alone; a failing read leaves its
// section empty or out.
#pragma once

#include <sys/types.h>
#include <ucontext.h>

#include "blackbox/BBXContext.h"

namespace lumora {

// Installs the thread-stop handler; its signal number.
int BBXHandlerInstallThreadStop();
// Records the process; `crashedThread` is a thread id, `context` the
// crashed thread's machine context when there is one.
void BBXHandler(BBXFile* file, pid_t crashedThread, const ucontext_t* context);

}  // namespace lumora
