#include "cloud/model/LMAssetJSON.h"

#include <chrono>
#include <cmath>

#include "platform/JsonValues.h"

namespace lumora::assetjson {
namespace {

using platform::Json;

const Json* find(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace

std::optional<double> realAt(const Json& object, const char* key) {
  const Json* value = find(object, key);
  if (value == nullptr) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
  if (!value->is_number()) return std::nullopt;
  const double real = value->get<double>();
  if (!std::isfinite(real)) return std::nullopt;
  return real;
}

std::optional<std::int64_t> integerAt(const Json& object, const char* key) {
  const Json* value = find(object, key);
  if (value != nullptr && value->is_number_integer()) return value->get<std::int64_t>();
  auto real = realAt(object, key);
  if (!real || std::fabs(*real) >= 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(*real);
}

std::optional<std::string> textAt(const Json& object, const char* key) {
  const Json* value = find(object, key);
  if (value == nullptr || !platform::isNonEmptyString(*value)) return std::nullopt;
  return value->get<std::string>();
}

std::optional<Json> listAt(const Json& object, const char* key) {
  const Json* value = find(object, key);
  if (value == nullptr || !platform::isNonEmptyArray(*value)) return std::nullopt;
  return *value;
}

std::optional<Json> dictionaryAt(const Json& object, const char* key) {
  const Json* value = find(object, key);
  if (value == nullptr || !platform::isNonEmptyObject(*value)) return std::nullopt;
  return *value;
}

std::optional<platform::Clock::TimePoint> dateAt(const Json& object, const char* key) {
  auto ms = realAt(object, key);
  // The clock counts nanoseconds in 64 bits: about 292 years either side of
  // 1970, which is 9.2e12 milliseconds.
  if (!ms || *ms <= 0 || *ms >= 9.2e12) return std::nullopt;
  return platform::Clock::TimePoint(std::chrono::duration_cast<platform::Clock::Duration>(
      std::chrono::duration<double, std::milli>(*ms)));
}

std::int64_t milliseconds(platform::Clock::TimePoint time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace lumora::assetjson
