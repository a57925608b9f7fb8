#include "support/MainQueuePump.h"

#include "platform/dispatch/MainQueue.h"

namespace testsupport {

bool pumpUntil(platform::ManualClock& clock, const std::function<bool()>& pred, std::chrono::milliseconds realLimit) {
  auto& queue = platform::MainQueue::main();
  const auto end = std::chrono::steady_clock::now() + realLimit;
  while (std::chrono::steady_clock::now() < end) {
    queue.runUntilIdle();
    if (pred()) return true;
    // Work posted back by another thread first, then the next timer.
    if (queue.runUntil(pred, std::chrono::milliseconds(30))) return true;
    if (auto next = queue.nextDueTime(); next && *next > clock.steadyNow()) clock.advance(*next - clock.steadyNow());
  }
  return pred();
}

}  // namespace testsupport
