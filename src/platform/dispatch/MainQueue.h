// The queue of the main thread. Tasks posted from any thread wait until the
// app's loop (or a test) pumps the queue; they then run on the pumping thread,
// one at a time, in the order queued (delayed tasks join the end of the line
// once due on the clock).
//
// Ownership: one process-wide instance, main(), created on first use and
// never destroyed.
// Threading: async, asyncAfter and sync may be called from any thread; sync
// from a thread other than the main thread blocks until somebody pumps. Pump
// from one thread at a time; a task may pump again (nested loops) from
// within. isMainThread() holds on the thread bound with bindToCurrentThread()
// and on any thread while it is pumping.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/dispatch/DispatchQueue.h"

namespace platform {
namespace detail {
class TaskPool;
}

class MainQueue final : public DispatchQueue {
 public:
  static MainQueue& main();
  static bool isMainThread();
  // Runs `task` at once when called on the main thread, else queues it there.
  static void runOrPost(Task task);

  // Makes the calling thread the main thread from now on (the app's loop
  // thread).
  void bindToCurrentThread();
  // Tests: no thread is bound any more, and what is queued is dropped unrun,
  // so one test's leftovers cannot run inside the next.
  void resetForTesting();

  void async(Task task) override;
  void asyncAfter(Clock::Duration delay, Task task) override;
  const std::string& label() const override { return label_; }
  bool isCurrent() const override { return isMainThread(); }

  // Runs everything queued, including tasks that those tasks queue and
  // delayed tasks due on the clock, until nothing is left; returns how many
  // ran. Never blocks waiting for new work (a task that always queues itself
  // again keeps it running).
  std::size_t runUntilIdle();

  // When the next delayed task falls due on the current clock, if one
  // waits: a test on a manual clock moves the clock there when idle.
  std::optional<Clock::SteadyTimePoint> nextDueTime() const;

  // Pumps until pred() holds or `realTimeout` of real time has passed,
  // blocking while idle (woken by new tasks; pred and the clock are looked at
  // again every few milliseconds). pred is checked before each task and is
  // read on the pumping thread. Returns pred() at the end.
  bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds realTimeout);

 private:
  MainQueue();

  const std::string label_ = "main";
  // The same line of work as the other queues, without worker threads.
  std::shared_ptr<detail::TaskPool> line_;
  std::atomic<std::thread::id> boundThread_{};
};

}  // namespace platform
