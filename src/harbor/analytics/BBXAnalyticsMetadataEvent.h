// The first record of every analytics log file: key "metadata", the
// session's metadata JSON as payload unchanged (absent when the session has
// none), the priority of its file and the fragment's time stamp.
// Plain immutable value; any thread. Nothing fails.
#pragma once

#include <optional>

#include "harbor/analytics/BBXEventLogEvent.h"

namespace lumora {

class BBXAnalyticsMetadataEvent : public BBXEventLogEvent {
 public:
  BBXAnalyticsMetadataEvent(std::uint64_t priority, std::uint64_t timestamp,
                            std::optional<platform::Bytes> metadataJSONData)
      : BBXEventLogEvent(priority, timestamp, "metadata", std::move(metadataJSONData)) {}

  const std::optional<platform::Bytes>& metadataJSONData() const { return payload(); }
};

}  // namespace lumora
