#include "account/KPQBPreferenceUtil.h"

#include "account/KPNumberValues.h"
#include "platform/storage/UserDefaults.h"

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
  return entry ? kpLongLongValue(*entry) : 0;
}

}  // namespace lumora
