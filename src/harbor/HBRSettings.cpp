#include "harbor/HBRSettings.h"

#include <system_error>
#include <utility>

#include "harbor/HBRBundle.h"
#include "harbor/HBRURLBuilder.h"
#include "platform/JsonParse.h"
#include "platform/diagnostics/Console.h"
#include "platform/storage/OwnFile.h"

namespace lumora {

HBRSettings::HBRSettings(std::filesystem::path settingsPath) : settingsPath_(std::move(settingsPath)) {}

HBRSettingsDocument HBRSettings::parseDocument(std::string_view bytes) {
  if (bytes.size() > kMaxDocumentBytes) return nullptr;
  platform::Json parsed = platform::parseJson(bytes);
  if (parsed.is_discarded() || !parsed.is_object()) return nullptr;
  return std::make_shared<const platform::Json>(std::move(parsed));
}

HBRSettingsDocument HBRSettings::readDocument(const std::filesystem::path& path) {
  // A file of the kit's own only: a symbolic link, a FIFO or a device
  // in its place is no document (and a FIFO must not block the start).
  const auto text = platform::readOwnFile(path, kMaxDocumentBytes);
  return text ? parseDocument(*text) : nullptr;
}

HBRSettingsDocument HBRSettings::settingsDictionary() {
  std::lock_guard lock(mutex_);
  if (settings_) return settings_;
  std::error_code error;
  if (std::filesystem::symlink_status(settingsPath_, error).type() == std::filesystem::file_type::not_found) {
    return nullptr;
  }
  settings_ = readDocument(settingsPath_);
  if (!settings_) {
    platform::consoleLog("[Harbor] Could not load settings with error: the settings file is no JSON document "
                         "within bounds");
    std::filesystem::remove(settingsPath_, error);
  }
  return settings_;
}

std::optional<platform::Json> HBRSettings::appSettings() {
  auto settings = settingsDictionary();
  if (!settings || !settings->is_object()) return std::nullopt;
  auto app = settings->find("app");
  if (app == settings->end() || app->is_null()) return std::nullopt;
  return *app;
}

std::optional<std::string> HBRSettings::appStatus() {
  auto app = appSettings();
  if (!app || !app->is_object()) return std::nullopt;
  auto status = app->find("status");
  if (status == app->end() || !status->is_string()) return std::nullopt;
  return status->get<std::string>();
}

bool HBRSettings::appNeedsOnboarding() { return appStatus() == "new"; }

bool HBRSettings::appUpdateRequired() {
  auto app = appSettings();
  if (!app || !app->is_object()) return false;
  auto required = app->find("update_required");
  if (required == app->end()) return false;
  if (required->is_boolean()) return required->get<bool>();
  return required->is_number() && required->get<double>() != 0;
}

void HBRSettings::clearSettingsDictionary() {
  std::lock_guard lock(mutex_);
  settings_.reset();
}

platform::Status HBRSettings::replaceSettingsFile(const std::filesystem::path& downloaded,
                                                 const std::filesystem::path& directory,
                                                 const std::filesystem::path& settingsPath) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(directory, error);
  const fs::path staged = directory / (settingsPath.filename().string() + ".download");
  fs::remove(staged, error);
  if (!fs::copy_file(downloaded, staged, error) || (fs::rename(staged, settingsPath, error), error)) {
    std::error_code ignored;
    fs::remove(staged, ignored);
    return platform::posixError(error.value(), "cannot put the settings in place at " + settingsPath.string());
  }
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    std::error_code ignored;
    if (entry.path().filename() != settingsPath.filename()) fs::remove_all(entry.path(), ignored);
  }
  return platform::Status::success();
}

std::optional<std::string> HBRSettings::appBundleIdentifier() { return HBRSanitizedBundleIdentifier(); }

std::string HBRSettings::appPlatform() { return "ios"; }

std::optional<std::string> HBRSettings::appBuildVersion() { return HBRBundleBuildVersion(); }

std::optional<std::string> HBRSettings::appDisplayVersion() { return HBRBundleDisplayVersion(); }

int HBRSettings::appSource() { return HBRInstallSource(); }

std::string HBRSettings::settingsURLForEndpoint(const std::string& endpoint, const std::string& appInstanceIdentifer,
                                                const std::optional<std::string>& appIconHash) {
  auto optionalJson = [](const std::optional<std::string>& text) -> std::optional<platform::Json> {
    if (!text) return std::nullopt;
    return platform::Json(*text);
  };
  HBRURLBuilder builder = HBRURLBuilder::URLWithBase(endpoint);
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent(appPlatform());
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(appBundleIdentifier().value_or(""));
  builder.appendComponent("/settings");
  builder.appendValue(optionalJson(appBuildVersion()), "build_version");
  builder.appendValue(optionalJson(appDisplayVersion()), "display_version");
  builder.appendValue(platform::Json(appInstanceIdentifer), "instance");
  builder.appendValue(optionalJson(appIconHash), "icon_hash");
  builder.appendValue(platform::Json(appSource()), "source");
  return builder.URL().value_or(builder.URLString());
}

}  // namespace lumora
