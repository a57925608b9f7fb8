#include "harbor/analytics/BBXAnalyticsEvent.h"

#include <fmt/format.h>

#include "harbor/HBRDebug.h"
#include "platform/diagnostics/Console.h"

namespace lumora {

BBXAnalyticsEvent::BBXAnalyticsEvent(BBXEventLogEvent record, std::string eventIdentifier, platform::Json values)
    : BBXEventLogEvent(std::move(record)),
      eventIdentifier_(std::move(eventIdentifier)),
      stringPayloadValueDict_(std::move(values)) {}

std::optional<BBXAnalyticsEvent> BBXAnalyticsEvent::make(std::uint64_t priority, std::uint64_t timestamp,
                                                         const std::string& key, const std::string& eventIdentifier,
                                                         const platform::Json& payloadValues) {
  platform::Json values = payloadValues.is_object() ? payloadValues : platform::Json::object();
  platform::Json document = values;
  document["eventId"] = eventIdentifier;
  std::string json;
  try {
    json = document.dump();
  } catch (const platform::Json::exception& error) {
    if (HBRDebugEnabled()) {
      platform::consoleLog(fmt::format(
          "[Blackbox:Tally] BBXAnalyticsEvent unable to JSON-encode payloadValueDictionary {{error: {}}}",
          error.what()));
    }
    return std::nullopt;
  }
  return BBXAnalyticsEvent(BBXEventLogEvent(priority, timestamp, key, platform::toBytes(json)), eventIdentifier,
                           std::move(values));
}

std::optional<BBXAnalyticsEvent> BBXAnalyticsEvent::make(const BBXTallyEvent& tallyEvent, std::uint64_t timestamp,
                                                         const std::string& eventIdentifier) {
  return make(2, timestamp, tallyEvent.key(), eventIdentifier, tallyEvent.payloadDictionary());
}

std::string BBXAnalyticsEvent::description() const {
  return fmt::format("{} {{id={}, key={}, stringPayloadValueDict={}}}", className(), eventIdentifier_, key(),
                     stringPayloadValueDict_.dump(-1, ' ', false, platform::Json::error_handler_t::replace));
}

}  // namespace lumora
