// Analytics time stamps: whole milliseconds since 1970 on the platform
// clock (fraction dropped). Virtual so that tests can hand the analytics
// controller fixed ones.
// Stateless; any thread. Nothing fails.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/dispatch/Clock.h"

namespace lumora {

class BBXAnalyticsTimestampGenerator {
 public:
  virtual ~BBXAnalyticsTimestampGenerator() = default;
  virtual std::uint64_t generateAnalyticsTimestamp() {
    const auto since1970 = platform::Clock::currentTime().time_since_epoch();
    const auto millis = std::chrono::floor<std::chrono::milliseconds>(since1970).count();
    return millis < 0 ? 0 : static_cast<std::uint64_t>(millis);
  }
};

}  // namespace lumora
