// UTC date texts of the statistics kit: "yyyy-MM-ddTHH:mm:ssZ" (a literal
// Z; whole seconds, the fraction dropped).
// Stateless; any thread. Failures: none.
#pragma once

#include <string>

#include "platform/dispatch/Clock.h"

namespace lumora {

class KoStatDateUtil {
 public:
  KoStatDateUtil() = delete;

  static std::string stringFromDate(platform::Clock::TimePoint date);
  // The moment `seconds` after 1970-01-01T00:00:00Z.
  static std::string stringFromTTL(double seconds);
};

}  // namespace lumora
