// Contact field helpers of LMUtils: cloud date texts, phone cleaning and the
// tests and merges over a contact's multi-value lists.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_set>

#include "utils/LMUtils.h"
#include "platform/JsonValues.h"

namespace lumora {
namespace {

using platform::Json;

// The year that stands for "no year" in the address book.
constexpr int kNoYear = 1604;

// The item's "value" when it is a non-empty string.
const std::string* itemValueText(const Json& item) {
  if (!item.is_object()) return nullptr;
  auto it = item.find("value");
  if (it == item.end() || !platform::isNonEmptyString(*it)) return nullptr;
  return &it->get_ref<const std::string&>();
}

// Splits like the platform's componentsSeparatedByString: "--06-01" gives
// "", "", "06", "01".
std::vector<std::string_view> splitAtDash(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t dash = text.find('-', start);
    if (dash == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, dash - start));
    start = dash + 1;
  }
}

// A run of 1..maxDigits ASCII digits as a number.
std::optional<int> parseDigits(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::optional<std::chrono::sys_days> midnightUTC(std::string_view year,
                                                      std::string_view month,
                                                      std::string_view day) {
  const auto y = parseDigits(year, 6);
  const auto m = parseDigits(month, 2);
  const auto d = parseDigits(day, 2);
  // A year past the calendar's range would wrap around into another one.
  if (!y || !m || !d || *y < 1 || *y > static_cast<int>(std::chrono::year::max())) return std::nullopt;
  const std::chrono::year_month_day ymd{std::chrono::year(*y),
                                        std::chrono::month(static_cast<unsigned>(*m)),
                                        std::chrono::day(static_cast<unsigned>(*d))};
  if (!ymd.ok()) return std::nullopt;
  return std::chrono::sys_days(ymd);
}

// The set of keys of a list's items; `key` gives nullptr for unusable items.
template <class KeyOf>
std::unordered_set<std::string> keySet(const Json& list, KeyOf key) {
  std::unordered_set<std::string> keys;
  if (!list.is_array()) return keys;
  for (const Json& item : list) {
    auto k = key(item);
    if (k && !k->empty()) keys.insert(std::move(*k));
  }
  return keys;
}

std::optional<std::string> cleanNumberKey(const Json& item) {
  const std::string* value = itemValueText(item);
  if (value == nullptr) return std::nullopt;
  return LMUtils::purePhoneNumberWithString(*value);
}

std::optional<std::string> valueKey(const Json& item) {
  const std::string* value = itemValueText(item);
  if (value == nullptr) return std::nullopt;
  return *value;
}

bool isSubset(const std::unordered_set<std::string>& small,
              const std::unordered_set<std::string>& large) {
  return std::all_of(small.begin(), small.end(),
                     [&](const std::string& k) { return large.contains(k); });
}

// Either set holds the other (the smaller inside the larger); two sets
// without any usable key count as contained.
bool eitherContains(const std::unordered_set<std::string>& first,
                    const std::unordered_set<std::string>& second) {
  if (second.size() <= first.size()) return isSubset(second, first);
  return isSubset(first, second);
}

// The empty rule shared by every list test: nullopt when both lists are
// non-empty and the test must look further.
std::optional<bool> emptyRule(const Json& first, const Json& second) {
  const bool firstEmpty = !platform::isNonEmptyArray(first);
  const bool secondEmpty = !platform::isNonEmptyArray(second);
  if (firstEmpty || secondEmpty) return firstEmpty && secondEmpty;
  return std::nullopt;
}

// The empty rule of the merges: nullopt when both lists are non-empty.
std::optional<Json> emptyMergeRule(const Json& first, const Json& second) {
  if (!platform::isNonEmptyArray(first)) return platform::isNonEmptyArray(second) ? second : Json(nullptr);
  if (!platform::isNonEmptyArray(second)) return first;
  return std::nullopt;
}

template <class KeyOf>
Json keyMerge(const Json& first, const Json& second, KeyOf key) {
  if (auto trivial = emptyMergeRule(first, second)) return *trivial;
  Json merged = Json::array();
  std::unordered_set<std::string> seen;
  for (const Json* list : {&first, &second}) {
    for (const Json& item : *list) {
      const std::string* value = itemValueText(item);
      if (value == nullptr) continue;
      if (!seen.insert(key(*value)).second) continue;
      Json entry = Json::object();
      entry["value"] = *value;
      auto type = item.find("type");
      if (type != item.end() && platform::isNonEmptyString(*type)) entry["type"] = *type;
      merged.push_back(std::move(entry));
    }
  }
  return merged;
}

// An address item without the keys that do not make a different address.
Json addressCore(const Json& item) {
  if (!item.is_object()) return item;
  Json core = item;
  core.erase("type");
  core.erase("formatted");
  return core;
}

// Pairs every item of `first` with the first remaining equal item of a copy
// of `second` and removes it; returns what is left of the copy, or nullopt
// when some item of `first` found no partner and `stopAtMiss` is set.
template <class Equal>
std::optional<std::vector<Json>> unmatched(const Json& first, const Json& second, Equal equal,
                                           bool stopAtMiss) {
  std::vector<Json> rest(second.begin(), second.end());
  for (const Json& item : first) {
    auto it = std::find_if(rest.begin(), rest.end(),
                           [&](const Json& other) { return equal(item, other); });
    if (it == rest.end()) {
      if (stopAtMiss) return std::nullopt;
      continue;
    }
    rest.erase(it);
  }
  return rest;
}

bool sameAddress(const Json& a, const Json& b) { return addressCore(a) == addressCore(b); }
bool sameItem(const Json& a, const Json& b) { return a == b; }

template <class Equal>
bool matchingEqual(const Json& first, const Json& second, Equal equal) {
  if (auto trivial = emptyRule(first, second)) return *trivial;
  auto rest = unmatched(first, second, equal, true);
  return rest && rest->empty();
}

template <class Equal>
Json matchingMerge(const Json& first, const Json& second, Equal equal) {
  if (auto trivial = emptyMergeRule(first, second)) return *trivial;
  Json merged = first;
  std::optional<std::vector<Json>> rest = unmatched(first, second, equal, false);
  for (Json& item : *rest) merged.push_back(std::move(item));
  return merged;
}

}  // namespace

// ---- Dates and strings ----

std::string LMUtils::stringForLumoraDay(std::chrono::sys_days date) {
  const std::chrono::year_month_day ymd{date};
  const int year = static_cast<int>(ymd.year());
  const unsigned month = static_cast<unsigned>(ymd.month());
  const unsigned day = static_cast<unsigned>(ymd.day());
  char text[32];
  if (year == kNoYear) {
    std::snprintf(text, sizeof text, "--%02u-%02u", month, day);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", year, month, day);
  }
  return text;
}

std::optional<std::chrono::sys_days> LMUtils::dateFromLumoraString(std::string_view text) {
  const auto parts = splitAtDash(text);
  if (parts.size() == 4 && parts[0].empty() && parts[1].empty()) {
    return midnightUTC("1604", parts[2], parts[3]);
  }
  if (parts.size() == 2) return midnightUTC("1604", parts[0], parts[1]);
  if (parts.size() == 3) return midnightUTC(parts[0], parts[1], parts[2]);
  return std::nullopt;
}

std::string LMUtils::dateStringFromLumoraString(std::string_view text) {
  if (splitAtDash(text).size() == 2) return "--" + std::string(text);
  return std::string(text);
}

std::string LMUtils::purePhoneNumberWithString(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (char c : text) {
    if (c != ' ' && c != '-') clean.push_back(c);
  }
  return clean;
}

bool LMUtils::isString(const Json& first, const Json& second) {
  if (platform::isNonEmptyString(first)) return first == second;
  return !platform::isNonEmptyString(second);
}

bool LMUtils::isString(const std::optional<std::string>& first,
                       const std::optional<std::string>& second) {
  const bool firstEmpty = !first || first->empty();
  const bool secondEmpty = !second || second->empty();
  if (firstEmpty || secondEmpty) return firstEmpty && secondEmpty;
  return *first == *second;
}

// ---- Multi-value lists ----

bool LMUtils::isPhoneNumberArrayEqualToArray(const Json& first, const Json& second) {
  if (auto trivial = emptyRule(first, second)) return *trivial;
  return keySet(first, cleanNumberKey) == keySet(second, cleanNumberKey);
}

bool LMUtils::isPhoneNumberArrayContainWithArray(const Json& first, const Json& second) {
  if (!platform::isNonEmptyArray(first) || !platform::isNonEmptyArray(second)) return false;
  return eitherContains(keySet(first, cleanNumberKey), keySet(second, cleanNumberKey));
}

Json LMUtils::mergePhoneNumberArray(const Json& first, const Json& second) {
  return keyMerge(first, second,
                  [](const std::string& value) { return purePhoneNumberWithString(value); });
}

bool LMUtils::isDictionaryValueArrayEqualToArray(const Json& first, const Json& second) {
  if (auto trivial = emptyRule(first, second)) return *trivial;
  return keySet(first, valueKey) == keySet(second, valueKey);
}

bool LMUtils::isDictionaryValueArrayContainWithArray(const Json& first, const Json& second) {
  if (!platform::isNonEmptyArray(first) || !platform::isNonEmptyArray(second)) return false;
  return eitherContains(keySet(first, valueKey), keySet(second, valueKey));
}

Json LMUtils::mergeDictionaryValueArray(const Json& first, const Json& second) {
  return keyMerge(first, second, [](const std::string& value) { return value; });
}

bool LMUtils::isEmailDictionaryArray(const Json& first, const Json& second,
                                     const std::vector<std::string>& blackList) {
  if (auto trivial = emptyRule(first, second)) return *trivial;
  std::set<std::string> keys;
  for (const Json* list : {&first, &second}) {
    for (const Json& item : *list) {
      if (!item.is_object()) continue;
      for (const auto& entry : item.items()) keys.insert(entry.key());
    }
  }
  for (const std::string& banned : blackList) keys.erase(banned);
  const auto column = [](const Json& list, const std::string& key) {
    std::vector<Json> values;
    for (const Json& item : list) {
      auto it = item.is_object() ? item.find(key) : item.end();
      values.push_back(item.is_object() && it != item.end() ? *it : Json(nullptr));
    }
    return values;
  };
  for (const std::string& key : keys) {
    if (column(first, key) != column(second, key)) return false;
  }
  return true;
}

bool LMUtils::isAddressDictionaryArray(const Json& first, const Json& second) {
  return matchingEqual(first, second, sameAddress);
}

Json LMUtils::mergeAddressDictionaryArray(const Json& first, const Json& second) {
  return matchingMerge(first, second, sameAddress);
}

bool LMUtils::isDictionaryArray(const Json& first, const Json& second) {
  return matchingEqual(first, second, sameItem);
}

Json LMUtils::mergeDictionaryArray(const Json& first, const Json& second) {
  return matchingMerge(first, second, sameItem);
}

}  // namespace lumora
