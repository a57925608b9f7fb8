// A stand-in for the phone's background tasks: work that asks the system for
// time to finish after the app has left the foreground. A task begins with a
// name and an expiration handler and is ended by its owner; when the time the
// system grants runs out, the expiration handler of every running task is
// called, and the owner must end its task there.
//
// Nothing here suspends the process: the app (or a test) says that the time
// is up with expireAll(), and timeRemaining() counts down on platform::Clock
// from the moment the oldest running task began.
//
// Ownership: one process-wide table of running tasks; begin() keeps a copy of
// the handler until the task ends. Threading: every member may be called from
// any thread. Expiration handlers run on the thread that calls expireAll()
// (call it on the main thread, where the phone runs them) without the
// table's lock held, so a handler may end its task. Failures: none reported;
// ending the invalid identifier, or a task already ended, does nothing; a task
// that its handler leaves running is ended by expireAll() all the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

class BackgroundTask {
 public:
  using Identifier = std::uint64_t;
  using ExpirationHandler = std::function<void()>;

  // Never the identifier of a running task.
  static constexpr Identifier kInvalid = 0;
  // Seconds the system grants, counted from the oldest running task's start.
  static constexpr double kDefaultTimeAllowance = 180.0;

  // Starts a task; its identifier (never kInvalid).
  static Identifier begin(const std::string& name, ExpirationHandler expirationHandler);
  // Ends a running task; anything else is ignored.
  static void end(Identifier identifier);

  // Seconds left before the tasks expire, 0 at the least; infinity while no
  // task runs.
  static double timeRemaining();
  static void setTimeAllowance(double seconds);

  static std::size_t runningCount();
  // Names of the running tasks, oldest first.
  static std::vector<std::string> runningNames();

  // The time is up: calls the expiration handler of every task running now,
  // oldest first, then ends those that their handler left running. Returns
  // how many that was (0 when every owner ended its task).
  static std::size_t expireAll();

  // No tasks, the default allowance (tests).
  static void resetForTesting();

  BackgroundTask() = delete;
};

}  // namespace platform
