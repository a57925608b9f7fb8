#include "harbor/analytics/BBXAnalyticsEventFilter.h"

#include <set>

#include "platform/Bytes.h"

namespace lumora {

bool BBXAnalyticsEventFilter::shouldDiscardEvent(const BBXEventLogEvent* event,
                                                 const std::optional<std::string>& betaToken,
                                                 const std::optional<std::string>& installationID,
                                                 std::int64_t factor) {
  if (!event) return true;
  if (betaToken) return false;
  if (!samplingEnabledForEventType(event->key())) return false;
  return shouldDiscardEventWithInstallationID(installationID, factor);
}

bool BBXAnalyticsEventFilter::samplingEnabledForEventType(const std::string& eventKey) {
  static const auto& kSampledKeys = *new std::set<std::string>{
      "app_launched",           "app_terminated",         "app_crashed",         "app_memory_warning",
      "app_entered_background", "app_entered_foreground", "app_became_inactive", "app_became_active"};
  return kSampledKeys.count(eventKey) != 0;
}

bool BBXAnalyticsEventFilter::shouldDiscardEventWithInstallationID(const std::optional<std::string>& installationID,
                                                                   std::int64_t samplingFactor) {
  if (!installationID || samplingFactor < 2) return false;
  const std::int64_t hash = javaHashCodeForString(*installationID);
  return hash % samplingFactor != 0;
}

std::int32_t BBXAnalyticsEventFilter::javaHashCodeForString(const std::string& text) {
  std::uint32_t hash = 0;
  for (char16_t unit : platform::utf16Units(text)) hash = 31 * hash + unit;
  return static_cast<std::int32_t>(hash);
}

}  // namespace lumora
