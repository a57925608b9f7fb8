#include "account/KPQBPreferenceUtil.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/UserDefaults.h"

namespace lumora {
namespace {

bool usable(const std::string& key, const std::optional<std::string>& userId) {
  return !key.empty() && userId && !userId->empty();
}

// The map under `key` when it is a dictionary with at least one entry.
std::optional<platform::Json> nonEmptyMap(const std::string& key) {
  auto map = platform::UserDefaults::standard().dictionaryForKey(key);
  if (!map || !map->is_object() || map->empty()) return std::nullopt;
  return map;
}

void store(const std::string& key, const platform::Json& map, bool syncWrite) {
  platform::UserDefaults& defaults = platform::UserDefaults::standard();
  defaults.setDictionary(key, map);
  if (syncWrite) defaults.synchronize();
}

std::int64_t int64Value(const platform::Json& value) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(u);
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
  }
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_string()) return std::strtoll(value.get<std::string>().c_str(), nullptr, 10);
  return 0;
}

}  // namespace

void KPQBPreferenceUtil::setLong(std::int64_t value, const std::string& key, bool syncWrite) {
  if (key.empty()) return;
  platform::UserDefaults& defaults = platform::UserDefaults::standard();
  defaults.setInteger(key, value);
  if (syncWrite) defaults.synchronize();
}

std::int64_t KPQBPreferenceUtil::longForKey(const std::string& key) {
  if (key.empty()) return 0;
  return platform::UserDefaults::standard().integerForKey(key);
}

void KPQBPreferenceUtil::setKey(const std::string& key, const std::optional<platform::Json>& value,
                                const std::optional<std::string>& userId, bool syncWrite) {
  if (!usable(key, userId)) return;
  bool remove = !value || value->is_null();
  platform::Json map = nonEmptyMap(key).value_or(platform::Json::object());
  if (remove)
    map.erase(*userId);
  else
    map[*userId] = *value;
  store(key, map, syncWrite);
}

std::optional<platform::Json> KPQBPreferenceUtil::getKey(const std::string& key,
                                                         const std::optional<std::string>& userId) {
  if (!usable(key, userId)) return std::nullopt;
  auto map = nonEmptyMap(key);
  if (!map) return std::nullopt;
  auto it = map->find(*userId);
  if (it == map->end()) return std::nullopt;
  return *it;
}

void KPQBPreferenceUtil::setLongLongKey(const std::string& key, std::int64_t value,
                                        const std::optional<std::string>& userId, bool syncWrite) {
  setKey(key, platform::Json(value), userId, syncWrite);
}

std::int64_t KPQBPreferenceUtil::getLongLongKey(const std::string& key,
                                                const std::optional<std::string>& userId) {
  auto entry = getKey(key, userId);
  return entry ? int64Value(*entry) : 0;
}

}  // namespace lumora
