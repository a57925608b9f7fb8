#include "harbor/HBROnboardingOperation.h"

#include <utility>

#include "harbor/HBRBundle.h"
#include "harbor/HBRMultipartMimeStreamEncoder.h"
#include "harbor/HBRNetworkResponseHandler.h"
#include "harbor/HBRURLBuilder.h"

namespace lumora {
namespace {

std::optional<platform::Json> jsonText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return platform::Json(*text);
}

}  // namespace

std::shared_ptr<HBROnboardingOperation> HBROnboardingOperation::create(
    std::weak_ptr<HBROnboardingOperationDelegate> delegate, bool shouldCreate, const std::optional<std::string>& APIKey,
    std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
    std::shared_ptr<const HBRApplicationIdentiferModel> appIdentifierModel, std::string endpointString,
    std::weak_ptr<HBRNetworkClient> networkClient) {
  if (!APIKey) return nullptr;
  std::shared_ptr<HBROnboardingOperation> operation(new HBROnboardingOperation(*APIKey));
  operation->delegate_ = std::move(delegate);
  operation->shouldCreate_ = shouldCreate;
  operation->kitVersionsByKitBundleIdentifier_ = std::move(kitVersionsByKitBundleIdentifier);
  operation->appIdentifierModel_ = std::move(appIdentifierModel);
  operation->appEndpoint_ = std::move(endpointString);
  operation->networkClient_ = std::move(networkClient);
  return operation;
}

std::optional<std::string> HBROnboardingOperation::appBundleIdentifier() { return HBRSanitizedBundleIdentifier(); }

std::string HBROnboardingOperation::appPlatform() { return "ios"; }

std::optional<std::string> HBROnboardingOperation::appName() { return HBRBundleDisplayName(); }

std::optional<std::string> HBROnboardingOperation::appBuildVersion() { return HBRBundleBuildVersion(); }

std::optional<std::string> HBROnboardingOperation::appDisplayVersion() { return HBRBundleDisplayVersion(); }

int HBROnboardingOperation::appInstallSource() { return HBRInstallSource(); }

std::string HBROnboardingOperation::appCreateURL() const {
  HBRURLBuilder builder = HBRURLBuilder::URLWithBase(appEndpoint_);
  builder.appendComponent("/spi/v1/platforms/");
  builder.escapeAndAppendComponent(appPlatform());
  builder.appendComponent("/apps");
  return builder.URL().value_or(builder.URLString());
}

std::string HBROnboardingOperation::appUpdateURL() const {
  HBRURLBuilder builder = HBRURLBuilder::URLWithBase(appEndpoint_);
  builder.appendComponent("/spi/v1/platforms/");
  builder.escapeAndAppendComponent(appPlatform());
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(appBundleIdentifier().value_or(""));
  return builder.URL().value_or(builder.URLString());
}

platform::http::Request HBROnboardingOperation::onboardingRequestForAppCreate(bool shouldCreate) {
  platform::http::Request request = shouldCreate
                                        ? mutableRequestWithDefaultHTTPHeadersForURL(appCreateURL(), kCreateTimeout)
                                        : mutableRequestWithDefaultHTTPHeadersForURL(appUpdateURL(), kDefaultTimeout);
  request.method = shouldCreate ? "POST" : "PUT";
  const HBRApplicationIdentiferModel* model = appIdentifierModel_.get();
  HBRMultipartMimeStreamEncoder::populateRequest(request, [&](HBRMultipartMimeStreamEncoder& form) {
    form.addValue(jsonText(appBundleIdentifier()), "app[identifier]");
    if (model) form.addValue(platform::Json(model->instanceIdentifier()), "app[instance_identifier]");
    form.addValue(jsonText(appName()), "app[name]");
    form.addValue(jsonText(appBuildVersion()), "app[build_version]");
    form.addValue(jsonText(appDisplayVersion()), "app[display_version]");
    form.addValue(platform::Json(appInstallSource()), "app[source]");
    if (model) {
      form.addValue(platform::Json(model->minimumSDKString()), "app[minimum_sdk_version]");
      form.addValue(platform::Json(model->builtSDKString()), "app[built_sdk_version]");
    }
    for (const auto& [kit, version] : kitVersionsByKitBundleIdentifier_) {
      form.addValue(platform::Json(version), "app[build][libraries][" + kit + "]");
    }
    if (!model) return;
    for (const auto& [architecture, uuid] : model->architectureUUIDMap()) {
      form.addValue(platform::Json(architecture), "app[slices][][arch]");
      form.addValue(platform::Json(uuid), "app[slices][][uuid]");
    }
    if (const auto& icon = model->icon()) {
      form.addValue(platform::Json(icon->dataHash()), "app[icon][hash]");
      form.addValue(platform::Json(icon->prerendered() ? "true" : "false"), "app[icon][prerendered]");
      form.addValue(platform::Json(static_cast<std::uint64_t>(icon->size().width)), "app[icon][width]");
      form.addValue(platform::Json(static_cast<std::uint64_t>(icon->size().height)), "app[icon][height]");
      form.addFileData(icon->data(), std::string("icon.png"), std::string("image/png"), std::string("app[icon][data]"));
    }
  });
  return request;
}

void HBROnboardingOperation::main() { beginAppConfigure(); }

void HBROnboardingOperation::beginAppConfigure() {
  platform::http::Request request = onboardingRequestForAppCreate(shouldCreate_);
  auto client = networkClient_.lock();
  if (!client) return complete(HBRNetworkResponseHandler::errorForCode(-3));
  auto self = std::static_pointer_cast<HBROnboardingOperation>(shared_from_this());
  client->startDataTaskWithRequest(request, kRetryLimit,
                                   [self](const std::optional<platform::Bytes>&,
                                          const std::optional<platform::http::Response>&,
                                          const std::optional<platform::Error>& error) { self->complete(error); });
}

void HBROnboardingOperation::complete(const std::optional<platform::Error>& error) {
  error_ = error;
  if (auto delegate = delegate_.lock()) {
    if (shouldCreate_) {
      delegate->onboardingOperationDidCompleteAppCreation(*this, error_);
    } else {
      delegate->onboardingOperationDidCompleteAppUpdate(*this, error_);
    }
  }
  finish();
}

}  // namespace lumora
