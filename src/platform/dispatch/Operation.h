// One unit of work for an OperationQueue. The body receives the operation
// itself as a handle, so long work can look at isCancelled() between steps
// and stop early. Subclasses may override main() instead of passing a body,
// and cancel() to stop work that runs elsewhere (their call of
// Operation::cancel() marks them cancelled). A subclass that can also be
// started outside a queue calls finish() when that run ends, so that
// waitUntilFinished() follows it too. start() runs an operation on the
// calling thread, without a queue.
//
// Ownership: shared; the queue holds it from addOperation until it finishes.
// Threading: cancel() and the state queries may be called from any thread;
// main() runs on a thread of the queue, or on the thread that calls start().
// Failure: an operation runs at most once; one cancelled before it started
// finishes without running.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace platform {

class OperationQueue;

class Operation {
 public:
  using Body = std::function<void(const Operation&)>;

  explicit Operation(Body body = nullptr);
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;
  virtual ~Operation() = default;

  // Marks the operation cancelled: dropped if it has not started, told
  // through isCancelled() if it is running.
  virtual void cancel();
  bool isCancelled() const { return cancelled_.load(); }
  bool isExecuting() const;
  bool isFinished() const;

  // Blocks until the operation has finished (or was dropped by a cancel).
  void waitUntilFinished() const;

  // Runs main() on the calling thread unless cancelled, then finishes. Does
  // nothing for an operation that has started or finished already.
  void start();

 protected:
  // The work; by default calls the body.
  virtual void main();
  // Marks the operation finished and wakes its waiters (a queue does so when
  // main() returns). Further calls change nothing.
  void finish();

 private:
  friend class OperationQueue;
  enum class State { Ready, Executing, Finished };

  // Marks the operation as taken by a queue; false when it already was.
  bool claim();

  Body body_;
  std::atomic<bool> cancelled_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable finished_;
  State state_ = State::Ready;
  bool claimed_ = false;
};

}  // namespace platform
