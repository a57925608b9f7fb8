// A view controller appeared or disappeared: priority 2, key
// "view_controller_appeared" / "view_controller_disappeared", values
// {"view_controller_class": its class name, "view_controller_title": its
// title or ""}.
// Plain immutable value; build it on the main thread (it reads the
// controller). Failure: a class without readable name gives no event.
#pragma once

#include <optional>
#include <string>

#include "harbor/analytics/BBXAnalyticsEvent.h"
#include "platform/ui/ViewController.h"

namespace lumora {

class BBXAnalyticsViewControllerEvent : public BBXAnalyticsEvent {
 public:
  static std::optional<BBXAnalyticsViewControllerEvent> make(const platform::ui::ViewController& viewController,
                                                             const std::string& eventKey, std::uint64_t timestamp,
                                                             const std::string& eventIdentifier);
  static std::optional<BBXAnalyticsViewControllerEvent> appearedEvent(const platform::ui::ViewController& viewController,
                                                                      std::uint64_t timestamp,
                                                                      const std::string& eventIdentifier);
  static std::optional<BBXAnalyticsViewControllerEvent> disappearedEvent(
      const platform::ui::ViewController& viewController, std::uint64_t timestamp, const std::string& eventIdentifier);

  // The dynamic class's name ("lumora::LoginScreen"); nullopt when the
  // run-time cannot spell it.
  static std::optional<std::string> classNameOf(const platform::ui::ViewController& viewController);

 protected:
  const char* className() const override { return "BBXAnalyticsViewControllerEvent"; }

 private:
  using BBXAnalyticsEvent::BBXAnalyticsEvent;
};

}  // namespace lumora
