#include "harbor/analytics/BBXAnalyticsMetadataController.h"

#include <unistd.h>

#include <filesystem>

#include <fmt/format.h>

#include "harbor/HBRBundle.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRHost.h"
#include "harbor/Harbor.h"
#include "platform/device/Bundle.h"
#include "platform/device/Device.h"
#include "platform/device/Locale.h"
#include "platform/device/VendorIdentifier.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

std::optional<platform::Json> metadataText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return platform::Json(*text);
}

}  // namespace

std::optional<BBXAnalyticsMetadataController> BBXAnalyticsMetadataController::make(
    std::uint64_t timestamp, const std::optional<std::string>& betaToken, Harbor& harbor) {
  const auto adId = identifierForAdvertising();
  harbor.setAdvertisingToken(adId);
  platform::Json metadata = metadataWithTimeStamp(timestamp, betaToken, adId, harbor);
  try {
    platform::Bytes json = platform::toBytes(metadata.dump());
    return BBXAnalyticsMetadataController(std::move(metadata), std::move(json));
  } catch (const platform::Json::exception& error) {
    if (HBRDebugEnabled()) {
      platform::consoleLog(fmt::format("[Blackbox:Tally] Unable to JSON-encode metadata {{error: {}}}", error.what()));
    }
    return std::nullopt;
  }
}

platform::Json BBXAnalyticsMetadataController::metadataWithTimeStamp(std::uint64_t timestamp,
                                                                     const std::optional<std::string>& betaToken,
                                                                     const std::optional<std::string>& adToken,
                                                                     Harbor& harbor) {
  platform::Json d = platform::Json::object();
  setValueInDictionary(d, "generator", "Tally iOS SDK/0.9.1");
  setValueInDictionary(d, "links_ad_support", advertisingSupportFrameworkLinked());
  setValueInDictionary(d, "advertising_tracking_enabled", trackingForAdvertisingEnabled());
  setValueInDictionary(d, "advertising_id", metadataText(adToken));
  setValueInDictionary(d, "api_key", metadataText(harbor.APIKey()));
  setValueInDictionary(d, "session_id", metadataText(harbor.executionIdentifier()));
  setValueInDictionary(d, "started_at", static_cast<std::uint64_t>(timestamp / 1000));
  setValueInDictionary(d, "vendor_id", metadataText(hostVendorId()));
  setValueInDictionary(d, "install_id", metadataText(harbor.installID()));
  setValueInDictionary(d, "beta_tester_token", metadataText(unwrapBetaToken(betaToken)));
  setValueInDictionary(d, "model", metadataText(hostModel()));
  setValueInDictionary(d, "machine", metadataText(hostMachine()));
  setValueInDictionary(d, "locale", metadataText(hostLocale()));
  setValueInDictionary(d, "os_build", metadataText(hostOSVersion()));
  setValueInDictionary(d, "os_version", metadataText(hostOSVersionName()));
  setValueInDictionary(d, "platform", metadataText(hostPlatform()));
  setValueInDictionary(d, "platform_code", hostPlatformCode());
  setValueInDictionary(d, "cores", hostNumCores());
  setValueInDictionary(d, "jailbroken", hostJailbroken());
  setValueInDictionary(d, "bundle_id", metadataText(bundleIdentifier()));
  setValueInDictionary(d, "bundle_version", metadataText(bundleVersion()));
  setValueInDictionary(d, "bundle_short_version", metadataText(bundleShortVersion()));
  setValueInDictionary(d, "instance_id", metadataText(harbor.instanceIdentifier()));
  return d;
}

std::optional<std::string> BBXAnalyticsMetadataController::hostModel() { return HBRHostModelIdentifier(); }
std::optional<std::string> BBXAnalyticsMetadataController::hostMachine() { return HBRHostModelIdentifier(); }
std::string BBXAnalyticsMetadataController::hostLocale() { return platform::Locale::currentIdentifier(); }
std::optional<std::string> BBXAnalyticsMetadataController::hostOSVersion() { return HBRHostOSBuildVersion(); }
std::string BBXAnalyticsMetadataController::hostOSVersionName() { return HBRHostOSDisplayVersion(); }

bool BBXAnalyticsMetadataController::hostJailbroken() {
  const std::filesystem::path root = platform::Device::filesystemRoot();
  std::error_code ec;
  auto exists = [&](const char* relative) { return std::filesystem::exists(root / relative, ec); };
  return exists("bin/bash") || exists("bin/sh") || platform::Bundle::infoValue("SignerIdentity").has_value() ||
         exists("Applications/Cydia.app");
}

std::uint32_t BBXAnalyticsMetadataController::hostNumCores() {
  const long count = ::sysconf(_SC_NPROCESSORS_CONF);
  return count > 0 ? static_cast<std::uint32_t>(count) : 1;
}

std::optional<std::string> BBXAnalyticsMetadataController::hostVendorId() {
  return platform::VendorIdentifier::identifierForVendor();
}

std::optional<std::string> BBXAnalyticsMetadataController::bundleIdentifier() {
  return HBRSanitizedBundleIdentifier();
}
std::optional<std::string> BBXAnalyticsMetadataController::bundleVersion() { return HBRBundleBuildVersion(); }
std::optional<std::string> BBXAnalyticsMetadataController::bundleShortVersion() { return HBRBundleDisplayVersion(); }

std::optional<std::string> BBXAnalyticsMetadataController::unwrapBetaToken(const std::optional<std::string>& token) {
  if (!token) return std::nullopt;
  const auto colon = token->find(':');
  if (colon == std::string::npos || token->find(':', colon + 1) != std::string::npos) return std::nullopt;
  if (token->substr(0, colon) != "2") return std::nullopt;
  return token->substr(colon + 1);
}

std::shared_ptr<platform::AdvertisingIdentifierManager> BBXAnalyticsMetadataController::ASManager() {
  return platform::AdvertisingIdentifierManager::sharedManager();
}

bool BBXAnalyticsMetadataController::advertisingSupportFrameworkLinked() { return ASManager() != nullptr; }

bool BBXAnalyticsMetadataController::trackingForAdvertisingEnabled() {
  const auto manager = ASManager();
  return manager && manager->isAdvertisingTrackingEnabled();
}

std::optional<std::string> BBXAnalyticsMetadataController::identifierForAdvertising() {
  if (!HBRShouldCollectDeviceIdentifiers() || !trackingForAdvertisingEnabled()) return std::nullopt;
  const auto manager = ASManager();
  return manager ? manager->advertisingIdentifier() : std::nullopt;
}

void BBXAnalyticsMetadataController::setValueInDictionary(platform::Json& dictionary, const std::string& key,
                                                          const std::optional<platform::Json>& value) {
  if (value && !value->is_null()) dictionary[key] = *value;
}

void BBXAnalyticsMetadataController::setValueInDictionary(platform::Json& dictionary, const std::string& key,
                                                          const char* value) {
  if (value) dictionary[key] = std::string(value);
}

void BBXAnalyticsMetadataController::setValueInDictionary(platform::Json& dictionary, const std::string& key,
                                                          bool value) {
  dictionary[key] = value;
}

void BBXAnalyticsMetadataController::setValueInDictionary(platform::Json& dictionary, const std::string& key,
                                                          std::uint32_t value) {
  dictionary[key] = value;
}

void BBXAnalyticsMetadataController::setValueInDictionary(platform::Json& dictionary, const std::string& key,
                                                          std::uint64_t value) {
  dictionary[key] = value;
}

}  // namespace lumora
