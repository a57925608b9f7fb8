// Sampling of analytics events: only the application life-cycle events
// (launched, terminated, crashed, memory warning, background, foreground,
// inactive, active) are sampled, and a whole installation keeps or drops
// them: it keeps them when the Java string hash of its installation
// identifier is a multiple of the sampling factor. Beta testers (any beta
// token) are never sampled; a factor below 2 samples nothing.
// Stateless; any thread. Nothing fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "harbor/analytics/BBXEventLogEvent.h"

namespace lumora {

class BBXAnalyticsEventFilter {
 public:
  // True to drop the event; no event is dropped.
  static bool shouldDiscardEvent(const BBXEventLogEvent* event, const std::optional<std::string>& betaToken,
                                 const std::optional<std::string>& installationID, std::int64_t factor);
  static bool samplingEnabledForEventType(const std::string& eventKey);
  static bool shouldDiscardEventWithInstallationID(const std::optional<std::string>& installationID,
                                                   std::int64_t samplingFactor);
  // h = 31 x h + unit over the text's UTF-16 units, wrapping at 32 bits.
  static std::int32_t javaHashCodeForString(const std::string& text);
};

}  // namespace lumora
