// The platform's start-up conversation with the vendor's service, once per
// start of the kits: download the app's settings document, create the app
// with the service when the document calls it new (then download again), or
// update it when the document asks for that, and post
// "HBRSettingsAvailableNotification" (no user info, on the default centre)
// when settings may be read. The settings file is
// <caches>/io.harbor.sdk.ios.data/<bundle id>/settings.json, neither read
// nor written through a link in the place of either folder.
//
// The endpoints come from the environment variables "SettingsEndpoint" and
// "ConfigureEndpoint", else the information dictionary's "Blackbox"
// dictionary, else the vendor's own origins.
//
// Ownership: the platform object owns it (shared, so that the operations
// can hold it weakly as their delegate); it owns the settings model, the
// network client and the running onboarding operation. Threading: the
// callbacks come from the operations' queues; the sequence runs one step
// at a time, each started from the callback of the one before. Failure:
// logged; every way out ends the sequence with finishNetworkingSession.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "harbor/HBRApplicationIdentiferModel.h"
#include "harbor/HBRDownloadAndSaveSettingsOperation.h"
#include "harbor/HBRNetworkClient.h"
#include "harbor/HBROnboardingOperation.h"
#include "harbor/HBRSettings.h"
#include "platform/Error.h"

namespace lumora {

class Harbor;

inline constexpr const char* kHBRSettingsAvailableNotification = "HBRSettingsAvailableNotification";

class HBRSettingsOnboardingManager : public HBRDownloadAndSaveSettingsOperationDelegate,
                                     public HBROnboardingOperationDelegate,
                                     public std::enable_shared_from_this<HBRSettingsOnboardingManager> {
 public:
  // `model` may be null (the executable could not be read); `harbor` owns
  // the manager and outlives it. Starts nothing.
  HBRSettingsOnboardingManager(std::shared_ptr<const HBRApplicationIdentiferModel> model, Harbor& harbor);
  ~HBRSettingsOnboardingManager() override;

  static std::string settingsDirectoryPath();
  static std::string settingsPath();
  // The settings directory, made where missing; a link in the place of it
  // or of the data folder above it is removed first (the link itself), so
  // that the settings are neither read nor written outside the app home.
  // False (logged) when it cannot be made.
  static bool makeSettingsDirectory();
  // Environment, then the "Blackbox" dictionary, then the default.
  static std::optional<std::string> valueForConfigurationKey(const std::string& key);

  void beginSettingsAndOnboardingOperationsWithAPIKey(const std::optional<std::string>& apiKey,
                                                      const std::map<std::string, std::string>& kitVersions);
  void beginSettingsDownload();
  void beginOnboarding(bool shouldCreate, const std::string& endpoint);
  void finishNetworkingSession();
  void postSettingsDownloadCompletedNotification();

  std::string settingsURL();
  std::optional<std::string> appIconHash() const;
  std::optional<std::string> advertisingToken() const;

  // What the operations report.
  void operationDidDownloadAndSaveSettings(HBRDownloadAndSaveSettingsOperation& operation,
                                           const std::optional<platform::Error>& error) override;
  void onboardingOperationDidCompleteAppCreation(HBROnboardingOperation& operation,
                                                 const std::optional<platform::Error>& error) override;
  void onboardingOperationDidCompleteAppUpdate(HBROnboardingOperation& operation,
                                               const std::optional<platform::Error>& error) override;

  HBRSettings& settingsModel();
  bool hasAttemptedAppConfigure() const;
  const std::shared_ptr<HBRNetworkClient>& networkClient() const { return networkClient_; }
  std::shared_ptr<HBROnboardingOperation> onboardingOperation() const;
  // Told each time the sequence ends (the network client was closed), on
  // the thread that ended it.
  void setSessionFinishedObserver(std::function<void()> observer);

 private:
  // "io.harbor.sdk.ios.data/<bundle id>".
  static std::filesystem::path settingsDirectoryBelowCaches();

  const std::shared_ptr<const HBRApplicationIdentiferModel> appIdentifierModel_;
  Harbor& harbor_;
  mutable std::mutex mutex_;
  std::unique_ptr<HBRSettings> settingsModel_;
  bool hasAttemptedAppConfigure_ = false;
  std::optional<std::string> apiKey_;
  std::map<std::string, std::string> kitVersions_;
  std::shared_ptr<HBRNetworkClient> networkClient_;
  std::shared_ptr<HBROnboardingOperation> onboardingOperation_;
  std::function<void()> sessionFinishedObserver_;
};

}  // namespace lumora
