// A counting semaphore, the way blocking calls wait for a callback: the
// callback signals, the caller waits.
//
// Ownership: a plain object; it must outlive every thread waiting on it.
// Threading: every member may be called from any thread. Timed waits run on
// Clock::current(), so under a ManualClock they end when the clock is
// advanced past their deadline.
// Failure: a timed wait that runs out answers false; nothing else fails.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/dispatch/Clock.h"

namespace platform {

class Semaphore {
 public:
  explicit Semaphore(std::int64_t count = 0);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Adds one to the count, waking one waiter.
  void signal();
  // Waits until the count is positive, then takes one.
  void wait();
  // As wait(), giving up after `timeout` on the clock. Returns whether it took
  // one.
  bool waitFor(Clock::Duration timeout);

 private:
  std::mutex mutex_;
  std::condition_variable available_;
  std::int64_t count_;
};

}  // namespace platform
