// The application's life-cycle events: installed (priority 0), launched and
// crashed (1), and one per application notification: terminated, memory
// warning, entered background, entered foreground (1), became inactive (0
// when maintenance should run on the way to the background, else 1),
// became active (0). Their payload holds only "eventId".
// Plain immutable values; any thread. Failure: a notification name not in
// the list gives no event.
#pragma once

#include <optional>
#include <string>

#include "harbor/analytics/BBXAnalyticsEvent.h"

namespace lumora {

class BBXAnalyticsApplicationLifecycleEvent : public BBXAnalyticsEvent {
 public:
  static std::optional<BBXAnalyticsApplicationLifecycleEvent> applicationInstalledEvent(
      std::uint64_t timestamp, const std::string& eventIdentifier);
  static std::optional<BBXAnalyticsApplicationLifecycleEvent> applicationLaunchedEvent(
      std::uint64_t timestamp, const std::string& eventIdentifier);
  static std::optional<BBXAnalyticsApplicationLifecycleEvent> applicationCrashedEvent(
      std::uint64_t timestamp, const std::string& eventIdentifier);
  // The event of the application notification `name` (platform/app).
  static std::optional<BBXAnalyticsApplicationLifecycleEvent> make(const std::string& notificationName,
                                                                   std::uint64_t timestamp,
                                                                   const std::string& eventIdentifier,
                                                                   bool highPriorityEventOnBackground);

 protected:
  const char* className() const override { return "BBXAnalyticsApplicationLifecycleEvent"; }

 private:
  using BBXAnalyticsEvent::BBXAnalyticsEvent;
  static std::optional<BBXAnalyticsApplicationLifecycleEvent> withKey(const std::string& key, std::uint64_t priority,
                                                                      std::uint64_t timestamp,
                                                                      const std::string& eventIdentifier);
};

}  // namespace lumora
