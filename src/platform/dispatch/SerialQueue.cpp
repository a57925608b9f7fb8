#include "platform/dispatch/SerialQueue.h"

#include "platform/dispatch/TaskPool.h"

namespace platform {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), pool_(detail::TaskPool::start(1, label_)) {}

SerialQueue::~SerialQueue() { pool_->shutdown(); }

void SerialQueue::async(Task task) { pool_->post(std::move(task)); }

void SerialQueue::asyncAfter(Clock::Duration delay, Task task) {
  pool_->postAfter(delay, std::move(task));
}

bool SerialQueue::isCurrent() const { return pool_->isWorkerThread(); }

}  // namespace platform
