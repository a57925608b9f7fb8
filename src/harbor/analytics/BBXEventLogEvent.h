// One analytics record: priority (0 high, 1 medium, 2 low; it picks the log
// file), time stamp in milliseconds since 1970, key and optional payload.
// Its bytes in a log file are: the time stamp in decimal, TAB, the key
// (UTF-8), and only with a payload TAB, the payload's length in decimal,
// TAB and the payload unchanged; then LF. Nothing is escaped: a reader finds
// the end of a payload by its length.
// Plain immutable value (subclasses add fields); any thread. Nothing fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Bytes.h"

namespace lumora {

class BBXEventLogEvent {
 public:
  BBXEventLogEvent(std::uint64_t priority, std::uint64_t timestamp, std::string key,
                   std::optional<platform::Bytes> payload = std::nullopt);
  virtual ~BBXEventLogEvent() = default;
  BBXEventLogEvent(const BBXEventLogEvent&) = default;
  BBXEventLogEvent& operator=(const BBXEventLogEvent&) = default;

  std::uint64_t priority() const { return priority_; }
  std::uint64_t timestamp() const { return timestamp_; }
  const std::string& key() const { return key_; }
  const std::optional<platform::Bytes>& payload() const { return payload_; }

  // The record bytes.
  platform::Bytes eventData() const;

  // Same priority, time stamp and key, and both payloads absent or equal.
  bool isEqual(const BBXEventLogEvent& other) const;
  friend bool operator==(const BBXEventLogEvent& a, const BBXEventLogEvent& b) { return a.isEqual(b); }
  // priority + 2 x timestamp + 4 x hash(key) + 8 x hash(payload), wrapping.
  std::uint64_t hash() const;

  virtual std::string description() const;

 private:
  std::uint64_t priority_;
  std::uint64_t timestamp_;
  std::string key_;
  std::optional<platform::Bytes> payload_;
};

}  // namespace lumora
