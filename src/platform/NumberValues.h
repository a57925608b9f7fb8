// Numbers that come from the network (JSON numbers in replies, numbers in
// header and cookie texts) turned into C++ integers: every conversion is
// range-checked first, so no value the peer sends can make it undefined.
// Values beyond the target type are held to its range (a huge "code" stays
// a huge non-zero code, never wraps to 0), fractions are truncated toward
// zero, and NaN reads as 0. Stateless inline helpers; any thread; they never
// throw.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/Error.h"

namespace platform {

// An integer of any type as Int, held to Int's range.
template <std::integral Int, std::integral From>
constexpr Int saturatingCast(From value) {
  if (std::cmp_less(value, std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  if (std::cmp_greater(value, std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  return static_cast<Int>(value);
}

// A floating value as Int: truncated toward zero, held to Int's range
// (infinities included); NaN is 0.
template <std::integral Int>
Int saturatingCast(double value) {
  if (std::isnan(value)) return 0;
  // Both bounds are powers of two (or zero), so exact as doubles; the upper
  // one is one past the largest Int.
  constexpr double kLow = static_cast<double>(std::numeric_limits<Int>::min());
  constexpr double kHigh = static_cast<double>(std::numeric_limits<Int>::max() / 2 + 1) * 2.0;
  if (value <= kLow) return std::numeric_limits<Int>::min();
  if (value >= kHigh) return std::numeric_limits<Int>::max();
  return static_cast<Int>(value);
}

// A JSON number as Int (floats truncated, everything held to Int's range);
// nullopt when the value is no number.
template <std::integral Int>
std::optional<Int> numberValue(const Json& value) {
  if (value.is_number_unsigned()) return saturatingCast<Int>(value.get<std::uint64_t>());
  if (value.is_number_integer()) return saturatingCast<Int>(value.get<std::int64_t>());
  if (value.is_number_float()) return saturatingCast<Int>(value.get<double>());
  return std::nullopt;
}

// The leading decimal integer of a text as Int, read the way strtoll reads
// it (leading blanks, an optional sign, digits; the rest ignored), held to
// Int's range; 0 when the text starts with no number.
template <std::integral Int>
Int leadingIntegerValue(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  // Accumulated as a negative number, whose range is the larger one.
  constexpr std::intmax_t kMin = std::numeric_limits<std::intmax_t>::min();
  std::intmax_t total = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const int digit = text[at] - '0';
    total = total < (kMin + digit) / 10 ? kMin : total * 10 - digit;
  }
  if (negative) return saturatingCast<Int>(total);
  return total == kMin ? std::numeric_limits<Int>::max() : saturatingCast<Int>(-total);
}

}  // namespace platform
