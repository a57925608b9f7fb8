#include "platform/dispatch/Semaphore.h"

namespace platform {

Semaphore::Semaphore(std::int64_t count) : count_(count) {}

void Semaphore::signal() {
  std::lock_guard<std::mutex> guard(mutex_);
  ++count_;
  // Under the lock: a waiter that wakes and destroys the semaphore cannot do
  // so while we still touch the condition variable.
  available_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  available_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool Semaphore::waitFor(Clock::Duration timeout) {
  auto clock = Clock::current();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!clock->waitFor(lock, available_, timeout, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

}  // namespace platform
