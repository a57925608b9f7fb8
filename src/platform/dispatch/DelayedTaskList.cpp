#include "platform/dispatch/DelayedTaskList.h"

#include <algorithm>

namespace platform::detail {
namespace {

// With entries timed on a clock other than the current one nobody can notify
// us when that clock moves, so a waiter looks again this often.
constexpr auto kForeignClockPoll = std::chrono::milliseconds(5);
// Longest single wait; keeps deadlines far from the clock's overflow range.
constexpr auto kLongestWait = std::chrono::hours(1);

}  // namespace

void DelayedTaskList::add(Clock::Duration delay, Task task) {
  auto clock = Clock::current();
  Entry entry;
  entry.due = clock->steadyDeadline(delay);
  entry.clock = clock;
  entry.sequence = nextSequence_++;
  entry.task = std::move(task);
  entries_.push_back(std::move(entry));
  ++generation_;
}

bool DelayedTaskList::anyDue() const {
  for (const auto& entry : entries_) {
    auto clock = entry.clock.lock();
    if (!clock || clock->steadyNow() >= entry.due) return true;
  }
  return false;
}

void DelayedTaskList::takeDue(std::deque<Task>& ready, std::vector<Task>& dropped) {
  if (entries_.empty()) return;
  // Each clock is read once: another thread may move it meanwhile, and an
  // earlier task must not be left behind while a later one is taken.
  std::vector<std::pair<std::shared_ptr<Clock>, Clock::SteadyTimePoint>> nows;
  auto nowOn = [&nows](const std::shared_ptr<Clock>& clock) {
    for (const auto& [known, now] : nows) {
      if (known == clock) return now;
    }
    nows.emplace_back(clock, clock->steadyNow());
    return nows.back().second;
  };
  std::vector<Entry> due;
  std::vector<Entry> waiting;
  for (auto& entry : entries_) {
    auto clock = entry.clock.lock();
    if (!clock) {
      dropped.push_back(std::move(entry.task));
    } else if (nowOn(clock) >= entry.due) {
      due.push_back(std::move(entry));
    } else {
      waiting.push_back(std::move(entry));
    }
  }
  entries_ = std::move(waiting);
  std::sort(due.begin(), due.end(), [](const Entry& a, const Entry& b) {
    return a.due != b.due ? a.due < b.due : a.sequence < b.sequence;
  });
  for (auto& entry : due) ready.push_back(std::move(entry.task));
}

std::optional<Clock::SteadyTimePoint> DelayedTaskList::earliestDue(const std::shared_ptr<Clock>& clock) const {
  std::optional<Clock::SteadyTimePoint> earliest;
  for (const auto& entry : entries_) {
    if (entry.clock.lock() != clock) continue;
    if (!earliest || entry.due < *earliest) earliest = entry.due;
  }
  return earliest;
}

void DelayedTaskList::clear(std::vector<Task>& dropped) {
  for (auto& entry : entries_) dropped.push_back(std::move(entry.task));
  entries_.clear();
}

Clock::SteadyTimePoint DelayedTaskList::nextCheck(const std::shared_ptr<Clock>& clock) const {
  auto now = clock->steadyNow();
  auto next = now + kLongestWait;
  for (const auto& entry : entries_) {
    auto entryClock = entry.clock.lock();
    if (entryClock == clock) {
      next = std::min(next, entry.due);
    } else {
      next = std::min(next, now + std::chrono::duration_cast<Clock::Duration>(kForeignClockPoll));
    }
  }
  return next;
}

void DelayedTaskList::waitForWork(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                                  const std::function<bool()>& wake) const {
  if (entries_.empty()) {
    // Nothing timed: no clock involved, an add or a post notifies us.
    cv.wait(lock, [&] { return wake() || !entries_.empty(); });
    return;
  }
  auto clock = Clock::current();
  auto seen = generation_;
  clock->waitUntil(lock, cv, nextCheck(clock),
                   [&] { return wake() || generation_ != seen || anyDue(); });
}

}  // namespace platform::detail
