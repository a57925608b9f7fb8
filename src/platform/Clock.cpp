#include "platform/Clock.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace platform {
namespace {

std::mutex& currentMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<Clock>& currentSlot() {
  static std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

// Raised on every setCurrent(), so currentTime() knows when to look again.
std::atomic<std::uint64_t>& generation() {
  static std::atomic<std::uint64_t> value{1};
  return value;
}

// A manual clock cannot notify a waiter under the waiter's own mutex without
// risking lock inversion, so waiters also wake on a short real-time poll.
constexpr auto kManualPoll = std::chrono::milliseconds(5);

}  // namespace

void Clock::sleepFor(Duration duration) {
  std::mutex m;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(m);
  waitUntil(lock, cv, now() + duration, [] { return false; });
}

double Clock::secondsSince1970() const {
  return std::chrono::duration<double>(now().time_since_epoch()).count();
}

std::shared_ptr<Clock> Clock::current() {
  std::lock_guard<std::mutex> guard(currentMutex());
  return currentSlot();
}

void Clock::setCurrent(std::shared_ptr<Clock> clock) {
  std::lock_guard<std::mutex> guard(currentMutex());
  currentSlot() = clock ? std::move(clock) : std::make_shared<SystemClock>();
  generation().fetch_add(1, std::memory_order_release);
}

Clock::TimePoint Clock::currentTime() {
  struct Seen {
    std::uint64_t generation = 0;
    std::shared_ptr<Clock> clock;
  };
  thread_local Seen seen;
  std::uint64_t now = generation().load(std::memory_order_acquire);
  if (seen.generation != now) {
    seen.clock = current();
    seen.generation = now;
  }
  return seen.clock->now();
}

Clock::TimePoint SystemClock::now() const { return std::chrono::system_clock::now(); }

bool SystemClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            TimePoint deadline, const std::function<bool()>& pred) {
  return cv.wait_until(lock, deadline, pred);
}

ManualClock::ManualClock(TimePoint start) : now_(start) {}

Clock::TimePoint ManualClock::now() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return now_;
}

bool ManualClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            TimePoint deadline, const std::function<bool()>& pred) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    waiters_.push_back(&cv);
  }
  waitersChanged_.notify_all();
  bool satisfied = false;
  while (true) {
    if (pred()) { satisfied = true; break; }
    if (now() >= deadline) break;
    cv.wait_for(lock, kManualPoll);
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &cv));
  }
  waitersChanged_.notify_all();
  return satisfied;
}

void ManualClock::sleepFor(Duration duration) {
  bool advanced = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (autoAdvance_) {
      if (duration > Duration::zero()) {
        now_ += duration;
        slept_ += duration;
      }
      advanced = true;
    }
  }
  if (advanced) {
    notifyWaiters();
    return;
  }
  Clock::sleepFor(duration);
}

void ManualClock::advance(Duration by) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    now_ += by;
  }
  notifyWaiters();
}

void ManualClock::setTime(TimePoint to) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    now_ = to;
  }
  notifyWaiters();
}

void ManualClock::setAutoAdvanceSleeps(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  autoAdvance_ = on;
}

std::size_t ManualClock::waiterCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return waiters_.size();
}

bool ManualClock::waitForWaiters(std::size_t n, std::chrono::milliseconds realTimeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return waitersChanged_.wait_for(lock, realTimeout, [&] { return waiters_.size() >= n; });
}

Clock::Duration ManualClock::sleptTotal() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return slept_;
}

void ManualClock::notifyWaiters() {
  // Notified under our mutex so a waiter cannot unregister (and destroy its
  // condition variable) while we touch it.
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto* cv : waiters_) cv->notify_all();
}

ScopedClock::ScopedClock(std::shared_ptr<Clock> clock) : previous_(Clock::current()) {
  Clock::setCurrent(std::move(clock));
}

ScopedClock::~ScopedClock() { Clock::setCurrent(previous_); }

}  // namespace platform
