// The per-app settings document of the vendor's service as stored on disk
// (one JSON object in the settings file), loaded on first read and kept
// until cleared, and the answers the onboarding decisions need. A file that
// does not parse is deleted, so the next start has no settings until a
// download succeeds.
//
// Ownership: owned by the settings manager. Threading: any thread; the
// cached document is under a lock. Failure: no file or an unparseable one
// reads as nullopt.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

class HBRSettings {
 public:
  explicit HBRSettings(std::filesystem::path settingsPath);

  // The cached document, else the one in the settings file.
  std::optional<platform::Json> settingsDictionary();
  // The document's "app" object; nullopt also when it is null.
  std::optional<platform::Json> appSettings();
  // The app's "status"; nullopt also when it is null or not a string.
  std::optional<std::string> appStatus();
  // The status is "new": the service does not know the app yet.
  bool appNeedsOnboarding();
  bool appUpdateRequired();
  // The next read loads the file again.
  void clearSettingsDictionary();

  const std::filesystem::path& settingsPath() const { return settingsPath_; }

  // Puts a downloaded document in place as `settingsPath` in `directory`
  // (made when missing): written beside the old file and renamed over it,
  // so a failure at any step leaves the old file as it was; after success
  // nothing else is kept in the directory. The error of the failed step.
  static platform::Status replaceSettingsFile(const std::filesystem::path& downloaded,
                                              const std::filesystem::path& directory,
                                              const std::filesystem::path& settingsPath);

  // The app's identity as the settings service is asked about it.
  static std::optional<std::string> appBundleIdentifier();
  static std::string appPlatform();
  static std::optional<std::string> appBuildVersion();
  static std::optional<std::string> appDisplayVersion();
  static int appSource();
  // <endpoint>/spi/v2/platforms/ios/apps/<bundle id>/settings with
  // build_version, display_version, instance, icon_hash (only with a hash)
  // and source; an absent value leaves its parameter out.
  static std::string settingsURLForEndpoint(const std::string& endpoint, const std::string& appInstanceIdentifer,
                                            const std::optional<std::string>& appIconHash);

 private:
  const std::filesystem::path settingsPath_;
  std::mutex mutex_;
  std::optional<platform::Json> settings_;
};

}  // namespace lumora
