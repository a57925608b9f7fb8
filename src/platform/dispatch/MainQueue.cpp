#include "platform/dispatch/MainQueue.h"

#include <algorithm>

#include "platform/SignalStack.h"
#include "platform/dispatch/TaskPool.h"

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

MainQueue::MainQueue() : line_(detail::TaskPool::withoutWorkers()) {}

MainQueue& MainQueue::main() {
  static MainQueue* queue = new MainQueue();
  return *queue;
}

bool MainQueue::isMainThread() {
  return tPumpDepth > 0 || main().boundThread_.load() == std::this_thread::get_id();
}

void MainQueue::runOrPost(Task task) {
  if (isMainThread()) {
    task();
  } else {
    main().async(std::move(task));
  }
}

void MainQueue::bindToCurrentThread() {
  installAlternateSignalStack();
  boundThread_.store(std::this_thread::get_id());
}

void MainQueue::resetForTesting() {
  boundThread_.store(std::thread::id());
  line_->discardAll();
}

void MainQueue::async(Task task) { line_->post(std::move(task)); }

void MainQueue::asyncAfter(Clock::Duration delay, Task task) {
  line_->postAfter(delay, std::move(task));
}

std::optional<Clock::SteadyTimePoint> MainQueue::nextDueTime() const { return line_->nextDelayedDue(); }

std::size_t MainQueue::runUntilIdle() {
  PumpScope pumping;
  std::size_t count = 0;
  while (line_->runOne()) ++count;
  return count;
}

bool MainQueue::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds realTimeout) {
  PumpScope pumping;
  const auto end = std::chrono::steady_clock::now() + realTimeout;
  while (true) {
    if (pred()) return true;
    if (line_->runOne()) continue;
    auto now = std::chrono::steady_clock::now();
    if (now >= end) return pred();
    line_->waitForReady(std::min(end, now + kIdlePoll));
  }
}

}  // namespace platform
