// A place where work runs. Tasks may be handed to a queue from any thread; the
// queue runs them on threads of its own (or, for the main queue, on whichever
// thread pumps it).
//
// Threading: every member may be called from any thread.
// Failure: an empty task is ignored. Tasks must not throw: an exception that
// escapes a task ends the process, as any uncaught exception on a thread does.
#pragma once

#include <functional>
#include <string>

#include "platform/dispatch/Clock.h"

namespace platform {

class DispatchQueue {
 public:
  using Task = std::function<void()>;

  DispatchQueue() = default;
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;
  virtual ~DispatchQueue() = default;

  // Queues `task` and returns at once.
  virtual void async(Task task) = 0;

  // Runs `task` on this queue and returns once it has finished. Called from a
  // task already running on this queue (isCurrent()), it runs `task` inline
  // at once, since a serial queue would otherwise wait for itself. As with any
  // blocking wait, a cycle (queue A waits in B.sync while B's task waits in
  // A.sync) deadlocks; callers must not build one.
  virtual void sync(Task task);

  // Queues `task` once `delay` has passed on Clock::current() (the clock that
  // is current at the time of the call; a ManualClock advanced past the time
  // releases it). Tasks that fall due together run in order of their due time,
  // then of scheduling. A non-positive delay queues at once.
  virtual void asyncAfter(Clock::Duration delay, Task task) = 0;

  virtual const std::string& label() const = 0;

  // True while the calling thread runs a task of this queue.
  virtual bool isCurrent() const = 0;
};

}  // namespace platform
