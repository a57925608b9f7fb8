// Downloads the app's settings document (GET with the vendor's headers and
// the installation, device and system facts; the advertising token only
// when device identifiers may be collected and it is not empty), retried
// at most once, and puts it in place as the settings file, but only a
// reply that reads as a settings document within bounds (at most
// HBRSettings::kMaxDocumentBytes; a longer body is cut off). The delegate
// hears once, with the error or none, then the operation finishes.
//
// Ownership: created shared; holds its delegate and the network client
// weakly. Threading: main() runs on the global queue, the delegate is told
// where the client completes. Failure: the client's error (-1103 for a
// reply past the bound), "HBRNetworkError" -4 for a reply that is no
// settings document, or the error of putting the file in place; a client
// already gone is reported as "HBRNetworkError" -3 (no task).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "harbor/HBRNetworkClient.h"
#include "harbor/HBRNetworkOperation.h"
#include "platform/Error.h"

namespace lumora {

class HBRDownloadAndSaveSettingsOperation;

class HBRDownloadAndSaveSettingsOperationDelegate {
 public:
  virtual ~HBRDownloadAndSaveSettingsOperationDelegate() = default;
  virtual void operationDidDownloadAndSaveSettings(HBRDownloadAndSaveSettingsOperation& operation,
                                                   const std::optional<platform::Error>& error) = 0;
};

class HBRDownloadAndSaveSettingsOperation : public HBRNetworkOperation {
 public:
  static constexpr std::uint64_t kRetryLimit = 1;

  struct Parameters {
    std::optional<std::string> APIKey;
    std::weak_ptr<HBRDownloadAndSaveSettingsOperationDelegate> delegate;
    std::string settingsURL;
    std::filesystem::path settingsDirectoryPath;
    std::filesystem::path settingsFilePath;
    std::optional<std::string> installIdentifier;
    std::optional<std::string> advertisingToken;
    std::weak_ptr<HBRNetworkClient> networkClient;
  };

  // Null without an API key.
  static std::shared_ptr<HBRDownloadAndSaveSettingsOperation> create(Parameters parameters);

  platform::http::Request mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const std::string& url) override;

  const std::optional<platform::Error>& error() const { return error_; }
  const std::optional<std::string>& advertisingToken() const { return parameters_.advertisingToken; }

 protected:
  void main() override;

 private:
  explicit HBRDownloadAndSaveSettingsOperation(Parameters parameters);
  void complete(const std::optional<std::filesystem::path>& file, const std::optional<platform::Error>& error);

  Parameters parameters_;
  std::optional<platform::Error> error_;
};

}  // namespace lumora
