#include "stats/KoStatDateUtil.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

#include <fmt/format.h>

namespace lumora {

std::string KoStatDateUtil::stringFromDate(platform::Clock::TimePoint date) {
  return stringFromTTL(std::chrono::duration<double>(date.time_since_epoch()).count());
}

std::string KoStatDateUtil::stringFromTTL(double seconds) {
  // Beyond what a calendar date can hold, the nearest end of the range.
  constexpr double kLimit = 253402300799.0;  // 9999-12-31T23:59:59Z
  double whole = std::isnan(seconds) ? 0.0 : std::floor(std::clamp(seconds, -kLimit, kLimit));
  std::time_t time = static_cast<std::time_t>(whole);
  std::tm utc{};
  gmtime_r(&time, &utc);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", utc.tm_year + 1900, utc.tm_mon + 1,
                     utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

}  // namespace lumora
