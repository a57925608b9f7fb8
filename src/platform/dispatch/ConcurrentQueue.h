// A queue backed by a fixed pool of worker threads: tasks start in the order
// queued but run side by side, up to one per thread. globalQueue() is the
// process-wide one for background work.
//
// Ownership: a plain object, not copyable; destroying it runs what is already
// queued, drops delayed tasks not yet due and joins the workers (a worker that
// destroys its own queue is detached instead). globalQueue() is created on
// first use and never destroyed.
// Threading: every member may be called from any thread. sync() called from
// one of the pool's threads runs inline, so nested syncs cannot exhaust the
// pool. The pool does not grow: tasks that block waiting for other tasks of
// the same pool can starve it; long blocking jobs belong on their own
// SerialQueue.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"

namespace platform {
namespace detail {
class TaskPool;
}

class ConcurrentQueue final : public DispatchQueue {
 public:
  ConcurrentQueue(std::string label, std::size_t threadCount);
  ~ConcurrentQueue() override;

  void async(Task task) override;
  void asyncAfter(Clock::Duration delay, Task task) override;
  const std::string& label() const override { return label_; }
  bool isCurrent() const override;

  std::size_t threadCount() const { return threadCount_; }
  // When the next delayed task falls due on the current clock, if one
  // waits: a test on a manual clock moves the clock there.
  std::optional<Clock::SteadyTimePoint> nextDueTime() const;

 private:
  std::string label_;
  std::size_t threadCount_;
  std::shared_ptr<detail::TaskPool> pool_;
};

// The shared concurrent queue, with max(2, hardware threads) workers.
ConcurrentQueue& globalQueue();

}  // namespace platform
