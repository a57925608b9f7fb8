// Calendar seconds to Clock::TimePoint without overflow. A time point counts
// nanoseconds in 64 bits, so it holds only the years 1677 to 2262, while
// dates on the wire go far beyond ("Expires=Fri, 31 Dec 9999 23:59:59 GMT" is
// common); converting those directly wraps around into the past. Stateless,
// any thread, cannot fail.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/dispatch/Clock.h"

namespace platform {

// Seconds since 1970 (UTC) as a time point, clamped to the range a time
// point can hold.
inline Clock::TimePoint timePointFromSeconds(std::int64_t secondsSince1970) {
  using std::chrono::seconds;
  constexpr std::int64_t kLatest =
      std::chrono::duration_cast<seconds>(Clock::TimePoint::max().time_since_epoch()).count();
  constexpr std::int64_t kEarliest =
      std::chrono::duration_cast<seconds>(Clock::TimePoint::min().time_since_epoch()).count();
  if (secondsSince1970 >= kLatest) return Clock::TimePoint(seconds(kLatest));
  if (secondsSince1970 <= kEarliest) return Clock::TimePoint(seconds(kEarliest));
  return Clock::TimePoint(seconds(secondsSince1970));
}

}  // namespace platform
