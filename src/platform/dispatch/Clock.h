// The one source of time for the whole system. Every read of the current time,
// every sleep and every timed wait goes through Clock::current(), so tests can
// install a ManualClock and move time on by hand instead of waiting for real.
//
// Two time lines: wall time (now(), dates that are stored or sent) and steady
// time (steadyNow(), never set back). Every duration, timeout and deadline is
// measured on steady time, so setting the wall clock back or forth neither
// stretches nor cuts a wait; waitFor() and sleepFor() are steady.
//
// Threading: all members are safe to call from any thread. current() returns a
// shared_ptr, so a clock swapped out while a thread waits on it stays alive.
// Ownership: the process clock is shared; ScopedClock puts the previous one
// back when it ends. Failure: nothing here fails.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

class Clock {
 public:
  using Duration = std::chrono::system_clock::duration;
  using TimePoint = std::chrono::system_clock::time_point;
  using SteadyTimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;

  // Wall-clock time (seconds since 1970 UTC at the base). For dates only:
  // it may jump back or forth when the device's time is set.
  virtual TimePoint now() const = 0;
  // Monotonic time for durations and deadlines; its origin means nothing.
  virtual SteadyTimePoint steadyNow() const = 0;

  // Blocks until pred() holds or `deadline` passes on this clock. `lock` must
  // hold the mutex guarding what pred reads; whoever changes that state
  // notifies `cv`. Returns pred() at the end. The wall-time form ends when
  // the wall clock reaches the date, the steady form after the time passed.
  virtual bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         TimePoint deadline, const std::function<bool()>& pred) = 0;
  virtual bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         SteadyTimePoint deadline, const std::function<bool()>& pred) = 0;

  // Waits at most `timeout` of steady time.
  bool waitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Duration timeout,
               const std::function<bool()>& pred) {
    return waitUntil(lock, cv, steadyDeadline(timeout), pred);
  }

  // Blocks the calling thread for `duration` of this clock's steady time.
  virtual void sleepFor(Duration duration);
  // The same sleep, ended early once wake() holds (read under `lock`, whose
  // changes are notified through `cv`). True when the whole time passed.
  virtual bool sleepFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                        Duration duration, const std::function<bool()>& wake);

  // steadyNow() + `timeout`, saturated so a huge timeout cannot overflow.
  SteadyTimePoint steadyDeadline(Duration timeout) const;

  double secondsSince1970() const;

  // The process-wide clock; a SystemClock unless a test installed another.
  // No lock is taken: each thread keeps the clock it last saw until another
  // one is installed.
  static std::shared_ptr<Clock> current();
  // Installs `clock` (nullptr restores the system clock).
  static void setCurrent(std::shared_ptr<Clock> clock);
  // current()->now() for hot paths (a time stamp on every log line): no
  // shared count touched either.
  static TimePoint currentTime();
};

inline Clock::Duration seconds(double s) {
  return std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(s));
}

class SystemClock final : public Clock {
 public:
  TimePoint now() const override;
  SteadyTimePoint steadyNow() const override;
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& pred) override;
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 SteadyTimePoint deadline, const std::function<bool()>& pred) override;
};

// A clock that only moves when told to. Timed waits end when advance() carries
// the time past their deadline (or their predicate turns true).
class ManualClock final : public Clock {
 public:
  // Wall time starts at 2020-01-01 00:00:00 UTC unless told otherwise.
  explicit ManualClock(TimePoint start = TimePoint(std::chrono::seconds(1577836800)));

  TimePoint now() const override;
  SteadyTimePoint steadyNow() const override;
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& pred) override;
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 SteadyTimePoint deadline, const std::function<bool()>& pred) override;
  // With auto-advance on, a sleep moves the clock on by its duration and
  // returns at once (an interruptible one unless it is woken already); off
  // (the default), it waits for advance().
  void sleepFor(Duration duration) override;
  bool sleepFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Duration duration,
                const std::function<bool()>& wake) override;

  // Time passes: wall and steady time move on together.
  void advance(Duration by);
  // The wall clock is set (back or forth); steady time does not move.
  void setTime(TimePoint to);
  void stepWallTime(Duration by);
  void setAutoAdvanceSleeps(bool on);
  // Held, the clock stands still: an auto-advancing sleep on another thread
  // waits (in real time) for the hold to end before it moves the clock on.
  // It waits as a timed wait does, its caller's lock let go, and counts as
  // a waiter; an interruptible one ends as soon as it is woken.
  void setHeld(bool held);

  // Number of threads blocked in a timed wait or sleep on this clock, so a
  // test can tell that a worker has reached its wait before moving time on.
  std::size_t waiterCount() const;
  // Blocks (in real time, up to `realTimeout`) until waiterCount() >= n.
  bool waitForWaiters(std::size_t n, std::chrono::milliseconds realTimeout = std::chrono::seconds(10)) const;
  // Total time that auto-advanced sleeps have added.
  Duration sleptTotal() const;

 private:
  void notifyWaiters();
  // Moves the clock on by a sleep's duration when auto-advance is on and
  // the clock is not held.
  enum class AutoSleep { Off, Held, Slept };
  AutoSleep autoAdvanceSleep(Duration duration);
  template <class Reached>
  bool waitWhile(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 const std::function<bool()>& pred, const Reached& reached);

  mutable std::mutex mutex_;
  mutable std::condition_variable waitersChanged_;
  TimePoint now_;
  SteadyTimePoint steady_;
  bool autoAdvance_ = false;
  bool held_ = false;
  Duration slept_{0};
  std::vector<std::condition_variable*> waiters_;
};

// Installs a clock for the life of a scope (tests).
class ScopedClock {
 public:
  explicit ScopedClock(std::shared_ptr<Clock> clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  std::shared_ptr<Clock> previous_;
};

}  // namespace platform
