// A cancel signal shared by the parties of one piece of work: whoever runs it
// looks at it (or waits on it), whoever wants it stopped calls cancel().
// cancel() runs the hooks registered with onCancel() (a transfer to abort, a
// wait to end) and wakes every waitFor() at once.
//
// Ownership: shared (shared_ptr) by the work and whoever may cancel it.
// Threading: every member may be called from any thread; hooks run on the
// thread that cancels, outside the object's lock, each exactly once.
// Failure: nothing fails; a wait ended by cancel() answers false.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "platform/dispatch/Clock.h"

namespace platform {

class Cancellation {
 public:
  using Hook = std::function<void()>;
  using HookId = std::uint64_t;

  Cancellation() = default;
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  // Marks the work cancelled and runs the hooks; later calls do nothing.
  void cancel();
  bool isCancelled() const { return cancelled_.load(); }
  // The flag itself, for code that polls (transfers).
  const std::atomic<bool>& flag() const { return cancelled_; }

  // Runs `hook` at cancel(), or at once (on this thread) when cancelled
  // already. The id removes it again.
  HookId onCancel(Hook hook);
  void removeHook(HookId id);

  // Waits `duration` of steady time on Clock::current(). True when the time
  // passed, false as soon as the work is cancelled.
  bool waitFor(Clock::Duration duration);

 private:
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  HookId nextId_ = 1;
  std::map<HookId, Hook> hooks_;
};

}  // namespace platform
