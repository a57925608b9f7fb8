// The line of work behind every dispatch queue: a FIFO of ready tasks plus a
// list of delayed ones. SerialQueue (one worker thread) and ConcurrentQueue
// (several) start workers on it; the main queue has none and runs its tasks
// on whichever thread pumps it with runOne().
//
// Ownership: created through start() or withoutWorkers(); the workers share
// ownership, so a pool outlives its queue object while a worker is still
// finishing. A queue with workers must call shutdown() exactly once, from its
// destructor.
// Threading: post/postAfter from any thread. Tasks are taken in FIFO order;
// with one worker (or one pumping thread) they also run in that order, one at
// a time. Failure: an empty task is ignored; tasks must not throw.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DelayedTaskList.h"

namespace platform::detail {

class TaskPool : public std::enable_shared_from_this<TaskPool> {
 public:
  using Task = std::function<void()>;

  // Workers publish `label` as their queue's (QueueLabels.h).
  static std::shared_ptr<TaskPool> start(std::size_t threadCount, const std::string& label = "");
  // A pool that runs nothing by itself: its owner pumps it with runOne().
  static std::shared_ptr<TaskPool> withoutWorkers();
  ~TaskPool();

  void post(Task task);
  void postAfter(Clock::Duration delay, Task task);

  // Runs the next ready task (delayed tasks that are due join the line
  // first) on the calling thread; false when nothing is ready.
  bool runOne();
  // Blocks the calling thread until a task is ready or due, or until
  // `deadline` (real time) has passed.
  void waitForReady(std::chrono::steady_clock::time_point deadline);

  // When the next delayed task falls due on the current clock (none: no
  // delayed task of that clock is waiting).
  std::optional<Clock::SteadyTimePoint> nextDelayedDue();

  // Drops every queued and delayed task unrun (their captures are released
  // on the calling thread, outside the pool's lock).
  void discardAll();

  // True on one of this pool's worker threads.
  bool isWorkerThread() const;

  // Runs everything already queued (and whatever those tasks queue), drops
  // delayed tasks that are not yet due, then ends the workers and joins them.
  // Called on a worker (a queue destroyed by its own task), that worker is
  // detached instead and ends once the queue is empty.
  void shutdown();

 private:
  TaskPool() = default;
  void run();
  // Under mutex_: the next ready task (due delayed tasks join the line
  // first), or an empty task; tasks whose clock is gone go to `dropped`.
  Task takeNextLocked(std::vector<Task>& dropped);

  std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::deque<Task> ready_;
  DelayedTaskList delayed_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace platform::detail
