#include "platform/MainQueue.h"

#include <algorithm>
#include <vector>

namespace platform {
namespace {

// How deep the calling thread is in runUntilIdle/runUntil calls.
thread_local int tPumpDepth = 0;

class PumpScope {
 public:
  PumpScope() { ++tPumpDepth; }
  ~PumpScope() { --tPumpDepth; }
  PumpScope(const PumpScope&) = delete;
  PumpScope& operator=(const PumpScope&) = delete;
};

// While idle in runUntil, how often pred and the clock are looked at again.
constexpr auto kIdlePoll = std::chrono::milliseconds(2);

}  // namespace

MainQueue& MainQueue::main() {
  static MainQueue* queue = new MainQueue();
  return *queue;
}

bool MainQueue::isMainThread() {
  return tPumpDepth > 0 || main().boundThread_.load() == std::this_thread::get_id();
}

void MainQueue::bindToCurrentThread() { boundThread_.store(std::this_thread::get_id()); }

void MainQueue::async(Task task) {
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

void MainQueue::asyncAfter(Clock::Duration delay, Task task) {
  if (!task) return;
  if (delay <= Clock::Duration::zero()) {
    async(std::move(task));
    return;
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    delayed_.add(delay, std::move(task));
  }
  workAvailable_.notify_all();
}

bool MainQueue::runOne() {
  Task task;
  std::vector<Task> dropped;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    delayed_.takeDue(ready_, dropped);
    if (!ready_.empty()) {
      task = std::move(ready_.front());
      ready_.pop_front();
    }
  }
  dropped.clear();
  if (!task) return false;
  task();
  return true;
}

std::size_t MainQueue::runUntilIdle() {
  PumpScope pumping;
  std::size_t count = 0;
  while (runOne()) ++count;
  return count;
}

bool MainQueue::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds realTimeout) {
  PumpScope pumping;
  const auto end = std::chrono::steady_clock::now() + realTimeout;
  while (true) {
    if (pred()) return true;
    if (runOne()) continue;
    auto now = std::chrono::steady_clock::now();
    if (now >= end) return pred();
    std::unique_lock<std::mutex> lock(mutex_);
    workAvailable_.wait_until(lock, std::min(end, now + kIdlePoll),
                              [this] { return !ready_.empty() || delayed_.anyDue(); });
  }
}

}  // namespace platform
