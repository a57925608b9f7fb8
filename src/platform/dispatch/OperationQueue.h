// Runs Operations on threads of its own, at most maxConcurrentOperationCount
// at a time (1 by default: one after another, in the order added).
//
// Ownership: a plain object, not copyable. It holds each operation until the
// operation finishes. Destroying the queue cancels everything (pending
// operations are dropped, running ones see isCancelled()), waits for running
// operations to return and joins its threads; a queue destroyed from one of
// its own operations detaches that thread instead.
// Threading: every member may be called from any thread. Calling
// waitUntilAllOperationsAreFinished() from one of the queue's own operations,
// or while the queue is suspended with work pending, blocks for ever.
// Failure: adding a null or already-queued operation is refused (false);
// operations must not throw.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Operation.h"

namespace platform {

class OperationQueue {
 public:
  explicit OperationQueue(std::string name = {}, std::size_t maxConcurrentOperationCount = 1);
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // Wraps `work` in an operation, queues it and returns it.
  std::shared_ptr<Operation> addOperation(std::function<void()> work);
  // As above, the body receiving its operation (to poll isCancelled()).
  std::shared_ptr<Operation> addOperation(Operation::Body body);
  // Queues `operation`; false (and nothing queued) when it is null or has
  // already been added to a queue.
  bool addOperation(std::shared_ptr<Operation> operation);

  // Cancels every operation: pending ones are dropped (and count as finished
  // at once), running ones are told through isCancelled().
  void cancelAllOperations();
  void waitUntilAllOperationsAreFinished();

  // Operations pending or running.
  std::size_t operationCount() const;
  // The same operations: running ones first, then pending ones in queue order.
  std::vector<std::shared_ptr<Operation>> operations() const;

  // A suspended queue starts no operation (running ones go on).
  void setSuspended(bool suspended);
  bool isSuspended() const;

  // At least 1; lowering it lets running operations finish.
  void setMaxConcurrentOperationCount(std::size_t count);
  std::size_t maxConcurrentOperationCount() const;

  const std::string& name() const { return name_; }

 private:
  class State;
  std::string name_;
  std::shared_ptr<State> state_;
};

}  // namespace platform
