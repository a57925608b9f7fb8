// An event named by the host app: key "custom", metadata
// {"custom_type": the name cut to 100 characters}.
// Plain value; any thread. Failure: no name, no event.
#pragma once

#include <optional>
#include <string>

#include "harbor/analytics/BBXTallyEvent.h"

namespace lumora {

class BBXTallyCustomEvent : public BBXTallyEvent {
 public:
  static std::optional<BBXTallyCustomEvent> make(const std::optional<std::string>& name,
                                                 const platform::Json& customAttributes = nullptr);
  std::string description() const override;

 private:
  using BBXTallyEvent::BBXTallyEvent;
};

}  // namespace lumora
