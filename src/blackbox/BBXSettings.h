// The crash reporter's view of its settings: the document the platform
// downloaded (possibly none) and the local configuration (the environment,
// then the Info "Blackbox" dictionary, then the defaults). Each accessor
// answers its fixed default when the value is absent, so a reporter that
// never downloaded settings runs on defaults alone.
//
// Ownership: a small value made fresh for each request; shares the
// platform's parsed document (never copies it). Threading: any thread; it
// changes nothing. Failure: none; a value of the wrong type reads as absent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace lumora {

class BBXSettings {
 public:
  explicit BBXSettings(std::shared_ptr<const nlohmann::json> settingsDictionary);
  explicit BBXSettings(std::optional<nlohmann::json> settingsDictionary);

  // None without a document.
  const std::shared_ptr<const nlohmann::json>& settingsDictionary() const { return settingsDictionary_; }

  // The Info "Blackbox" value (read on every call) and the built-in table.
  static std::optional<nlohmann::json> configuration();
  static const nlohmann::json& defaultConfiguration();
  // The environment's "Blackbox<key>" (logged as an override), the Info
  // "Blackbox" entry, the default; nullopt when none has it.
  static std::optional<nlohmann::json> valueForConfigurationKey(const std::string& key);

  std::string reportsEndpoint() const;
  std::string betaEndpoint() const;
  bool shouldPackageReports() const;
  bool shouldSubmitReports() const;
  bool canProcessUrgentReports() const;

  bool crashReportingEnabled() const;
  bool errorReportingEnabled() const;
  bool customExceptionsEnabled() const;
  bool userPromptEnabled() const;
  std::uint32_t logBufferSize() const;
  std::uint32_t errorLogBufferSize() const;
  std::uint32_t maxCustomExceptions() const;
  std::uint32_t maxCustomKeys() const;
  // The document's number as it is.
  nlohmann::json betaSuspendDuration() const;

  // The service's text under "prompt" (else `defaultValue`), passed through
  // the bundle's "Blackbox" strings table under `localizedKey`.
  std::string promptValueForSettingsKey(const std::string& settingsKey, const std::string& localizedKey,
                                        const std::string& defaultValue) const;
  std::string interactivePromptTitle() const;
  std::string interactivePromptMessage() const;
  std::string interactivePromptCancelTitle() const;
  std::string interactivePromptSendTitle() const;
  std::string interactivePromptAlwaysSendTitle() const;

  // The boolean reading of a configuration or document value: booleans as
  // they are, numbers when not zero, texts beginning (after blanks, a sign
  // and zeros) with Y, y, T, t or a digit 1 to 9.
  static bool boolValue(const nlohmann::json& value);

 private:
  const nlohmann::json* documentValue(const char* group, const char* key) const;
  bool documentBool(const char* group, const char* key, bool fallback) const;
  std::uint32_t documentUnsigned(const char* group, const char* key, std::uint32_t fallback) const;
  bool configurationBool(const std::string& key) const;

  std::shared_ptr<const nlohmann::json> settingsDictionary_;
};

}  // namespace lumora
