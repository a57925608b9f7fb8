// Registers the app with the vendor's service: a multipart app form (the
// identity, the kits and their versions, the executable's slices, the
// icon) sent as POST to <endpoint>/spi/v1/platforms/ios/apps with a 2 s
// time-out to create the app, or as PUT to .../apps/<bundle id> with 10 s
// to update it; retried at most once. The reply body is not read. The
// delegate hears once, then the operation finishes.
//
// Ownership: created shared; holds the app identity, and its delegate and
// the network client weakly. Threading: the form is built where main()
// runs (the global queue); the delegate is told where the client
// completes. Failure: the client's error; a client already gone is
// reported as "HBRNetworkError" -3 (no task).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "harbor/HBRApplicationIdentiferModel.h"
#include "harbor/HBRNetworkClient.h"
#include "harbor/HBRNetworkOperation.h"
#include "platform/Error.h"

namespace lumora {

class HBROnboardingOperation;

class HBROnboardingOperationDelegate {
 public:
  virtual ~HBROnboardingOperationDelegate() = default;
  virtual void onboardingOperationDidCompleteAppCreation(HBROnboardingOperation& operation,
                                                         const std::optional<platform::Error>& error) = 0;
  virtual void onboardingOperationDidCompleteAppUpdate(HBROnboardingOperation& operation,
                                                       const std::optional<platform::Error>& error) = 0;
};

class HBROnboardingOperation : public HBRNetworkOperation {
 public:
  static constexpr std::uint64_t kRetryLimit = 1;
  static constexpr double kCreateTimeout = 2.0;

  // Null without an API key.
  static std::shared_ptr<HBROnboardingOperation> create(
      std::weak_ptr<HBROnboardingOperationDelegate> delegate, bool shouldCreate,
      const std::optional<std::string>& APIKey, std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
      std::shared_ptr<const HBRApplicationIdentiferModel> appIdentifierModel, std::string endpointString,
      std::weak_ptr<HBRNetworkClient> networkClient);

  static std::optional<std::string> appBundleIdentifier();
  static std::string appPlatform();
  static std::optional<std::string> appName();
  static std::optional<std::string> appBuildVersion();
  static std::optional<std::string> appDisplayVersion();
  static int appInstallSource();
  std::string appCreateURL() const;
  std::string appUpdateURL() const;
  // The whole request, form included.
  platform::http::Request onboardingRequestForAppCreate(bool shouldCreate);

  bool shouldCreate() const { return shouldCreate_; }
  const std::optional<platform::Error>& error() const { return error_; }

 protected:
  void main() override;

 private:
  HBROnboardingOperation(std::string APIKey) : HBRNetworkOperation(std::move(APIKey)) {}
  void beginAppConfigure();
  void complete(const std::optional<platform::Error>& error);

  bool shouldCreate_ = false;
  std::optional<platform::Error> error_;
  std::shared_ptr<const HBRApplicationIdentiferModel> appIdentifierModel_;
  std::string appEndpoint_;
  std::weak_ptr<HBROnboardingOperationDelegate> delegate_;
  std::weak_ptr<HBRNetworkClient> networkClient_;
  std::map<std::string, std::string> kitVersionsByKitBundleIdentifier_;
};

}  // namespace lumora
