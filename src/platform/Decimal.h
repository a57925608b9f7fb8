// Decimal numbers for amounts that binary floating point cannot hold
// exactly (a price of 1.99): a signed integer mantissa and a power of ten.
// Arithmetic is exact; a result that leaves the mantissa's range is
// nullopt, never rounded.
// Plain value type; any thread. Failure: unreadable text is nullopt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace platform {

class Decimal {
 public:
  Decimal() = default;
  // mantissa x 10^exponent.
  Decimal(std::int64_t mantissa, int exponent = 0);  // NOLINT: integers are decimals

  // Plain decimal notation ("-12", "1.99", ".5"); nullopt for anything else
  // or more digits than the mantissa holds.
  static std::optional<Decimal> fromString(std::string_view text);

  std::int64_t mantissa() const { return mantissa_; }
  int exponent() const { return exponent_; }

  std::optional<Decimal> multipliedBy(const Decimal& other) const;
  // A JSON integer when the value is whole and fits, else a JSON float.
  nlohmann::json toJson() const;
  // Plain notation without trailing zeros of the fraction ("1990000", "1.5").
  std::string toString() const;

  friend bool operator==(const Decimal& a, const Decimal& b) { return a.toString() == b.toString(); }

 private:
  std::int64_t mantissa_ = 0;
  int exponent_ = 0;
};

}  // namespace platform
