#include "harbor/Harbor.h"

#include <algorithm>
#include <utility>

#include "harbor/BBXUserDefaults.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRMachO.h"
#include "harbor/HBRObfuscator.h"
#include "harbor/HBRSettingsOnboardingManager.h"
#include "platform/diagnostics/Console.h"
#include "platform/diagnostics/Exception.h"
#include "platform/device/Bundle.h"

namespace lumora {
namespace {

constexpr const char* kHarborClassName = "Harbor";
constexpr const char* kInstallationUUIDKey = "com.blackbox.iuuid";
constexpr const char* kPlatformBundleIdentifier = "io.harbor.sdk.ios";
constexpr const char* kPlatformVersion = "1.5.5";

[[noreturn]] void raiseHarbor(const std::string& reason) { throw platform::Exception("HBRException", reason); }

std::string quotedKitName(const std::string& text) { return "\"" + text + "\""; }

bool holds(const std::vector<HBRKitClassPtr>& kits, const HBRKitClassPtr& kit) {
  return std::find(kits.begin(), kits.end(), kit) != kits.end();
}

bool answersLegacyKit(const HBRKitClass& kit) {
  auto instance = kit.sharedInstance();
  return instance && instance->start && instance->bundleIdentifier && instance->version;
}

}  // namespace

Harbor& Harbor::sharedSDK() {
  static Harbor* shared = new Harbor();
  return *shared;
}

Harbor& Harbor::with(const std::vector<HBRKitItem>& kits) {
  Harbor& shared = sharedSDK();
  shared.startWithKits(kits);
  return shared;
}

Harbor::Harbor(BBXUserDefaults* defaults)
    : defaults_(defaults ? *defaults : BBXUserDefaults::standardUserDefaults()) {
  if (auto stored = readInstallationUUID()) {
    installID_ = *stored;
  } else {
    isFirstInstall_ = true;
    generateInstallationUUID();
  }
  executionIdentifier_ = HBRCreateUUIDString();
  std::erase(executionIdentifier_, '-');
  executionIdentifier_ = platform::lowerCased(executionIdentifier_);
  applicationIdentifierModel_ = HBRApplicationIdentiferModel::initWithInstallID(installID_);
  settingsAndOnboardingManager_ =
      std::make_shared<HBRSettingsOnboardingManager>(applicationIdentifierModel_, *this);
}

Harbor::~Harbor() = default;

void Harbor::startWithKits(const std::vector<HBRKitItem>& kits) {
  if (started_.exchange(true)) return;
  if (!APIKey()) return;
  std::vector<HBRKitClassPtr> classes = convertToKitClassesIfNeeded(kits);
  validateHBRKitConformance(classes);
  classes = kitClassesByAddingDialerIfFound(std::move(classes));
  classes = kitClassesByAddingTallyIfFound(std::move(classes));
  {
    std::lock_guard lock(mutex_);
    kitClasses_ = classes;
  }
  for (const auto& kit : classes) initializeKit(*kit);
  onboardAppAndDownloadSettings();
}

std::vector<HBRKitClassPtr> Harbor::convertToKitClassesIfNeeded(const std::vector<HBRKitItem>& kits) {
  std::vector<HBRKitClassPtr> classes;
  for (const auto& item : kits) {
    if (const auto* kitClass = std::get_if<HBRKitClassPtr>(&item)) {
      classes.push_back(*kitClass);
    } else if (const auto& object = std::get<std::shared_ptr<const HBRKitObject>>(item)) {
      classes.push_back(object->kitClass());
    } else {
      classes.push_back(nullptr);
    }
  }
  return classes;
}

void Harbor::validateHBRKitConformance(const std::vector<HBRKitClassPtr>& kitClasses) {
  for (const auto& kit : kitClasses) {
    const std::string name = kit ? kit->name : "(null)";
    if (kit && kit->adoptsHBRKit && kit->bundleIdentifier && kit->kitDisplayVersion) continue;
    if (kit && kit->sharedInstance) {
      platform::consoleLog("[" + std::string(kHarborClassName) + "] Please upgrade to the latest version of " +
                           quotedKitName(name));
      if (answersLegacyKit(*kit)) continue;
    }
    raiseHarbor("[" + std::string(kHarborClassName) + "] It appears that " + quotedKitName(name) +
                " is not a valid Harbor Kit. Please make sure you only pass Harbor Kits to [Harbor with:].");
  }
}

std::vector<HBRKitClassPtr> Harbor::kitClassesByAddingDialerIfFound(std::vector<HBRKitClassPtr> kitClasses) {
  HBRKitClassPtr dialer = HBRKitClassNamed("Dialer");
  if (dialer && !holds(kitClasses, dialer)) kitClasses.push_back(dialer);
  return kitClasses;
}

std::vector<HBRKitClassPtr> Harbor::kitClassesByAddingTallyIfFound(std::vector<HBRKitClassPtr> kitClasses) {
  HBRKitClassPtr blackbox = HBRKitClassNamed("Blackbox");
  HBRKitClassPtr tally = HBRKitClassNamed("Tally");
  if (blackbox && tally && tally->adoptsHBRKit && holds(kitClasses, blackbox) && !holds(kitClasses, tally)) {
    kitClasses.push_back(tally);
  }
  return kitClasses;
}

void Harbor::initializeKit(const HBRKitClass& kitClass) {
  if (kitClass.adoptsHBRKit) {
    if (kitClass.initializeIfNeeded) kitClass.initializeIfNeeded();
  } else if (kitClass.sharedInstance) {
    if (auto instance = kitClass.sharedInstance(); instance && instance->start) instance->start();
  }
}

std::optional<platform::Json> Harbor::configurationDictionaryForKitClass(const HBRKitClass& kitClass) {
  return sharedSDK().configurationDictionaryForKitName(kitClass.name);
}

std::optional<platform::Json> Harbor::configurationDictionaryForKit(const HBRKitObject& kit) {
  HBRKitClassPtr kitClass = kit.kitClass();
  if (!kitClass) return std::nullopt;
  return configurationDictionaryForKitName(kitClass->name);
}

std::optional<platform::Json> Harbor::configurationDictionaryForKitName(const std::string& name) {
  const platform::Json config = harborConfig();
  auto kits = config.find("Kits");
  if (kits == config.end() || !kits->is_array()) return std::nullopt;
  for (const auto& entry : *kits) {
    if (!entry.is_object() || entry.value("KitName", platform::Json()) != name) continue;
    platform::Json merged = platform::Json::object();
    if (auto obfuscated = entry.find("ObfuscatedKitInfo"); obfuscated != entry.end()) {
      std::optional<platform::Bytes> data;
      if (obfuscated->is_binary()) data = platform::Bytes(obfuscated->get_binary().begin(), obfuscated->get_binary().end());
      merged = HBRObfuscator::dictionaryWithObfuscatedData(data);
    }
    if (auto plain = entry.find("KitInfo"); plain != entry.end() && plain->is_object()) {
      for (const auto& [key, value] : plain->items()) merged[key] = value;
    }
    return merged;
  }
  return std::nullopt;
}

void Harbor::onboardAppAndDownloadSettings() {
  settingsAndOnboardingManager_->beginSettingsAndOnboardingOperationsWithAPIKey(APIKey(),
                                                                               kitVersionsByKitBundleIdentifier());
}

std::map<std::string, std::string> Harbor::kitVersionsByKitBundleIdentifier() const {
  std::map<std::string, std::string> versions;
  for (const auto& kit : kitClasses()) {
    if (kit->adoptsHBRKit) {
      versions[kit->bundleIdentifier()] = kit->kitDisplayVersion();
    } else if (auto instance = kit->sharedInstance ? kit->sharedInstance() : nullptr) {
      versions[instance->bundleIdentifier()] = instance->version();
    }
  }
  versions[kPlatformBundleIdentifier] = kPlatformVersion;
  if (debug()) {
    std::string text;
    for (const auto& [id, version] : versions) text += (text.empty() ? "" : ", ") + id + " = " + version;
    platform::consoleLog("[Harbor] Initialized with kit versions: {" + text + "}");
  }
  return versions;
}

std::optional<std::string> Harbor::readInstallationUUID() {
  auto value = defaults_.objectForKeyByMigratingFromNSUserDefaults(std::string(kInstallationUUIDKey));
  if (!value) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&*value)) return *text;
  return std::nullopt;
}

void Harbor::generateInstallationUUID() {
  installID_ = HBRCreateUUIDString();
  defaults_.setString(installID_, kInstallationUUIDKey);
  defaults_.synchronize();
}

platform::Json Harbor::harborConfig() {
  {
    std::lock_guard lock(mutex_);
    if (harborConfig_) return *harborConfig_;
  }
  platform::Json config = validHarborConfigFromInfoPlist(platform::Bundle::infoDictionary());
  std::lock_guard lock(mutex_);
  harborConfig_ = config;
  return config;
}

platform::Json Harbor::validHarborConfigFromInfoPlist(const platform::Json& info) {
  const std::string name = kHarborClassName;
  if (!info.is_object()) raiseHarbor("[" + name + "] Cannot find Info.plist.");
  auto harbor = info.find("Harbor");
  if (harbor == info.end() || !harbor->is_object()) {
    raiseHarbor("[" + name + "] Value of Info.plist key " + quotedKitName("Harbor") + " must be a NSDictionary.");
  }
  auto kits = harbor->find("Kits");
  if (kits == harbor->end() || !kits->is_array()) {
    platform::consoleLog("[Harbor] [" + name + "] Value of Info.plist[" + name + "][Kits] should be a NSArray.");
  }
  auto key = harbor->find("APIKey");
  if (key == harbor->end() || !key->is_string()) {
    raiseHarbor("[" + name + "] Value of Info.plist[" + name + "][APIKey] must contain your " + name + " API Key.");
  }
  return *harbor;
}

std::optional<std::string> Harbor::APIKey() {
  {
    std::lock_guard lock(mutex_);
    if (apiKey_) return apiKey_;
  }
  platform::Json config = harborConfig();
  auto key = config.find("APIKey");
  std::lock_guard lock(mutex_);
  if (key != config.end() && key->is_string()) apiKey_ = key->get<std::string>();
  if (!apiKey_) {
    platform::consoleLog(
        "[Harbor] Harbor API Key is nil! Harbor won't work unless there is a valid API Key setup in Info.plist");
  }
  return apiKey_;
}

void Harbor::setAPIKey(std::optional<std::string> key) {
  std::lock_guard lock(mutex_);
  apiKey_ = std::move(key);
}

std::optional<std::string> Harbor::advertisingToken() const {
  std::lock_guard lock(mutex_);
  return advertisingToken_;
}

void Harbor::setAdvertisingToken(std::optional<std::string> token) {
  std::lock_guard lock(mutex_);
  advertisingToken_ = std::move(token);
}

HBRSettingsDocument Harbor::settings() {
  return settingsAndOnboardingManager_->settingsModel().settingsDictionary();
}

std::string Harbor::instanceIdentifier() const {
  return applicationIdentifierModel_ ? applicationIdentifierModel_->instanceIdentifier() : std::string();
}

bool Harbor::debug() const { return HBRDebugEnabled(); }

void Harbor::setDebug(bool debug) { HBRSetDebugEnabled(debug); }

std::vector<HBRKitClassPtr> Harbor::kitClasses() const {
  std::lock_guard lock(mutex_);
  return kitClasses_;
}

}  // namespace lumora
