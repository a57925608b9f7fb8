#include "platform/dispatch/Clock.h"

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
  static auto& clock = *new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
  return clock;
}

// Raised on every setCurrent(), so currentTime() knows when to look again.
std::atomic<std::uint64_t>& generation() {
  static std::atomic<std::uint64_t> value{1};
  return value;
}

// Set once the thread's kept clock is gone (the thread is ending): later
// reads on the thread take the lock instead. Plain, so it outlives the kept
// clock.
thread_local bool threadClockGone = false;

// Calls `use` with the clock this thread saw last, looked up again (under
// the lock) only once another one has been installed: reads on many threads
// share no lock.
template <class Use>
auto withThreadClock(Use use) {
  struct Seen {
    std::uint64_t generation = 0;
    std::shared_ptr<Clock> clock;
    ~Seen() { threadClockGone = true; }
  };
  if (threadClockGone) {
    std::shared_ptr<Clock> clock;
    {
      std::lock_guard<std::mutex> guard(currentMutex());
      clock = currentSlot();
    }
    return use(clock);
  }
  thread_local Seen seen;
  std::uint64_t now = generation().load(std::memory_order_acquire);
  if (seen.generation != now) {
    std::lock_guard<std::mutex> guard(currentMutex());
    seen.clock = currentSlot();
    seen.generation = now;
  }
  return use(seen.clock);
}

// A manual clock cannot notify a waiter under the waiter's own mutex without
// risking lock inversion, so waiters also wake on a short real-time poll.
constexpr auto kManualPoll = std::chrono::milliseconds(5);

}  // namespace

void Clock::sleepFor(Duration duration) {
  std::mutex m;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(m);
  waitUntil(lock, cv, steadyDeadline(duration), [] { return false; });
}

bool Clock::sleepFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                     Duration duration, const std::function<bool()>& wake) {
  return !waitUntil(lock, cv, steadyDeadline(duration), wake);
}

Clock::SteadyTimePoint Clock::steadyDeadline(Duration timeout) const {
  const SteadyTimePoint start = steadyNow();
  if (timeout <= Duration::zero()) return start;
  const auto room = SteadyTimePoint::max() - start;
  return timeout >= room ? SteadyTimePoint::max() : start + timeout;
}

double Clock::secondsSince1970() const {
  return std::chrono::duration<double>(now().time_since_epoch()).count();
}

std::shared_ptr<Clock> Clock::current() {
  return withThreadClock([](const std::shared_ptr<Clock>& clock) { return clock; });
}

void Clock::setCurrent(std::shared_ptr<Clock> clock) {
  std::lock_guard<std::mutex> guard(currentMutex());
  currentSlot() = clock ? std::move(clock) : std::make_shared<SystemClock>();
  generation().fetch_add(1, std::memory_order_release);
}

Clock::TimePoint Clock::currentTime() {
  return withThreadClock([](const std::shared_ptr<Clock>& clock) { return clock->now(); });
}

Clock::TimePoint SystemClock::now() const { return std::chrono::system_clock::now(); }

Clock::SteadyTimePoint SystemClock::steadyNow() const { return std::chrono::steady_clock::now(); }

bool SystemClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            TimePoint deadline, const std::function<bool()>& pred) {
  return cv.wait_until(lock, deadline, pred);
}

bool SystemClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            SteadyTimePoint deadline, const std::function<bool()>& pred) {
  // Far deadlines are waited for in slices: some libraries add to the
  // deadline and would overflow at its maximum.
  constexpr auto kSlice = std::chrono::hours(24);
  while (!pred()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return pred();
    auto until = deadline - now > kSlice ? now + kSlice : deadline;
    cv.wait_until(lock, until, pred);
  }
  return true;
}

ManualClock::ManualClock(TimePoint start)
    : now_(start), steady_(SteadyTimePoint(std::chrono::hours(1))) {}

Clock::TimePoint ManualClock::now() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return now_;
}

Clock::SteadyTimePoint ManualClock::steadyNow() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return steady_;
}

bool ManualClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            TimePoint deadline, const std::function<bool()>& pred) {
  return waitWhile(lock, cv, pred, [&] { return now() >= deadline; });
}

bool ManualClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            SteadyTimePoint deadline, const std::function<bool()>& pred) {
  return waitWhile(lock, cv, pred, [&] { return steadyNow() >= deadline; });
}

template <class Reached>
bool ManualClock::waitWhile(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            const std::function<bool()>& pred, const Reached& reached) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    waiters_.push_back(&cv);
  }
  waitersChanged_.notify_all();
  bool satisfied = false;
  while (true) {
    if (pred()) { satisfied = true; break; }
    if (reached()) break;
    cv.wait_for(lock, kManualPoll);
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &cv));
  }
  waitersChanged_.notify_all();
  return satisfied;
}

ManualClock::AutoSleep ManualClock::autoAdvanceSleep(Duration duration) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!autoAdvance_) return AutoSleep::Off;
    if (held_) return AutoSleep::Held;
    if (duration > Duration::zero()) {
      now_ += duration;
      steady_ += duration;
      slept_ += duration;
    }
  }
  notifyWaiters();
  return AutoSleep::Slept;
}

void ManualClock::sleepFor(Duration duration) {
  std::mutex m;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(m);
  sleepFor(lock, cv, duration, [] { return false; });
}

bool ManualClock::sleepFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                           Duration duration, const std::function<bool()>& wake) {
  for (;;) {
    if (wake()) return false;
    switch (autoAdvanceSleep(duration)) {
      case AutoSleep::Off:
        return Clock::sleepFor(lock, cv, duration, wake);
      case AutoSleep::Slept:
        return true;
      case AutoSleep::Held:
        break;
    }
    // Held: waits for the hold to end as any timed wait does, with the
    // caller's lock let go, so that whoever holds the clock may take it (to
    // wake this sleep, say).
    waitWhile(lock, cv, wake, [this] {
      std::lock_guard<std::mutex> guard(mutex_);
      return !held_;
    });
  }
}

void ManualClock::advance(Duration by) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    now_ += by;
    // Steady time never runs backwards.
    if (by > Duration::zero()) steady_ += by;
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

void ManualClock::stepWallTime(Duration by) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    now_ += by;
  }
  notifyWaiters();
}

void ManualClock::setAutoAdvanceSleeps(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  autoAdvance_ = on;
}

void ManualClock::setHeld(bool held) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    held_ = held;
  }
  notifyWaiters();
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
