// The builders of the statistics document ("stat_value"): one class per
// level (item, category, day package, root), each answering getSource with
// the JSON object that stands for it, or nothing when it has nothing to say.
// Every value the kit itself writes is a text; params keep the values they
// were recorded with.
// Plain objects; use from one thread at a time. Failures: none (nothing).
#pragma once

#include <optional>
#include <string>

#include "platform/Error.h"

namespace lumora {

class KoASendMessageJsonBase {
 public:
  virtual ~KoASendMessageJsonBase() = default;
  // The object that stands for this builder; nullopt in the base.
  virtual std::optional<platform::Json> getSource() const { return std::nullopt; }
};

// Seconds since 1970 as whole milliseconds: seconds × 1000 formatted "%.0f".
std::string millisecondsText(double seconds);

// True for a JSON object with at least one member.
inline bool isNonEmptyObject(const std::optional<platform::Json>& json) {
  return json && json->is_object() && !json->empty();
}

}  // namespace lumora
