#include "platform/dispatch/QueueLabels.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string_view>

#include "platform/Utf8.h"

namespace platform {
namespace {

constexpr std::size_t kQueueLabelEntries = 512;
constexpr std::size_t kQueueLabelSize = 128;
constexpr pid_t kQueueLabelWriting = -1;

struct QueueLabelEntry {
  std::atomic<pid_t> tid{0};
  char label[kQueueLabelSize];
};

QueueLabelEntry gQueueLabels[kQueueLabelEntries];

pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

}  // namespace

void publishQueueLabel(const char* label) {
  if (label == nullptr) return;
  const pid_t tid = currentThreadId();
  for (QueueLabelEntry& entry : gQueueLabels) {
    pid_t expected = 0;
    if (!entry.tid.compare_exchange_strong(expected, kQueueLabelWriting)) continue;
    const std::string_view text(label, strnlen(label, kQueueLabelSize));
    const std::size_t length = utf8CharacterBoundary(text, kQueueLabelSize - 1);
    std::memcpy(entry.label, label, length);
    entry.label[length] = '\0';
    entry.tid.store(tid);
    return;
  }
}

void withdrawQueueLabel() {
  const pid_t tid = currentThreadId();
  for (QueueLabelEntry& entry : gQueueLabels) {
    pid_t expected = tid;
    if (entry.tid.compare_exchange_strong(expected, 0)) return;
  }
}

bool queueLabelOfThread(pid_t tid, char* out, std::size_t size) {
  if (out == nullptr || size == 0 || tid <= 0) return false;
  for (const QueueLabelEntry& entry : gQueueLabels) {
    if (entry.tid.load() != tid) continue;
    const std::string_view label(entry.label, strnlen(entry.label, kQueueLabelSize));
    const std::size_t length = utf8CharacterBoundary(label, size - 1);
    std::memcpy(out, entry.label, length);
    out[length] = '\0';
    return true;
  }
  return false;
}

}  // namespace platform
