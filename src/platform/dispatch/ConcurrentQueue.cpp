#include "platform/dispatch/ConcurrentQueue.h"

#include <algorithm>
#include <thread>

#include "platform/dispatch/TaskPool.h"

namespace platform {

ConcurrentQueue::ConcurrentQueue(std::string label, std::size_t threadCount)
    : label_(std::move(label)),
      threadCount_(std::max<std::size_t>(1, threadCount)),
      pool_(detail::TaskPool::start(threadCount_, label_)) {}

ConcurrentQueue::~ConcurrentQueue() { pool_->shutdown(); }

void ConcurrentQueue::async(Task task) { pool_->post(std::move(task)); }

void ConcurrentQueue::asyncAfter(Clock::Duration delay, Task task) {
  pool_->postAfter(delay, std::move(task));
}

std::optional<Clock::SteadyTimePoint> ConcurrentQueue::nextDueTime() const { return pool_->nextDelayedDue(); }

bool ConcurrentQueue::isCurrent() const { return pool_->isWorkerThread(); }

ConcurrentQueue& globalQueue() {
  // Never destroyed: workers may still be busy while the process exits.
  static ConcurrentQueue* queue = new ConcurrentQueue(
      "platform.global", std::max<std::size_t>(2, std::thread::hardware_concurrency()));
  return *queue;
}

}  // namespace platform
