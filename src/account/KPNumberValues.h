// The integer value of a JSON value the way the phone platform's number and
// text objects answer longLongValue: numbers (floats truncated toward zero,
// out-of-range values held to the 64-bit range), booleans as 0 or 1, texts
// by their leading decimal number (strtoll), anything else 0. Stateless,
// any thread, never throws.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/Error.h"

namespace lumora {

inline std::int64_t kpLongLongValue(const platform::Json& value) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int64_t>(u);
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return kMax;
    if (d <= -9.2233720368547758e18) return kMin;
    return static_cast<std::int64_t>(d);
  }
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_string()) return std::strtoll(value.get_ref<const std::string&>().c_str(), nullptr, 10);
  return 0;
}

}  // namespace lumora
