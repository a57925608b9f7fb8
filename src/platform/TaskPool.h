// The worker threads behind SerialQueue (one thread) and ConcurrentQueue
// (several): a FIFO of ready tasks plus a list of delayed ones.
//
// Ownership: created through start(); the workers share ownership, so a pool
// outlives its queue object while a worker is still finishing. The owning
// queue must call shutdown() exactly once, from its destructor.
// Threading: post/postAfter from any thread. Tasks are taken in FIFO order;
// with one worker they also run in that order, one at a time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/DelayedTaskList.h"

namespace platform::detail {

class TaskPool : public std::enable_shared_from_this<TaskPool> {
 public:
  using Task = std::function<void()>;

  static std::shared_ptr<TaskPool> start(std::size_t threadCount);
  ~TaskPool();

  void post(Task task);
  void postAfter(Clock::Duration delay, Task task);

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

  std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::deque<Task> ready_;
  DelayedTaskList delayed_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace platform::detail
