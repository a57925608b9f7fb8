// The system's time with a wall clock the test can set back or forth while
// real time runs on: steady time, waits and sleeps are the system's, now()
// is the system's plus the offset. For tests over real networking that show
// that a step of the device's clock moves no duration.
#pragma once

#include <atomic>
#include <chrono>

#include "platform/dispatch/Clock.h"

namespace testsupport {

class SteppedClock final : public platform::Clock {
 public:
  void stepWallTime(Duration by) { offset_ = offset_.load() + by; }

  TimePoint now() const override { return system_.now() + offset_.load(); }
  SteadyTimePoint steadyNow() const override { return system_.steadyNow(); }
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline,
                 const std::function<bool()>& pred) override {
    return system_.waitUntil(lock, cv, deadline - offset_.load(), pred);
  }
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 SteadyTimePoint deadline, const std::function<bool()>& pred) override {
    return system_.waitUntil(lock, cv, deadline, pred);
  }

 private:
  platform::SystemClock system_;
  std::atomic<Duration> offset_{Duration::zero()};
};

}  // namespace testsupport
