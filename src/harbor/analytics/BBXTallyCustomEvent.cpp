#include "harbor/analytics/BBXTallyCustomEvent.h"

#include <fmt/format.h>

namespace lumora {

std::optional<BBXTallyCustomEvent> BBXTallyCustomEvent::make(const std::optional<std::string>& name,
                                                             const platform::Json& customAttributes) {
  if (!name) return std::nullopt;
  return BBXTallyCustomEvent("custom", {{"custom_type", truncateAttribute(*name)}}, customAttributes);
}

std::string BBXTallyCustomEvent::description() const {
  return fmt::format("BBXTallyCustomEvent {{ {} }}", customAttributes().dump());
}

}  // namespace lumora
