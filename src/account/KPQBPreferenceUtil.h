// The account SDK's values in the standard user defaults: plain integers, and
// per-user maps (a dictionary under one key whose entries are user ids).
//
// Threading: any thread; each call is one read or one read-modify-write of
// the defaults, not atomic against another writer of the same key.
// Failures: arguments that fail their checks are ignored (reads give nullopt
// or 0); a value the defaults cannot store changes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace lumora {

class KPQBPreferenceUtil {
 public:
  KPQBPreferenceUtil() = delete;

  // syncWrite asks for the defaults to be written to disk at once.
  static void setLong(std::int64_t value, const std::string& key, bool syncWrite);
  // 0 when absent.
  static std::int64_t longForKey(const std::string& key);

  // Sets the user's entry of the map under `key` to `value` (a string or an
  // integer); nullopt (or a JSON null) removes it. Nothing happens unless
  // `key` and `userId` are non-empty.
  static void setKey(const std::string& key, const std::optional<platform::Json>& value,
                     const std::optional<std::string>& userId, bool syncWrite);
  // The user's entry, or nullopt.
  static std::optional<platform::Json> getKey(const std::string& key,
                                              const std::optional<std::string>& userId);

  static void setLongLongKey(const std::string& key, std::int64_t value,
                             const std::optional<std::string>& userId, bool syncWrite);
  // The entry's 64-bit value; 0 when missing.
  static std::int64_t getLongLongKey(const std::string& key, const std::optional<std::string>& userId);
};

}  // namespace lumora
