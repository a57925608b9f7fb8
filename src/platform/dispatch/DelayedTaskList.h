// Tasks waiting for a time on the clock's steady time line, kept by each
// queue that offers asyncAfter (a wall clock set back delays nothing). Each entry remembers the clock that was current when it was
// scheduled and falls due when that clock reaches its time, so replacing the
// process clock (as tests do) never shifts a pending task into another time
// base. An entry whose clock has been destroyed can never fall due and is
// dropped unrun.
//
// Threading: not synchronised; the owning queue calls it under its own lock.
// Tasks handed back for dropping must be destroyed after that lock is
// released, since their captures may post to the same queue.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch/Clock.h"

namespace platform::detail {

class DelayedTaskList {
 public:
  using Task = std::function<void()>;

  // Adds `task`, due `delay` from now on Clock::current().
  void add(Clock::Duration delay, Task task);

  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

  // True when some entry is due, or has lost its clock and is to be dropped.
  bool anyDue() const;

  // Appends the due tasks to `ready` in order of due time, then of scheduling;
  // moves tasks whose clock is gone to `dropped`.
  void takeDue(std::deque<Task>& ready, std::vector<Task>& dropped);

  // The earliest due time of the entries scheduled on `clock`.
  std::optional<Clock::SteadyTimePoint> earliestDue(const std::shared_ptr<Clock>& clock) const;
  // Moves every task to `dropped`.
  void clear(std::vector<Task>& dropped);

  // Bumped by every add, so a waiter can tell that its deadline is stale.
  std::uint64_t generation() const { return generation_; }

  // Blocks on `cv` (whose mutex `lock` holds) until wake() holds, a task
  // falls due or the list changes. Timed waits go through Clock::current().
  void waitForWork(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   const std::function<bool()>& wake) const;

 private:
  struct Entry {
    std::weak_ptr<Clock> clock;
    Clock::SteadyTimePoint due;
    std::uint64_t sequence = 0;
    Task task;
  };

  // When a waiter on `clock` has to look again.
  Clock::SteadyTimePoint nextCheck(const std::shared_ptr<Clock>& clock) const;

  std::vector<Entry> entries_;
  std::uint64_t nextSequence_ = 0;
  std::uint64_t generation_ = 0;
};

}  // namespace platform::detail
