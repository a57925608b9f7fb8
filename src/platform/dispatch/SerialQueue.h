// A queue with one worker thread that runs its tasks one at a time, in the
// order they were queued (delayed tasks join the end of the line when they
// fall due).
//
// Ownership: a plain object, not copyable; hold it however suits (members,
// unique_ptr, shared_ptr). Destroying it runs every task already queued
// (including those they queue), drops delayed tasks that are not yet due, and
// joins the worker. A queue may be destroyed from one of its own tasks (say,
// when that task drops the last shared_ptr to the queue's owner): the worker
// is then detached and ends on its own once the queue is empty.
// Threading: every member may be called from any thread. sync() called from
// this queue's own task runs inline.
// Failure: as DispatchQueue (empty tasks ignored; tasks must not throw).
#pragma once

#include <memory>
#include <string>

#include "platform/dispatch/DispatchQueue.h"

namespace platform {
namespace detail {
class TaskPool;
}

class SerialQueue final : public DispatchQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue() override;

  void async(Task task) override;
  void asyncAfter(Clock::Duration delay, Task task) override;
  const std::string& label() const override { return label_; }
  bool isCurrent() const override;

 private:
  std::string label_;
  std::shared_ptr<detail::TaskPool> pool_;
};

}  // namespace platform
