#include "platform/dispatch/DispatchQueue.h"

#include <condition_variable>
#include <mutex>

namespace platform {

void DispatchQueue::sync(Task task) {
  if (!task) return;
  if (isCurrent()) {
    task();
    return;
  }
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  async([&] {
    task();
    // Notified under the lock so the waiter cannot return (and destroy the
    // condition variable) before notify_all is done with it.
    std::lock_guard<std::mutex> guard(mutex);
    done = true;
    finished.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  finished.wait(lock, [&] { return done; });
}

}  // namespace platform
