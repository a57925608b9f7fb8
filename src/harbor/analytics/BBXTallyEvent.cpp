#include "harbor/analytics/BBXTallyEvent.h"

#include <fmt/format.h>

#include "platform/Bytes.h"
#include "platform/diagnostics/Console.h"

namespace lumora {

BBXTallyEvent::BBXTallyEvent(std::string key, platform::Json metadata, const platform::Json& customAttributes)
    : key_(std::move(key)), metadata_(std::move(metadata)), customAttributes_(filterCustomAttributes(customAttributes)) {}

platform::Json BBXTallyEvent::payloadDictionary() const {
  platform::Json payload = metadata_.is_object() ? metadata_ : platform::Json::object();
  payload["predefined_attributes"] = predefinedAttributes_;
  payload["custom_attributes"] = customAttributes_;
  return payload;
}

std::string BBXTallyEvent::description() const {
  return fmt::format("BBXTallyEvent {{ {} }}", customAttributes_.dump());
}

platform::Json BBXTallyEvent::filterCustomAttributes(const platform::Json& attributes) {
  platform::Json out = platform::Json::object();
  if (!attributes.is_object()) return out;
  for (const auto& [key, value] : attributes.items()) addAttribute(value, key, out);
  return out;
}

void BBXTallyEvent::addAttribute(const platform::Json& value, const platform::Json& key, platform::Json& dictionary) {
  if (value.is_null() || key.is_null()) return;
  if (dictionary.size() >= kMaxAttributeCount) {
    platform::consoleLog("[Blackbox:Tally] Maximum number of Event attributes exceeded. Ignoring attribute");
    return;
  }
  if (!key.is_string()) {
    platform::consoleLog(fmt::format(
        "[Blackbox:Tally] Event attribute keys must be of type NSString. Ignoring entry {}:{}", key.dump(),
        value.dump()));
    return;
  }
  if (!validAttributeValue(value)) {
    platform::consoleLog(fmt::format(
        "[Blackbox:Tally] Event attribute values must be of type NSString or NSNumber. Ignoring entry {}:{}",
        key.get<std::string>(), value.dump()));
    return;
  }
  const platform::Json cutValue = truncateAttribute(value);
  const platform::Json cutKey = truncateAttribute(key);
  dictionary[cutKey.get<std::string>()] = cutValue;
}

bool BBXTallyEvent::validAttributeValue(const platform::Json& value) {
  return value.is_number() || value.is_boolean() || value.is_string();
}

platform::Json BBXTallyEvent::truncateAttribute(const platform::Json& attribute) {
  if (!attribute.is_string()) return attribute;
  const auto& text = attribute.get_ref<const std::string&>();
  if (platform::utf16Length(text) <= kMaxAttributeLength) return attribute;
  platform::consoleLog(fmt::format(
      "[Blackbox:Tally] Maximum length for an Event attributes exceeded. Truncating to {} characters.",
      kMaxAttributeLength));
  return std::string(platform::utf16Prefix(text, kMaxAttributeLength));
}

}  // namespace lumora
