// The metadata of one analytics session: device, app and run facts
// ("generator", advertising facts, API key, session, "started_at" in whole
// seconds, vendor and install identifiers, the unwrapped beta token, model,
// locale, system build and version, platform, cores, "jailbroken", bundle
// identity, instance identifier) and its compact JSON, the payload of the
// "metadata" record that opens every log file. An entry whose source has
// no value is left out.
//
// Ownership: a plain value, built once per session; it reads the platform
// object given at construction and tells it the advertising identifier.
// Threading: any thread. Failure: metadata that cannot be written as JSON
// gives no controller (logged while the debug switch is on).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/device/AdvertisingIdentifierManager.h"

namespace lumora {

class Harbor;

class BBXAnalyticsMetadataController {
 public:
  static std::optional<BBXAnalyticsMetadataController> make(std::uint64_t timestamp,
                                                            const std::optional<std::string>& betaToken,
                                                            Harbor& harbor);

  const platform::Json& metadata() const { return metadata_; }
  const platform::Bytes& metadataJSONData() const { return metadataJSONData_; }

  static platform::Json metadataWithTimeStamp(std::uint64_t timestamp, const std::optional<std::string>& betaToken,
                                              const std::optional<std::string>& adToken, Harbor& harbor);

  // Value sources.
  static std::optional<std::string> hostModel();
  static std::optional<std::string> hostMachine();
  static std::string hostLocale();
  static std::optional<std::string> hostOSVersion();
  static std::string hostOSVersionName();
  // A shell or a package manager under the device's file-system root, or
  // a re-signed bundle.
  static bool hostJailbroken();
  static std::uint32_t hostNumCores();
  static std::string hostPlatform() { return "iOS"; }
  static std::uint32_t hostPlatformCode() { return 1; }
  static std::optional<std::string> hostVendorId();
  static std::optional<std::string> bundleIdentifier();
  static std::optional<std::string> bundleVersion();
  static std::optional<std::string> bundleShortVersion();
  // "2:<token>" gives the token; any other form none.
  static std::optional<std::string> unwrapBetaToken(const std::optional<std::string>& token);
  static std::shared_ptr<platform::AdvertisingIdentifierManager> ASManager();
  static bool advertisingSupportFrameworkLinked();
  static bool trackingForAdvertisingEnabled();
  // Only with device identifiers collected and tracking allowed.
  static std::optional<std::string> identifierForAdvertising();

  // Setters that leave the dictionary alone for a value of none.
  static void setValueInDictionary(platform::Json& dictionary, const std::string& key,
                                   const std::optional<platform::Json>& value);
  static void setValueInDictionary(platform::Json& dictionary, const std::string& key, const char* value);
  static void setValueInDictionary(platform::Json& dictionary, const std::string& key, bool value);
  static void setValueInDictionary(platform::Json& dictionary, const std::string& key, std::uint32_t value);
  static void setValueInDictionary(platform::Json& dictionary, const std::string& key, std::uint64_t value);

 private:
  BBXAnalyticsMetadataController(platform::Json metadata, platform::Bytes json)
      : metadata_(std::move(metadata)), metadataJSONData_(std::move(json)) {}

  platform::Json metadata_;
  platform::Bytes metadataJSONData_;
};

}  // namespace lumora
