#include "platform/Decimal.h"

#include <cstdlib>
#include <limits>

namespace platform {

Decimal::Decimal(std::int64_t mantissa, int exponent) : mantissa_(mantissa), exponent_(exponent) {}

std::optional<Decimal> Decimal::fromString(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  std::int64_t mantissa = 0;
  int exponent = 0;
  bool digits = false;
  bool point = false;
  for (char c : text) {
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    if (mantissa > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return std::nullopt;
    mantissa = mantissa * 10 + (c - '0');
    digits = true;
    if (point) --exponent;
  }
  if (!digits) return std::nullopt;
  return Decimal(negative ? -mantissa : mantissa, exponent);
}

std::optional<Decimal> Decimal::multipliedBy(const Decimal& other) const {
  std::int64_t product = 0;
  if (__builtin_mul_overflow(mantissa_, other.mantissa_, &product)) return std::nullopt;
  return Decimal(product, exponent_ + other.exponent_);
}

std::string Decimal::toString() const {
  std::int64_t mantissa = mantissa_;
  int exponent = exponent_;
  while (exponent < 0 && mantissa % 10 == 0) {
    mantissa /= 10;
    ++exponent;
  }
  if (mantissa == 0) return "0";
  const auto raw = static_cast<std::uint64_t>(mantissa);
  std::string digits = std::to_string(mantissa < 0 ? 0 - raw : raw);
  const std::string sign = mantissa < 0 ? "-" : "";
  if (exponent >= 0) return sign + digits + std::string(static_cast<std::size_t>(exponent), '0');
  const auto fraction = static_cast<std::size_t>(-exponent);
  if (digits.size() <= fraction) digits.insert(0, fraction - digits.size() + 1, '0');
  return sign + digits.substr(0, digits.size() - fraction) + "." + digits.substr(digits.size() - fraction);
}

nlohmann::json Decimal::toJson() const {
  std::int64_t value = mantissa_;
  int exponent = exponent_;
  while (exponent < 0 && value % 10 == 0) {
    value /= 10;
    ++exponent;
  }
  for (; exponent > 0; --exponent) {
    if (__builtin_mul_overflow(value, std::int64_t{10}, &value)) return std::strtod(toString().c_str(), nullptr);
  }
  if (exponent == 0) return value;
  return std::strtod(toString().c_str(), nullptr);
}

}  // namespace platform
