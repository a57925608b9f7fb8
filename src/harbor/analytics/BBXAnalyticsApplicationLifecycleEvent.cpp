#include "harbor/analytics/BBXAnalyticsApplicationLifecycleEvent.h"

#include "platform/app/Application.h"

namespace lumora {

std::optional<BBXAnalyticsApplicationLifecycleEvent> BBXAnalyticsApplicationLifecycleEvent::withKey(
    const std::string& key, std::uint64_t priority, std::uint64_t timestamp, const std::string& eventIdentifier) {
  auto event = BBXAnalyticsEvent::make(priority, timestamp, key, eventIdentifier);
  if (!event) return std::nullopt;
  return BBXAnalyticsApplicationLifecycleEvent(*event, event->eventIdentifier(), event->stringPayloadValueDict());
}

std::optional<BBXAnalyticsApplicationLifecycleEvent> BBXAnalyticsApplicationLifecycleEvent::applicationInstalledEvent(
    std::uint64_t timestamp, const std::string& eventIdentifier) {
  return withKey("app_installed", 0, timestamp, eventIdentifier);
}

std::optional<BBXAnalyticsApplicationLifecycleEvent> BBXAnalyticsApplicationLifecycleEvent::applicationLaunchedEvent(
    std::uint64_t timestamp, const std::string& eventIdentifier) {
  return withKey("app_launched", 1, timestamp, eventIdentifier);
}

std::optional<BBXAnalyticsApplicationLifecycleEvent> BBXAnalyticsApplicationLifecycleEvent::applicationCrashedEvent(
    std::uint64_t timestamp, const std::string& eventIdentifier) {
  return withKey("app_crashed", 1, timestamp, eventIdentifier);
}

std::optional<BBXAnalyticsApplicationLifecycleEvent> BBXAnalyticsApplicationLifecycleEvent::make(
    const std::string& notificationName, std::uint64_t timestamp, const std::string& eventIdentifier,
    bool highPriorityEventOnBackground) {
  struct Kind {
    const char* notification;
    const char* key;
    std::uint64_t priority;
  };
  const Kind kinds[] = {
      {platform::kApplicationWillTerminateNotification, "app_terminated", 1},
      {platform::kApplicationDidReceiveMemoryWarningNotification, "app_memory_warning", 1},
      {platform::kApplicationDidEnterBackgroundNotification, "app_entered_background", 1},
      {platform::kApplicationWillEnterForegroundNotification, "app_entered_foreground", 1},
      {platform::kApplicationWillResignActiveNotification, "app_became_inactive",
       highPriorityEventOnBackground ? 0u : 1u},
      {platform::kApplicationDidBecomeActiveNotification, "app_became_active", 0},
  };
  for (const Kind& kind : kinds) {
    if (notificationName == kind.notification) return withKey(kind.key, kind.priority, timestamp, eventIdentifier);
  }
  return std::nullopt;
}

}  // namespace lumora
