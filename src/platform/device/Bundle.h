// The app bundle's information dictionary (name, version, identifier and the
// keys the side subsystems read). Defaults describe this build; tests and the
// app may replace or amend it.
// Ownership: one process-wide dictionary. Threading: thread-safe.
// Failure: none; a missing key reads as nullopt, an unreadable bundle path
// as "".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace platform {

class Bundle {
 public:
  static nlohmann::json infoDictionary();
  // The entry for `key`, or nullopt when absent.
  static std::optional<nlohmann::json> infoValue(const std::string& key);
  // A string entry, or nullopt when absent or not a string.
  static std::optional<std::string> infoString(const std::string& key);

  // The folder the bundle lies in (its resources, such as the app icons):
  // the running executable's folder unless another was set.
  static std::string bundlePath();
  // Another folder as the bundle's; "" goes back to the executable's.
  static void setBundlePath(std::string path);
  // Where an App Store build keeps its purchase receipt: "StoreKit/receipt"
  // in the bundle folder ("" when the bundle path cannot be read).
  static std::string appStoreReceiptPath();

  // The bundle's text for `key` in the strings table `table`; `fallback`
  // when the bundle has no such table or no such key in it.
  static std::string localizedString(const std::string& key, const std::string& fallback, const std::string& table);
  // Gives the bundle a strings table (replacing one of that name).
  static void setLocalizedStrings(const std::string& table, std::map<std::string, std::string> strings);

  // Changes each time the dictionary is replaced, amended or reset, so a
  // reader may keep what it read of it until then.
  static std::uint64_t infoVersion();

  static void setInfoDictionary(nlohmann::json info);
  static void setInfoValue(const std::string& key, nlohmann::json value);
  static void removeInfoValue(const std::string& key);
  // Back to the built-in dictionary, no strings tables and the executable's
  // folder.
  static void reset();
};

}  // namespace platform
