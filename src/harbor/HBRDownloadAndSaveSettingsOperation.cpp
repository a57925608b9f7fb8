#include "harbor/HBRDownloadAndSaveSettingsOperation.h"

#include <utility>

#include "harbor/HBRBundle.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRHost.h"
#include "harbor/HBRNetworkResponseHandler.h"
#include "harbor/HBRSettings.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

constexpr const char* kSettingsClientVersion = "1.5.5";

void setIfPresent(platform::http::Request& request, const char* name, const std::optional<std::string>& value) {
  if (value) request.headers.set(name, *value);
}

}  // namespace

std::shared_ptr<HBRDownloadAndSaveSettingsOperation> HBRDownloadAndSaveSettingsOperation::create(Parameters parameters) {
  if (!parameters.APIKey) return nullptr;
  return std::shared_ptr<HBRDownloadAndSaveSettingsOperation>(
      new HBRDownloadAndSaveSettingsOperation(std::move(parameters)));
}

HBRDownloadAndSaveSettingsOperation::HBRDownloadAndSaveSettingsOperation(Parameters parameters)
    : HBRNetworkOperation(*parameters.APIKey), parameters_(std::move(parameters)) {
  if (!HBRShouldCollectDeviceIdentifiers()) {
    parameters_.advertisingToken.reset();
    if (HBRDebugEnabled()) platform::consoleLog("[Harbor] Suppressing device identifier reporting");
  }
}

platform::http::Request HBRDownloadAndSaveSettingsOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const std::string& url) {
  platform::http::Request request = HBRNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(url);
  request.method = "GET";
  request.headers.set("Accept", "application/json");
  setIfPresent(request, "X-Blackbox-Installation-ID", parameters_.installIdentifier);
  setIfPresent(request, "X-Blackbox-Device-Model", HBRHostModelIdentifier());
  setIfPresent(request, "X-Blackbox-OS-Build-Version", HBRHostOSBuildVersion());
  request.headers.set("X-Blackbox-OS-Display-Version", HBRHostOSDisplayVersion());
  request.headers.set("X-Blackbox-API-Client-Version", kSettingsClientVersion);
  // A document is a few kilobytes: a longer reply is cut off at the bound.
  request.maxResponseBytes = HBRSettings::kMaxDocumentBytes;
  if (platform::hasText(parameters_.advertisingToken)) {
    request.headers.set("X-Blackbox-Advertising-Token", *parameters_.advertisingToken);
  }
  return request;
}

void HBRDownloadAndSaveSettingsOperation::main() {
  platform::http::Request request = mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(parameters_.settingsURL);
  auto client = parameters_.networkClient.lock();
  if (!client) return complete(std::nullopt, HBRNetworkResponseHandler::errorForCode(-3));
  auto self = std::static_pointer_cast<HBRDownloadAndSaveSettingsOperation>(shared_from_this());
  // The downloaded file lives until this handler returns: it is put in
  // place here.
  client->startDownloadTaskWithRequest(
      request, kRetryLimit,
      [self](const std::optional<std::filesystem::path>& file, const std::optional<platform::http::Response>&,
             const std::optional<platform::Error>& error) { self->complete(file, error); });
}

void HBRDownloadAndSaveSettingsOperation::complete(const std::optional<std::filesystem::path>& file,
                                                   const std::optional<platform::Error>& error) {
  error_ = error;
  if (!error_ && !file) error_ = HBRNetworkResponseHandler::errorForCode(-3);
  if (!error_) {
    // A document that every later start would refuse (or choke on) is
    // refused now, and the settings of the last good download stay.
    if (!HBRSettings::readDocument(*file)) {
      error_ = HBRNetworkResponseHandler::errorForCode(
          kHBRNetworkErrorFailedResponse, {{"reason", "the settings reply is no JSON object within bounds"}});
    } else if (auto replaced = HBRSettings::replaceSettingsFile(*file, parameters_.settingsDirectoryPath,
                                                                parameters_.settingsFilePath);
               !replaced) {
      error_ = replaced.error();
    }
    if (error_) platform::consoleLog("[Harbor] Unable to complete settings download " + error_->description());
    // Put in place (copied) or refused: the download is done with either way.
    std::error_code ignored;
    std::filesystem::remove(*file, ignored);
  }
  if (auto delegate = parameters_.delegate.lock()) delegate->operationDidDownloadAndSaveSettings(*this, error_);
  finish();
}

}  // namespace lumora
