// The integer value of a JSON value the way the phone platform's number and
// text objects answer longLongValue (or intValue, for Int = int32_t):
// numbers (floats truncated toward zero, out-of-range values held to the
// type's range), booleans as 0 or 1, texts by their leading decimal number,
// anything else 0. Every conversion is range-checked (platform
// NumberValues). Stateless, any thread, never throws.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Error.h"
#include "platform/NumberValues.h"

namespace lumora {

template <typename Int = std::int64_t>
Int kpIntegerValue(const platform::Json& value) {
  if (auto number = platform::numberValue<Int>(value)) return *number;
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_string()) return platform::leadingIntegerValue<Int>(value.get_ref<const std::string&>());
  return 0;
}

inline std::int64_t kpLongLongValue(const platform::Json& value) { return kpIntegerValue(value); }

}  // namespace lumora
