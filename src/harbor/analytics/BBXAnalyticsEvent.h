// An analytics record whose payload is the compact JSON of its values plus
// "eventId" (its identifier, a UUID text). The kinds: Tally events (priority
// 2, key "custom" or "predefined"), application life-cycle events and view
// controller appearances.
// Plain immutable value; any thread. Failure: values that cannot be written
// as JSON (text that is no UTF-8) give no event (logged while the
// platform's debug switch is on).
#pragma once

#include <optional>
#include <string>

#include "harbor/analytics/BBXEventLogEvent.h"
#include "harbor/analytics/BBXTallyEvent.h"
#include "platform/Error.h"

namespace lumora {

class BBXAnalyticsEvent : public BBXEventLogEvent {
 public:
  // `payloadValues` an object (null counts as empty); its "eventId" is
  // replaced by the identifier.
  static std::optional<BBXAnalyticsEvent> make(std::uint64_t priority, std::uint64_t timestamp, const std::string& key,
                                               const std::string& eventIdentifier,
                                               const platform::Json& payloadValues = platform::Json::object());
  // Priority 2, the Tally event's key and payload dictionary.
  static std::optional<BBXAnalyticsEvent> make(const BBXTallyEvent& tallyEvent, std::uint64_t timestamp,
                                               const std::string& eventIdentifier);

  const std::string& eventIdentifier() const { return eventIdentifier_; }
  // The values as given, without "eventId".
  const platform::Json& stringPayloadValueDict() const { return stringPayloadValueDict_; }

  std::string description() const override;

 protected:
  BBXAnalyticsEvent(BBXEventLogEvent record, std::string eventIdentifier, platform::Json values);
  virtual const char* className() const { return "BBXAnalyticsEvent"; }

 private:
  std::string eventIdentifier_;
  platform::Json stringPayloadValueDict_;
};

}  // namespace lumora
