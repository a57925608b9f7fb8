#include "cloud/sync/LMDeviceInfo.h"

#include <algorithm>
#include <utility>

#include "account/Hardware.h"
#include "account/QBPassport.h"
#include "cloud/sync/LMRelocation.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMSignedSession.h"
#include "platform/Bytes.h"
#include "platform/device/Device.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "utils/ServiceHosts.h"

namespace lumora {
namespace {

platform::Error logged(platform::Error error) {
  LM_LOG_ERROR("{}", error.description());
  return error;
}

}  // namespace

LMDeviceInfo::LMDeviceInfo(std::shared_ptr<QBPassportsManager> passports,
                           std::shared_ptr<LMHTTPRequestLoop> loop)
    : passports_(std::move(passports)), loop_(std::move(loop)) {}

platform::Result<std::string> LMDeviceInfo::signedInUserId() {
  auto userId = passports_->userId();
  if (platform::hasText(userId)) return *userId;
  return logged(LMNotLoggedInError());
}

platform::Status LMDeviceInfo::updateDeviceInfoServiceInfo() {
  auto userId = signedInUserId();
  if (!userId) return userId.error();
  auto devicePassport = passports_->passportForSid(kPassportSid, *userId);
  auto cloudPassport = passports_->passportForSid(kCloudPassportSid, *userId);
  if (!devicePassport || !cloudPassport) return logged(LMNotLoggedInError());

  auto passToken = cloudPassport->passToken();
  auto serviceToken = cloudPassport->serviceToken();
  if (!platform::hasText(passToken) || !platform::hasText(serviceToken)) {
    return logged(LMNotLoggedInError());
  }
  devicePassport->setDeviceId(cloudPassport->deviceId());
  devicePassport->setPassToken(passToken);
  devicePassport->setSSecurity(cloudPassport->sSecurity());
  devicePassport->setMaskedPhone(cloudPassport->maskedPhone());
  devicePassport->setNonce(cloudPassport->nonce());
  devicePassport->setCallbackUrl(ServiceHosts::baseURL(ServiceHosts::kDeviceInfo) + "/udi/sts");

  platform::Status relogin = passports_->reLoginForSid(kPassportSid);
  if (!relogin.ok()) LM_LOG_ERROR("Device information login failed: {}", relogin.error().description());
  return relogin;
}

std::shared_ptr<LMHTTPRequestOperation> LMDeviceInfo::requestAllDeviceInfo() {
  auto userId = signedInUserId();
  if (!userId) return std::make_shared<LMHTTPRequestOperation>(userId.error(), kPassportSid);
  platform::Json meta = platform::Json::array(
      {"capability", "deviceName", "model", "osVersion", "_phoneInfo", "channel_id"});
  platform::Json parameters{{"userId", *userId},
                            {"meta", LMUtils::stringFromJSONObject(meta).valueOr("[]")}};
  return loop_->requestWithMethod("GET", LMRelocation::deviceInfoURL() + "/api/user/devices/setting",
                                  parameters, kPassportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMDeviceInfo::requestRegisterDeviceInfo() {
  auto userId = signedInUserId();
  if (!userId) return std::make_shared<LMHTTPRequestOperation>(userId.error(), kPassportSid);
  auto passport = passports_->passportForSid(kPassportSid, *userId);
  std::string deviceId = passport ? passport->deviceId().value_or(std::string()) : std::string();
  if (deviceId.empty()) {
    platform::Error failure = logged(LMUtils::localErrorWithErrorCode(
        kLMLocalErrorInvalidParameters,
        {{kLMErrorReasonKey, "The device id is missing."}, {kLMErrorDescriptionKey, kLMErrorTitleParam}}));
    return std::make_shared<LMHTTPRequestOperation>(failure, kPassportSid);
  }

  auto entry = [](const char* name, platform::Json value) {
    return platform::Json{{"name", name}, {"value", std::move(value)}};
  };
  platform::Json content = platform::Json::array({
      entry("deviceName", platform::Device::name()),
      entry("model", deviceModel()),
      entry("osVersion", platform::Device::systemVersion()),
      entry("_phoneInfo", platform::Json::array()),
  });
  platform::Json parameters{{"userId", *userId},
                            {"devId", deviceId.substr(0, std::min<std::size_t>(16, deviceId.size()))},
                            {"content", LMUtils::stringFromJSONObject(content).valueOr("[]")}};
  return loop_->requestWithMethod("POST", LMRelocation::deviceInfoURL() + "/api/user/device/setting",
                                  parameters, kPassportSid);
}

}  // namespace lumora
