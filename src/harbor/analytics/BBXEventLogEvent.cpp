#include "harbor/analytics/BBXEventLogEvent.h"

#include <functional>
#include <string_view>

#include <fmt/format.h>

namespace lumora {

BBXEventLogEvent::BBXEventLogEvent(std::uint64_t priority, std::uint64_t timestamp, std::string key,
                                   std::optional<platform::Bytes> payload)
    : priority_(priority), timestamp_(timestamp), key_(std::move(key)), payload_(std::move(payload)) {}

platform::Bytes BBXEventLogEvent::eventData() const {
  // The time stamp is written as a signed number, as readers expect.
  std::string head = fmt::format("{}\t{}", static_cast<std::int64_t>(timestamp_), key_);
  if (payload_) head += fmt::format("\t{}\t", payload_->size());
  platform::Bytes out(head.begin(), head.end());
  if (payload_) out.insert(out.end(), payload_->begin(), payload_->end());
  out.push_back('\n');
  return out;
}

bool BBXEventLogEvent::isEqual(const BBXEventLogEvent& other) const {
  return priority_ == other.priority_ && timestamp_ == other.timestamp_ && key_ == other.key_ &&
         payload_ == other.payload_;
}

std::uint64_t BBXEventLogEvent::hash() const {
  const std::uint64_t keyHash = std::hash<std::string>{}(key_);
  const std::uint64_t payloadHash =
      payload_ ? std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(payload_->data()),
                                                                payload_->size()))
               : 0;
  return priority_ + 2 * timestamp_ + 4 * keyHash + 8 * payloadHash;
}

std::string BBXEventLogEvent::description() const {
  return fmt::format("BBXEventLogEvent {{priority={}, timestamp={}, key={}}}", priority_, timestamp_, key_);
}

}  // namespace lumora
