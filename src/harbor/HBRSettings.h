// The per-app settings document of the vendor's service as stored on disk
// (one JSON object in the settings file), loaded on first read and kept
// until cleared, and the answers the onboarding decisions need. A document
// is read only within bounds (kMaxDocumentBytes, and the nesting of the
// cloud replies' reader), so no document can run a reader's stack or
// memory out; a file that does not pass is deleted, so the next start has
// no settings until a download succeeds.
//
// Ownership: owned by the settings manager; the parsed document is made
// once and shared, read-only, with every reader. Threading: any thread;
// the cached document is under a lock. Failure: no file or a bad one reads
// as none.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

// A parsed settings document, shared and never changed; null for none.
using HBRSettingsDocument = std::shared_ptr<const platform::Json>;

class HBRSettings {
 public:
  // The largest settings document read or stored: the service's documents
  // are a few kilobytes, so 1 MiB leaves room to grow while a hostile or
  // broken reply cannot take the process's memory.
  static constexpr std::uint64_t kMaxDocumentBytes = 1u << 20;

  explicit HBRSettings(std::filesystem::path settingsPath);

  // `bytes` as a settings document: one JSON object of at most
  // kMaxDocumentBytes, nested no deeper than the cloud replies' bound;
  // none otherwise.
  static HBRSettingsDocument parseDocument(std::string_view bytes);
  // The file at `path` read as a settings document (read no further than
  // the bound, and only as a file of the kit's own: see
  // platform/storage/OwnFile.h); none when it is missing, too long, no
  // file of the kit's own or no document.
  static HBRSettingsDocument readDocument(const std::filesystem::path& path);

  // The cached document, else the one in the settings file.
  HBRSettingsDocument settingsDictionary();
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
  HBRSettingsDocument settings_;
};

}  // namespace lumora
