#include "platform/dispatch/TaskPool.h"

#include "platform/SignalStack.h"
#include "platform/dispatch/QueueLabels.h"

namespace platform::detail {
namespace {

thread_local const TaskPool* tCurrentPool = nullptr;

}  // namespace

std::shared_ptr<TaskPool> TaskPool::start(std::size_t threadCount, const std::string& label) {
  std::shared_ptr<TaskPool> pool(new TaskPool());
  if (threadCount == 0) threadCount = 1;
  pool->threads_.reserve(threadCount);
  for (std::size_t i = 0; i < threadCount; ++i) {
    pool->threads_.emplace_back([self = pool, label] {
      installAlternateSignalStack();
      publishQueueLabel(label.c_str());
      self->run();
      withdrawQueueLabel();
    });
  }
  return pool;
}

std::shared_ptr<TaskPool> TaskPool::withoutWorkers() {
  return std::shared_ptr<TaskPool>(new TaskPool());
}

TaskPool::~TaskPool() {
  // Reached only after every worker has left run(); whatever is still here
  // (delayed tasks not yet due) is dropped without the lock held.
  std::vector<Task> dropped;
  delayed_.clear(dropped);
}

void TaskPool::post(Task task) {
  if (!task) return;
  std::vector<Task> dropped;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // Delayed tasks already due go first: they became ready before this one.
    delayed_.takeDue(ready_, dropped);
    ready_.push_back(std::move(task));
  }
  workAvailable_.notify_all();
}

void TaskPool::postAfter(Clock::Duration delay, Task task) {
  if (!task) return;
  if (delay <= Clock::Duration::zero()) {
    post(std::move(task));
    return;
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    delayed_.add(delay, std::move(task));
  }
  // Every waiter has to recompute its deadline.
  workAvailable_.notify_all();
}

TaskPool::Task TaskPool::takeNextLocked(std::vector<Task>& dropped) {
  delayed_.takeDue(ready_, dropped);
  if (ready_.empty()) return nullptr;
  Task task = std::move(ready_.front());
  ready_.pop_front();
  return task;
}

bool TaskPool::runOne() {
  Task task;
  std::vector<Task> dropped;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    task = takeNextLocked(dropped);
  }
  dropped.clear();
  if (!task) return false;
  task();
  return true;
}

void TaskPool::waitForReady(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  workAvailable_.wait_until(lock, deadline, [this] { return !ready_.empty() || delayed_.anyDue(); });
}

std::optional<Clock::SteadyTimePoint> TaskPool::nextDelayedDue() {
  std::lock_guard lock(mutex_);
  return delayed_.earliestDue(Clock::current());
}

void TaskPool::discardAll() {
  std::vector<Task> dropped;
  std::deque<Task> ready;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ready.swap(ready_);
    delayed_.clear(dropped);
  }
}

bool TaskPool::isWorkerThread() const { return tCurrentPool == this; }

void TaskPool::shutdown() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  workAvailable_.notify_all();
  auto self = std::this_thread::get_id();
  for (auto& thread : threads_) {
    if (!thread.joinable()) continue;
    if (thread.get_id() == self) {
      thread.detach();
    } else {
      thread.join();
    }
  }
}

void TaskPool::run() {
  tCurrentPool = this;
  std::unique_lock<std::mutex> lock(mutex_);
  std::vector<Task> dropped;
  while (true) {
    Task task = takeNextLocked(dropped);
    if (task || !dropped.empty()) {
      lock.unlock();
      dropped.clear();
      if (task) task();
      task = nullptr;  // captures die before the lock is taken again
      lock.lock();
      continue;
    }
    if (stopping_) break;
    delayed_.waitForWork(lock, workAvailable_, [this] { return stopping_ || !ready_.empty(); });
  }
  tCurrentPool = nullptr;
}

}  // namespace platform::detail
