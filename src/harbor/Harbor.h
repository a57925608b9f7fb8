// The reporting platform object every kit leans on: the identity of this
// installation (a UUID kept in the kits' defaults store under
// "com.blackbox.iuuid") and of this run (the execution identifier, 32
// lower-case hex digits), the API key, the app identity, the settings and
// onboarding manager and the debug flag. Harbor::with is the one way to
// start the kits: once per process it checks them, adds "Dialer" and
// "Tally" when present, initialises each in order and starts the settings
// download.
//
// Ownership: sharedSDK() is created on first use and lives for the process;
// other objects (tests) belong to their creator and keep their defaults
// store borrowed. Threading: any thread; start runs once, on the caller's
// thread. Failure: configuration errors (a bad kit, a missing or malformed
// "Harbor" dictionary while the API key is read from it) throw the platform
// exception "HBRException"; everything else is logged.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "harbor/HBRApplicationIdentiferModel.h"
#include "harbor/HBRKit.h"
#include "harbor/HBRSettings.h"
#include "platform/Error.h"

namespace lumora {

class BBXUserDefaults;
class HBRSettingsOnboardingManager;

class Harbor {
 public:
  static Harbor& sharedSDK();
  // Starts the platform with the kits, once per process; returns sharedSDK().
  static Harbor& with(const std::vector<HBRKitItem>& kits);

  // A platform object over `defaults` (the shared store when null).
  explicit Harbor(BBXUserDefaults* defaults = nullptr);
  ~Harbor();
  Harbor(const Harbor&) = delete;
  Harbor& operator=(const Harbor&) = delete;

  // The work of with: on this object; only its first call does anything.
  void startWithKits(const std::vector<HBRKitItem>& kits);

  static std::vector<HBRKitClassPtr> convertToKitClassesIfNeeded(const std::vector<HBRKitItem>& kits);
  static void validateHBRKitConformance(const std::vector<HBRKitClassPtr>& kitClasses);
  static std::vector<HBRKitClassPtr> kitClassesByAddingDialerIfFound(std::vector<HBRKitClassPtr> kitClasses);
  static std::vector<HBRKitClassPtr> kitClassesByAddingTallyIfFound(std::vector<HBRKitClassPtr> kitClasses);
  static void initializeKit(const HBRKitClass& kitClass);
  // The kit's entry of the shared object's "Harbor"."Kits": its plain
  // "KitInfo" over its decoded "ObfuscatedKitInfo"; nullopt without entry.
  static std::optional<platform::Json> configurationDictionaryForKitClass(const HBRKitClass& kitClass);
  std::optional<platform::Json> configurationDictionaryForKit(const HBRKitObject& kit);
  std::optional<platform::Json> configurationDictionaryForKitName(const std::string& name);

  void onboardAppAndDownloadSettings();
  // Kit bundle identifier to version, the platform's own included.
  std::map<std::string, std::string> kitVersionsByKitBundleIdentifier() const;

  std::optional<std::string> readInstallationUUID();
  void generateInstallationUUID();
  // The validated "Harbor" dictionary of the information dictionary, read
  // once.
  platform::Json harborConfig();
  static platform::Json validHarborConfigFromInfoPlist(const platform::Json& info);

  // The stored key, else the one of harborConfig().
  std::optional<std::string> APIKey();
  void setAPIKey(std::optional<std::string> key);
  std::optional<std::string> advertisingToken() const;
  void setAdvertisingToken(std::optional<std::string> token);
  // Process-wide: the HTTPS client reads it too.
  bool debug() const;
  void setDebug(bool debug);

  // The downloaded settings, parsed once and shared; null while no valid
  // settings file exists.
  HBRSettingsDocument settings();
  std::string instanceIdentifier() const;

  std::vector<HBRKitClassPtr> kitClasses() const;
  const std::string& installID() const { return installID_; }
  bool isFirstInstall() const { return isFirstInstall_; }
  const std::string& executionIdentifier() const { return executionIdentifier_; }
  // Null when the main executable could not be read.
  const std::shared_ptr<const HBRApplicationIdentiferModel>& applicationIdentifierModel() const {
    return applicationIdentifierModel_;
  }
  HBRSettingsOnboardingManager* settingsAndOnboardingManager() const { return settingsAndOnboardingManager_.get(); }

 private:
  BBXUserDefaults& defaults_;
  std::atomic<bool> started_{false};
  mutable std::mutex mutex_;
  std::vector<HBRKitClassPtr> kitClasses_;
  std::optional<platform::Json> harborConfig_;
  std::optional<std::string> apiKey_;
  std::optional<std::string> advertisingToken_;
  std::string installID_;
  bool isFirstInstall_ = false;
  std::string executionIdentifier_;
  std::shared_ptr<const HBRApplicationIdentiferModel> applicationIdentifierModel_;
  std::shared_ptr<HBRSettingsOnboardingManager> settingsAndOnboardingManager_;
};

}  // namespace lumora
