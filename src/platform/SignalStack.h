// The calling thread's alternate signal stack, on which fatal-signal
// handlers run: without one, a thread that overflows its own stack cannot
// run a handler at all. Alternate stacks are per thread, so the main thread
// and every worker thread of the platform queues install their own when
// they start.
//
// Ownership: the stack belongs to the thread and is freed when it ends.
// Threading: affects only the calling thread. Failure: a thread that cannot
// get one keeps running without it.
#pragma once

namespace platform {

// An alternate signal stack for the calling thread, unless it has one.
void installAlternateSignalStack();

}  // namespace platform
