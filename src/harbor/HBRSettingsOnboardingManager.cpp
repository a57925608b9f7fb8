#include "harbor/HBRSettingsOnboardingManager.h"

#include <cstdlib>
#include <utility>

#include "harbor/Harbor.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/device/Bundle.h"
#include "platform/storage/AppHome.h"

namespace lumora {
namespace {

constexpr const char* kSettingsEndpointKey = "SettingsEndpoint";
constexpr const char* kConfigureEndpointKey = "ConfigureEndpoint";
constexpr const char* kDefaultSettingsEndpoint = "https://settings.harbor-sdk.io";
constexpr const char* kDefaultConfigureEndpoint = "https://api.harbor-sdk.io";

}  // namespace

HBRSettingsOnboardingManager::HBRSettingsOnboardingManager(std::shared_ptr<const HBRApplicationIdentiferModel> model,
                                                           Harbor& harbor)
    : appIdentifierModel_(std::move(model)),
      harbor_(harbor),
      networkClient_(HBRNetworkClient::create(nullptr, HBRPinnedCertificates())) {}

HBRSettingsOnboardingManager::~HBRSettingsOnboardingManager() = default;

std::filesystem::path HBRSettingsOnboardingManager::settingsDirectoryBelowCaches() {
  return std::filesystem::path("io.harbor.sdk.ios.data") /
         platform::Bundle::infoString("CFBundleIdentifier").value_or("");
}

std::string HBRSettingsOnboardingManager::settingsDirectoryPath() {
  return (platform::AppHome::caches() / settingsDirectoryBelowCaches()).string();
}

bool HBRSettingsOnboardingManager::makeSettingsDirectory() {
  if (platform::AppHome::makeOwnFolder(platform::AppHome::caches(), settingsDirectoryBelowCaches())) return true;
  platform::consoleLog("[Harbor] Unable to make the settings directory " + settingsDirectoryPath());
  return false;
}

std::string HBRSettingsOnboardingManager::settingsPath() {
  return (std::filesystem::path(settingsDirectoryPath()) / "settings.json").string();
}

std::optional<std::string> HBRSettingsOnboardingManager::valueForConfigurationKey(const std::string& key) {
  if (const char* value = std::getenv(key.c_str())) return std::string(value);
  if (auto configuration = platform::Bundle::infoValue("Blackbox"); configuration && configuration->is_object()) {
    auto value = configuration->find(key);
    if (value != configuration->end() && value->is_string()) return value->get<std::string>();
  }
  if (key == kSettingsEndpointKey) return std::string(kDefaultSettingsEndpoint);
  if (key == kConfigureEndpointKey) return std::string(kDefaultConfigureEndpoint);
  return std::nullopt;
}

HBRSettings& HBRSettingsOnboardingManager::settingsModel() {
  std::lock_guard lock(mutex_);
  if (!settingsModel_) {
    // Never read through a link in the folder's place (see makeSettingsDirectory).
    makeSettingsDirectory();
    settingsModel_ = std::make_unique<HBRSettings>(settingsPath());
  }
  return *settingsModel_;
}

bool HBRSettingsOnboardingManager::hasAttemptedAppConfigure() const {
  std::lock_guard lock(mutex_);
  return hasAttemptedAppConfigure_;
}

void HBRSettingsOnboardingManager::beginSettingsAndOnboardingOperationsWithAPIKey(
    const std::optional<std::string>& apiKey, const std::map<std::string, std::string>& kitVersions) {
  {
    std::lock_guard lock(mutex_);
    apiKey_ = apiKey;
    kitVersions_ = kitVersions;
  }
  beginSettingsDownload();
}

std::optional<std::string> HBRSettingsOnboardingManager::appIconHash() const {
  if (!appIdentifierModel_ || !appIdentifierModel_->icon()) return std::nullopt;
  return appIdentifierModel_->icon()->dataHash();
}

std::optional<std::string> HBRSettingsOnboardingManager::advertisingToken() const {
  return harbor_.advertisingToken();
}

void HBRSettingsOnboardingManager::postSettingsDownloadCompletedNotification() {
  if (harbor_.debug()) platform::consoleLog("[Harbor] Settings are available for consumption");
  platform::NotificationCenter::defaultCenter().post(kHBRSettingsAvailableNotification);
}

void HBRSettingsOnboardingManager::operationDidDownloadAndSaveSettings(HBRDownloadAndSaveSettingsOperation&,
                                                                       const std::optional<platform::Error>& error) {
  if (error) {
    platform::consoleLog("[Harbor] failed to download settings " + error->description());
    finishNetworkingSession();
    return;
  }
  if (harbor_.debug()) platform::consoleLog("[Harbor] settings downloaded successfully");
  settingsModel().clearSettingsDictionary();
  if (hasAttemptedAppConfigure()) {
    if (harbor_.debug()) platform::consoleLog("[Harbor] App already onboarded in this run of the app");
    postSettingsDownloadCompletedNotification();
    finishNetworkingSession();
    return;
  }
  const std::string endpoint = valueForConfigurationKey(kConfigureEndpointKey).value_or("");
  if (settingsModel().appNeedsOnboarding()) {
    if (harbor_.debug()) platform::consoleLog("[Harbor] Starting onboarding with app create");
    {
      std::lock_guard lock(mutex_);
      hasAttemptedAppConfigure_ = true;
    }
    beginOnboarding(true, endpoint);
    return;
  }
  postSettingsDownloadCompletedNotification();
  if (settingsModel().appUpdateRequired()) {
    if (harbor_.debug()) platform::consoleLog("[Harbor] Starting onboarding with app update");
    {
      std::lock_guard lock(mutex_);
      hasAttemptedAppConfigure_ = true;
    }
    beginOnboarding(false, endpoint);
  } else {
    finishNetworkingSession();
  }
}

void HBRSettingsOnboardingManager::onboardingOperationDidCompleteAppCreation(
    HBROnboardingOperation&, const std::optional<platform::Error>& error) {
  if (error) {
    platform::consoleLog("[Harbor] unable to complete application configure: " + error->description());
    finishNetworkingSession();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    onboardingOperation_.reset();
  }
  if (harbor_.debug()) platform::consoleLog("[Harbor] completed configure");
  beginSettingsDownload();
}

void HBRSettingsOnboardingManager::onboardingOperationDidCompleteAppUpdate(HBROnboardingOperation&,
                                                                           const std::optional<platform::Error>& error) {
  finishNetworkingSession();
  if (error) {
    platform::consoleLog("[Harbor] unable to complete application update: " + error->description());
    return;
  }
  {
    std::lock_guard lock(mutex_);
    onboardingOperation_.reset();
  }
  if (harbor_.debug()) platform::consoleLog("[Harbor] completed application update");
}

std::string HBRSettingsOnboardingManager::settingsURL() {
  std::string instance = appIdentifierModel_ ? appIdentifierModel_->instanceIdentifier() : std::string();
  return HBRSettings::settingsURLForEndpoint(valueForConfigurationKey(kSettingsEndpointKey).value_or(""), instance,
                                             appIconHash());
}

void HBRSettingsOnboardingManager::beginSettingsDownload() {
  makeSettingsDirectory();
  HBRDownloadAndSaveSettingsOperation::Parameters parameters;
  {
    std::lock_guard lock(mutex_);
    parameters.APIKey = apiKey_;
  }
  parameters.delegate = weak_from_this();
  parameters.settingsURL = settingsURL();
  parameters.settingsDirectoryPath = settingsDirectoryPath();
  parameters.settingsFilePath = settingsPath();
  if (appIdentifierModel_) parameters.installIdentifier = appIdentifierModel_->installID();
  parameters.advertisingToken = advertisingToken();
  parameters.networkClient = networkClient_;
  if (auto operation = HBRDownloadAndSaveSettingsOperation::create(std::move(parameters))) operation->start();
}

void HBRSettingsOnboardingManager::beginOnboarding(bool shouldCreate, const std::string& endpoint) {
  std::shared_ptr<HBROnboardingOperation> operation;
  {
    std::lock_guard lock(mutex_);
    operation = HBROnboardingOperation::create(weak_from_this(), shouldCreate, apiKey_, kitVersions_,
                                               appIdentifierModel_, endpoint, networkClient_);
    onboardingOperation_ = operation;
  }
  if (operation) operation->start();
}

void HBRSettingsOnboardingManager::finishNetworkingSession() {
  if (networkClient_) networkClient_->invalidateAndCancel();
  std::function<void()> observer;
  {
    std::lock_guard lock(mutex_);
    observer = sessionFinishedObserver_;
  }
  if (observer) observer();
}

void HBRSettingsOnboardingManager::setSessionFinishedObserver(std::function<void()> observer) {
  std::lock_guard lock(mutex_);
  sessionFinishedObserver_ = std::move(observer);
}

std::shared_ptr<HBROnboardingOperation> HBRSettingsOnboardingManager::onboardingOperation() const {
  std::lock_guard lock(mutex_);
  return onboardingOperation_;
}

}  // namespace lumora
