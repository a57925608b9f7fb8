#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/NumberValues.h"

namespace {

using platform::Json;
constexpr auto kMax64 = std::numeric_limits<std::int64_t>::max();
constexpr auto kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr auto kMax32 = std::numeric_limits<std::int32_t>::max();
constexpr auto kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(NumberValues, JsonNumbersAreHeldToTheRangeOfTheirTarget) {
  struct Case {
    Json value;
    std::int64_t as64;
    std::int32_t as32;
  };
  const Case cases[] = {
      {Json(42), 42, 42},
      {Json(-7.9), -7, -7},
      {Json(3.18e20), kMax64, kMax32},
      {Json(-3.18e20), kMin64, kMin32},
      {Json(1e300), kMax64, kMax32},
      {Json(kInf), kMax64, kMax32},
      {Json(-kInf), kMin64, kMin32},
      {Json(std::nan("")), 0, 0},
      {Json(9223372036854775808.0), kMax64, kMax32},  // 2^63: one past the largest
      {Json(-9223372036854775808.0), kMin64, kMin32},
      {Json(std::numeric_limits<std::uint64_t>::max()), kMax64, kMax32},
      {Json(std::int64_t{4294967296}), 4294967296, kMax32},
      {Json(std::int64_t{-2147483649}), -2147483649, kMin32},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::numberValue<std::int64_t>(c.value), c.as64) << c.value;
    EXPECT_EQ(platform::numberValue<std::int32_t>(c.value), c.as32) << c.value;
  }
  for (const Json& notNumber : {Json("12"), Json(true), Json(nullptr), Json::object()}) {
    EXPECT_FALSE(platform::numberValue<std::int64_t>(notNumber)) << notNumber;
  }
}

TEST(NumberValues, TextsAreReadByTheirLeadingDecimalNumber) {
  struct Case {
    const char* text;
    std::int64_t as64;
    std::int32_t as32;
  };
  const Case cases[] = {
      {"604800", 604800, 604800},
      {"  +12abc", 12, 12},
      {"-5 s", -5, -5},
      {"99999999999999999999", kMax64, kMax32},
      {"-99999999999999999999", kMin64, kMin32},
      {"9223372036854775807", kMax64, kMax32},
      {"-9223372036854775808", kMin64, kMin32},
      {"9223372036854775808", kMax64, kMax32},
      {"", 0, 0},
      {"abc", 0, 0},
      {"-", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::leadingIntegerValue<std::int64_t>(c.text), c.as64) << c.text;
    EXPECT_EQ(platform::leadingIntegerValue<std::int32_t>(c.text), c.as32) << c.text;
  }
  EXPECT_EQ(platform::leadingIntegerValue<std::uint16_t>("-3"), 0);
  EXPECT_EQ(platform::leadingIntegerValue<std::uint16_t>("70000"), 65535);
}

}  // namespace
