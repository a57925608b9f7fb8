// The statistics kit's small settings in the standard user defaults, typed.
// Every change is on disk when the call returns (the defaults write through).
// A key that is empty is ignored: setters change nothing, getters answer
// nothing (or 0).
//
// The names join the keywords of the design's selectors, whose first
// keyword ("setKey") is the same for every setter.
// Threading: any thread; each call is one read or one read-modify-write of
// the defaults, not atomic against another writer of the same key.
// Failures: a value the defaults cannot store changes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace lumora {

class KoStatPreferenceUtil {
 public:
  KoStatPreferenceUtil() = delete;

  // A non-empty text is stored; nullopt or "" removes the key.
  static void setKeyStringValue(const std::string& key, const std::optional<std::string>& value);
  static std::optional<std::string> getStringWithKey(const std::string& key);

  static void setKeyDoubleValue(const std::string& key, double value);
  static double getDoubleWithKey(const std::string& key);  // 0 when absent
  static void setKeyIntValue(const std::string& key, std::int32_t value);
  static std::int32_t getIntWithKey(const std::string& key);  // 0 when absent

  // A non-empty array is stored; anything else removes the key.
  static void setKeyArrayValue(const std::string& key, const std::optional<platform::Json>& value);
  // A non-empty text not yet in the stored array is added at its end (a new
  // one-element array when none is stored); otherwise nothing is written.
  static void setKeyAppendArrayItem(const std::string& key, const std::string& item);
  // Every occurrence of a non-empty text leaves the stored array (an empty
  // array is stored when there was none).
  static void setKeyRemoveArrayItem(const std::string& key, const std::string& item);
  static std::optional<platform::Json> getArrayWithKey(const std::string& key);

  // An object is stored; nullopt (or anything else) removes the key.
  static void setKeyDictionaryValue(const std::string& key, const std::optional<platform::Json>& value);
  static std::optional<platform::Json> getDictionaryWithKey(const std::string& key);
};

}  // namespace lumora
