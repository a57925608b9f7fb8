// Waiting for work that backs off on a manual clock: the clock is moved on
// to each task of the global queue that waits on it (a retry's delay), so
// the work completes without real waiting, however long it backs off.
#pragma once

#include <chrono>
#include <future>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "support/Sanitizers.h"

namespace testsupport {

// True when `future` became ready within `realTimeout` of real time.
template <class T>
bool waitMovingClock(std::future<T>& future, platform::ManualClock& clock,
                     std::chrono::milliseconds realTimeout = scaled(std::chrono::seconds(30))) {
  const auto until = std::chrono::steady_clock::now() + realTimeout;
  while (future.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    if (std::chrono::steady_clock::now() >= until) return false;
    const auto due = platform::globalQueue().nextDueTime();
    if (due && *due > clock.steadyNow()) clock.advance(*due - clock.steadyNow());
  }
  return true;
}

}  // namespace testsupport
