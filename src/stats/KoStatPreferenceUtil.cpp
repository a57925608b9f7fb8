#include "stats/KoStatPreferenceUtil.h"

#include <algorithm>

#include "platform/storage/UserDefaults.h"

namespace lumora {
namespace {

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

}  // namespace

void KoStatPreferenceUtil::setKeyStringValue(const std::string& key,
                                             const std::optional<std::string>& value) {
  if (key.empty()) return;
  if (value && !value->empty()) {
    defaults().setString(key, *value);
  } else {
    defaults().removeObjectForKey(key);
  }
}

std::optional<std::string> KoStatPreferenceUtil::getStringWithKey(const std::string& key) {
  if (key.empty()) return std::nullopt;
  return defaults().stringForKey(key);
}

void KoStatPreferenceUtil::setKeyDoubleValue(const std::string& key, double value) {
  if (!key.empty()) defaults().setDouble(key, value);
}

double KoStatPreferenceUtil::getDoubleWithKey(const std::string& key) {
  return key.empty() ? 0.0 : defaults().doubleForKey(key);
}

void KoStatPreferenceUtil::setKeyIntValue(const std::string& key, std::int32_t value) {
  if (!key.empty()) defaults().setInteger(key, value);
}

std::int32_t KoStatPreferenceUtil::getIntWithKey(const std::string& key) {
  if (key.empty()) return 0;
  // A 32-bit read keeps the low bits, as the platform's does.
  return static_cast<std::int32_t>(defaults().integerForKey(key));
}

void KoStatPreferenceUtil::setKeyArrayValue(const std::string& key,
                                            const std::optional<platform::Json>& value) {
  if (key.empty()) return;
  if (value && value->is_array() && !value->empty()) {
    defaults().setArray(key, *value);
  } else {
    defaults().removeObjectForKey(key);
  }
}

void KoStatPreferenceUtil::setKeyAppendArrayItem(const std::string& key, const std::string& item) {
  if (key.empty() || item.empty()) return;
  platform::Json array = getArrayWithKey(key).value_or(platform::Json::array());
  if (std::find(array.begin(), array.end(), platform::Json(item)) != array.end()) return;
  array.push_back(item);
  defaults().setArray(key, array);
}

void KoStatPreferenceUtil::setKeyRemoveArrayItem(const std::string& key, const std::string& item) {
  if (key.empty() || item.empty()) return;
  platform::Json array = getArrayWithKey(key).value_or(platform::Json::array());
  platform::Json kept = platform::Json::array();
  for (const auto& entry : array) {
    if (entry != platform::Json(item)) kept.push_back(entry);
  }
  defaults().setArray(key, kept);
}

std::optional<platform::Json> KoStatPreferenceUtil::getArrayWithKey(const std::string& key) {
  if (key.empty()) return std::nullopt;
  return defaults().arrayForKey(key);
}

void KoStatPreferenceUtil::setKeyDictionaryValue(const std::string& key,
                                                 const std::optional<platform::Json>& value) {
  if (key.empty()) return;
  if (value && value->is_object()) {
    defaults().setDictionary(key, *value);
  } else {
    defaults().removeObjectForKey(key);
  }
}

std::optional<platform::Json> KoStatPreferenceUtil::getDictionaryWithKey(const std::string& key) {
  if (key.empty()) return std::nullopt;
  return defaults().dictionaryForKey(key);
}

}  // namespace lumora
