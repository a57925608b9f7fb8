// What counts as a value being present in the JSON the client reads (server
// replies, cloud records, user info): a non-empty string, array or object,
// and the string under a key. Stateless inline helpers; any thread; they
// never throw, whatever the value's type.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace platform {

inline bool isNonEmptyString(const Json& value) {
  return value.is_string() && !value.get_ref<const std::string&>().empty();
}
inline bool isNonEmptyArray(const Json& value) { return value.is_array() && !value.empty(); }
inline bool isNonEmptyObject(const Json& value) { return value.is_object() && !value.empty(); }

// The string under `key` of an object (empty or not); nullopt when `object`
// is no object or the entry is missing or no string.
inline std::optional<std::string> stringAt(const Json& object, std::string_view key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace platform
