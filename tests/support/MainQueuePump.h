// Pumps the main queue on a manual clock while other threads (the network,
// the local cloud) do real work: runs what is queued, moves the clock on to
// the next delayed task when nothing else is ready, and otherwise waits
// (bounded, in real time) for work to be posted back.
#pragma once

#include <chrono>
#include <functional>

#include "platform/dispatch/Clock.h"
#include "support/Sanitizers.h"

namespace testsupport {

// True once pred() holds; false when `realLimit` of real time passed first.
bool pumpUntil(platform::ManualClock& clock, const std::function<bool()>& pred,
               std::chrono::milliseconds realLimit = scaled(std::chrono::seconds(20)));

}  // namespace testsupport
