#include "harbor/analytics/BBXAnalyticsViewControllerEvent.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace lumora {

std::optional<std::string> BBXAnalyticsViewControllerEvent::classNameOf(
    const platform::ui::ViewController& viewController) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(typeid(viewController).name(), nullptr, nullptr, &status), std::free);
  if (status != 0 || !name) return std::nullopt;
  return std::string(name.get());
}

std::optional<BBXAnalyticsViewControllerEvent> BBXAnalyticsViewControllerEvent::make(
    const platform::ui::ViewController& viewController, const std::string& eventKey, std::uint64_t timestamp,
    const std::string& eventIdentifier) {
  const auto className = classNameOf(viewController);
  if (!className) return std::nullopt;
  const platform::Json values = {{"view_controller_class", *className},
                                 {"view_controller_title", viewController.title().value_or("")}};
  auto event = BBXAnalyticsEvent::make(2, timestamp, eventKey, eventIdentifier, values);
  if (!event) return std::nullopt;
  return BBXAnalyticsViewControllerEvent(*event, event->eventIdentifier(), event->stringPayloadValueDict());
}

std::optional<BBXAnalyticsViewControllerEvent> BBXAnalyticsViewControllerEvent::appearedEvent(
    const platform::ui::ViewController& viewController, std::uint64_t timestamp, const std::string& eventIdentifier) {
  return make(viewController, "view_controller_appeared", timestamp, eventIdentifier);
}

std::optional<BBXAnalyticsViewControllerEvent> BBXAnalyticsViewControllerEvent::disappearedEvent(
    const platform::ui::ViewController& viewController, std::uint64_t timestamp, const std::string& eventIdentifier) {
  return make(viewController, "view_controller_disappeared", timestamp, eventIdentifier);
}

}  // namespace lumora
