#include "platform/dispatch/OperationQueue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/SignalStack.h"

namespace platform {

// Shared between the queue object and its workers, so a worker detached by a
// queue destroyed from its own operation can still finish safely.
class OperationQueue::State : public std::enable_shared_from_this<OperationQueue::State> {
 public:
  explicit State(std::size_t width) : width_(std::max<std::size_t>(1, width)) {}

  bool add(std::shared_ptr<Operation> operation) {
    if (!operation || !operation->claim()) return false;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      pending_.push_back(std::move(operation));
      spawnWorkers();
    }
    changed_.notify_all();
    return true;
  }

  void cancelAll() {
    std::deque<std::shared_ptr<Operation>> dropped;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      dropped.swap(pending_);
      for (auto& op : dropped) op->cancel();
      for (auto& op : executing_) op->cancel();
    }
    // Outside our lock: finishing wakes the operation's waiters, and the
    // last reference may run arbitrary destructors.
    for (auto& op : dropped) op->finish();
    dropped.clear();
    changed_.notify_all();
  }

  void waitUntilIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return pending_.empty() && executing_.empty(); });
  }

  std::size_t count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return pending_.size() + executing_.size();
  }

  std::vector<std::shared_ptr<Operation>> snapshot() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::shared_ptr<Operation>> all(executing_.begin(), executing_.end());
    all.insert(all.end(), pending_.begin(), pending_.end());
    return all;
  }

  void setSuspended(bool suspended) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      suspended_ = suspended;
    }
    changed_.notify_all();
  }

  bool suspended() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return suspended_;
  }

  void setWidth(std::size_t width) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      width_ = std::max<std::size_t>(1, width);
      if (!pending_.empty()) spawnWorkers();
    }
    changed_.notify_all();
  }

  std::size_t width() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return width_;
  }

  void stop() {
    cancelAll();
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;
      threads.swap(threads_);
    }
    changed_.notify_all();
    auto self = std::this_thread::get_id();
    for (auto& thread : threads) {
      if (thread.get_id() == self) {
        thread.detach();
      } else {
        thread.join();
      }
    }
  }

 private:
  // Called under the lock. Workers are started lazily, up to the width.
  void spawnWorkers() {
    while (threads_.size() < width_ && !stopping_) {
      threads_.emplace_back([self = shared_from_this()] {
        installAlternateSignalStack();
        self->run();
      });
    }
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      changed_.wait(lock, [this] {
        return stopping_ || (!suspended_ && !pending_.empty() && executing_.size() < width_);
      });
      if (stopping_) return;
      auto op = std::move(pending_.front());
      pending_.pop_front();
      executing_.push_back(op);
      lock.unlock();
      op->start();
      lock.lock();
      executing_.erase(std::find(executing_.begin(), executing_.end(), op));
      // Idle waiters, and another worker if the width allows one more.
      changed_.notify_all();
      lock.unlock();
      op.reset();
      lock.lock();
    }
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Operation>> pending_;
  std::vector<std::shared_ptr<Operation>> executing_;
  std::vector<std::thread> threads_;
  std::size_t width_;
  bool suspended_ = false;
  bool stopping_ = false;
};

OperationQueue::OperationQueue(std::string name, std::size_t maxConcurrentOperationCount)
    : name_(std::move(name)), state_(std::make_shared<State>(maxConcurrentOperationCount)) {}

OperationQueue::~OperationQueue() { state_->stop(); }

std::shared_ptr<Operation> OperationQueue::addOperation(std::function<void()> work) {
  auto op = std::make_shared<Operation>([work = std::move(work)](const Operation&) {
    if (work) work();
  });
  addOperation(op);
  return op;
}

std::shared_ptr<Operation> OperationQueue::addOperation(Operation::Body body) {
  auto op = std::make_shared<Operation>(std::move(body));
  addOperation(op);
  return op;
}

bool OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  return state_->add(std::move(operation));
}

void OperationQueue::cancelAllOperations() { state_->cancelAll(); }

void OperationQueue::waitUntilAllOperationsAreFinished() { state_->waitUntilIdle(); }

std::size_t OperationQueue::operationCount() const { return state_->count(); }

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  return state_->snapshot();
}

void OperationQueue::setSuspended(bool suspended) { state_->setSuspended(suspended); }

bool OperationQueue::isSuspended() const { return state_->suspended(); }

void OperationQueue::setMaxConcurrentOperationCount(std::size_t count) { state_->setWidth(count); }

std::size_t OperationQueue::maxConcurrentOperationCount() const { return state_->width(); }

}  // namespace platform
