// Which queue each worker thread serves, in a fixed table that a signal
// handler can read: the workers of every SerialQueue and ConcurrentQueue
// publish their queue's label when they start and withdraw it when they end.
//
// Ownership: one process-wide table of 512 entries (threads past that are
// not listed). Threading: publish/withdraw for the calling thread only;
// queueLabelOfThread from any thread, async-signal-safe. Failure: a thread
// not listed has no label.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace platform {

// Labels are cut to at most 127 bytes, between characters.
void publishQueueLabel(const char* label);
void withdrawQueueLabel();
// The label of thread `tid` into `out` (NUL-terminated, cut between
// characters to fit); false when the thread serves no queue.
bool queueLabelOfThread(pid_t tid, char* out, std::size_t size);

}  // namespace platform
