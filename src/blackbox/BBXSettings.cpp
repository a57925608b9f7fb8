#include "blackbox/BBXSettings.h"

#include <cctype>
#include <cstdlib>
#include <utility>

#include "platform/device/Bundle.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

constexpr const char* kBBXConfigurationKey = "Blackbox";
constexpr const char* kBBXStringsTable = "Blackbox";

}  // namespace

BBXSettings::BBXSettings(std::shared_ptr<const nlohmann::json> settingsDictionary)
    : settingsDictionary_(std::move(settingsDictionary)) {}

BBXSettings::BBXSettings(std::optional<nlohmann::json> settingsDictionary)
    : settingsDictionary_(settingsDictionary
                              ? std::make_shared<const nlohmann::json>(std::move(*settingsDictionary))
                              : nullptr) {}

std::optional<nlohmann::json> BBXSettings::configuration() { return platform::Bundle::infoValue(kBBXConfigurationKey); }

const nlohmann::json& BBXSettings::defaultConfiguration() {
  static const auto& defaults = *new nlohmann::json{
      {"ReportsEndpoint", "https://reports.harbor-sdk.io"},
      {"BetaEndpoint", "https://api.harbor-sdk.io"},
      {"PackageReports", true},
      {"SubmitReports", true},
      {"UrgentReports", true},
  };
  return defaults;
}

std::optional<nlohmann::json> BBXSettings::valueForConfigurationKey(const std::string& key) {
  if (const char* value = std::getenv((kBBXConfigurationKey + key).c_str())) {
    platform::consoleLog("[Blackbox:Crash] override: '" + key + "' => '" + value + "'");
    return nlohmann::json(value);
  }
  if (auto info = configuration(); info && info->is_object()) {
    if (auto found = info->find(key); found != info->end()) return *found;
  }
  const auto& defaults = defaultConfiguration();
  if (auto found = defaults.find(key); found != defaults.end()) return *found;
  return std::nullopt;
}

bool BBXSettings::boolValue(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return value.get<double>() != 0;
  if (!value.is_string()) return false;
  const std::string& text = value.get_ref<const std::string&>();
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i == text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

bool BBXSettings::configurationBool(const std::string& key) const {
  auto value = valueForConfigurationKey(key);
  return value && boolValue(*value);
}

std::string BBXSettings::reportsEndpoint() const {
  auto value = valueForConfigurationKey("ReportsEndpoint");
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

std::string BBXSettings::betaEndpoint() const {
  auto value = valueForConfigurationKey("BetaEndpoint");
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

bool BBXSettings::shouldPackageReports() const { return configurationBool("PackageReports"); }
bool BBXSettings::shouldSubmitReports() const { return configurationBool("SubmitReports"); }
bool BBXSettings::canProcessUrgentReports() const { return configurationBool("UrgentReports"); }

const nlohmann::json* BBXSettings::documentValue(const char* group, const char* key) const {
  if (!settingsDictionary_ || !settingsDictionary_->is_object()) return nullptr;
  auto section = settingsDictionary_->find(group);
  if (section == settingsDictionary_->end() || !section->is_object()) return nullptr;
  auto value = section->find(key);
  if (value == section->end() || value->is_null()) return nullptr;
  return &*value;
}

bool BBXSettings::documentBool(const char* group, const char* key, bool fallback) const {
  const nlohmann::json* value = documentValue(group, key);
  return value ? boolValue(*value) : fallback;
}

std::uint32_t BBXSettings::documentUnsigned(const char* group, const char* key, std::uint32_t fallback) const {
  const nlohmann::json* value = documentValue(group, key);
  if (!value) return fallback;
  if (value->is_number_unsigned()) return static_cast<std::uint32_t>(value->get<std::uint64_t>());
  if (value->is_number_integer()) return static_cast<std::uint32_t>(value->get<std::int64_t>());
  if (value->is_number_float()) {
    double number = value->get<double>();
    return number <= 0 ? 0u : static_cast<std::uint32_t>(number >= 4294967295.0 ? 4294967295.0 : number);
  }
  if (value->is_boolean()) return value->get<bool>() ? 1u : 0u;
  if (value->is_string()) return static_cast<std::uint32_t>(std::strtoul(value->get<std::string>().c_str(), nullptr, 10));
  return fallback;
}

bool BBXSettings::crashReportingEnabled() const { return documentBool("features", "collect_reports", true); }
bool BBXSettings::errorReportingEnabled() const { return documentBool("features", "collect_logged_exceptions", true); }
bool BBXSettings::customExceptionsEnabled() const { return errorReportingEnabled(); }
bool BBXSettings::userPromptEnabled() const { return documentBool("features", "prompt_enabled", false); }
std::uint32_t BBXSettings::logBufferSize() const { return documentUnsigned("session", "log_buffer_size", 65536); }
std::uint32_t BBXSettings::errorLogBufferSize() const { return logBufferSize(); }
std::uint32_t BBXSettings::maxCustomExceptions() const {
  return documentUnsigned("session", "max_custom_exception_events", 16);
}
std::uint32_t BBXSettings::maxCustomKeys() const { return documentUnsigned("session", "max_custom_key_value_pairs", 16); }

nlohmann::json BBXSettings::betaSuspendDuration() const {
  const nlohmann::json* value = documentValue("beta", "update_suspend_duration");
  return value && value->is_number() ? *value : nlohmann::json(3600);
}

std::string BBXSettings::promptValueForSettingsKey(const std::string& settingsKey, const std::string& localizedKey,
                                                   const std::string& defaultValue) const {
  std::string text = defaultValue;
  if (const nlohmann::json* value = documentValue("prompt", settingsKey.c_str()); value && value->is_string()) {
    text = value->get<std::string>();
  }
  return platform::Bundle::localizedString(localizedKey, text, kBBXStringsTable);
}

std::string BBXSettings::interactivePromptTitle() const {
  return promptValueForSettingsKey("title", "BlackboxCrashSubmissionPromptTitle", "Send Crash Report?");
}

std::string BBXSettings::interactivePromptMessage() const {
  return promptValueForSettingsKey(
      "message", "BlackboxCrashSubmissionPromptMessage",
      "Looks like we crashed! Please help us fix the problem by sending a crash report.");
}

std::string BBXSettings::interactivePromptCancelTitle() const {
  return promptValueForSettingsKey("cancel_button_title", "BlackboxCrashSubmissionCancelTitle", "Don't Send");
}

std::string BBXSettings::interactivePromptSendTitle() const {
  return promptValueForSettingsKey("send_button_title", "BlackboxCrashSubmissionSendTitle", "Send");
}

std::string BBXSettings::interactivePromptAlwaysSendTitle() const {
  return promptValueForSettingsKey("always_send_button_title", "BlackboxCrashSubmissionAlwaysSendTitle",
                                   "Always Send");
}

}  // namespace lumora
