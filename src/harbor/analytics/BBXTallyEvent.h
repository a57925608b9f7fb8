// An event the host app reports through Tally: its key ("custom" or
// "predefined"), its metadata ({"custom_type": name} or
// {"predefined_type": type}) and two attribute dictionaries, the fixed ones
// of a predefined kind and the app's own, both validated: at most 21
// entries, numbers and strings only, keys and string values cut to 100
// characters (UTF-16 units, whole characters).
// Plain value; any thread. Failure: invalid attributes are dropped one by
// one with a console message; the event is still made.
#pragma once

#include <string>

#include "platform/Error.h"

namespace lumora {

class BBXTallyEvent {
 public:
  static constexpr std::size_t kMaxAttributeCount = 21;
  static constexpr std::size_t kMaxAttributeLength = 100;

  // `customAttributes` an object (anything else counts as none).
  BBXTallyEvent(std::string key, platform::Json metadata, const platform::Json& customAttributes);
  virtual ~BBXTallyEvent() = default;
  BBXTallyEvent(const BBXTallyEvent&) = default;
  BBXTallyEvent& operator=(const BBXTallyEvent&) = default;

  const std::string& key() const { return key_; }
  const platform::Json& metadata() const { return metadata_; }
  const platform::Json& predefinedAttributes() const { return predefinedAttributes_; }
  const platform::Json& customAttributes() const { return customAttributes_; }

  // The metadata plus "predefined_attributes" and "custom_attributes".
  platform::Json payloadDictionary() const;
  virtual std::string description() const;

  // A new object of the input's valid entries, in its order.
  static platform::Json filterCustomAttributes(const platform::Json& attributes);
  // Adds (key, value) to `dictionary` when valid, cut to length.
  static void addAttribute(const platform::Json& value, const platform::Json& key, platform::Json& dictionary);
  static bool validAttributeValue(const platform::Json& value);
  // A string cut to 100 characters; anything else unchanged.
  static platform::Json truncateAttribute(const platform::Json& attribute);

 protected:
  platform::Json& mutablePredefinedAttributes() { return predefinedAttributes_; }

 private:
  std::string key_;
  platform::Json metadata_;
  platform::Json predefinedAttributes_ = platform::Json::object();
  platform::Json customAttributes_;
};

}  // namespace lumora
