#include "feedback/QBDataUtil.h"

#include "account/QBPassportRequest.h"
#include "feedback/QBLogUtil.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/device/Device.h"
#include "platform/http/CookieStorage.h"
#include "utils/LMAESCoder.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "utils/MD5.h"
#include "utils/ServiceHosts.h"

namespace lumora {
namespace {

std::shared_ptr<QBLoginPassport> feedbackPassport() {
  auto manager = QBPassportsManager::sharedManager();
  return manager->passportForSid(QBLogUtil::kFeedbackSid, manager->userId());
}

}  // namespace

std::optional<std::string> QBDataUtil::getDeviceInfoByName(std::string_view name) {
  return platform::Device::sysInfo(name);
}

std::string QBDataUtil::md5String(std::string_view text) { return MD5String(text); }

platform::Result<std::string> QBDataUtil::stringFromJSONObject(const platform::Json& object) {
  return LMUtils::stringFromJSONObject(object);
}

platform::Result<platform::Json> QBDataUtil::jsonObjectFromString(const std::optional<std::string>& text) {
  return LMUtils::jsonObjectFromString(text ? platform::Json(*text) : platform::Json());
}

bool QBDataUtil::setCookieName(const std::string& name, const std::optional<std::string>& value) {
  if (!value) return false;
  platform::http::Cookie cookie;
  cookie.name = name;
  cookie.value = *value;
  cookie.domain = ServiceHosts::feedbackCookieDomain();
  return cookie.isValid() && platform::http::CookieStorage::shared().setCookie(cookie);
}

QBDataUtil::Fields QBDataUtil::encryptRequestParam(const Fields& params, const std::string& url,
                                                   const std::string& method) {
  auto passport = feedbackPassport();
  if (!passport) return {};
  LMAESCoder coder(passport->sSecurity().value_or(""));
  Fields encrypted;
  Fields plain;
  for (const auto& [name, value] : params) {
    if (name.starts_with("_")) {
      plain[name] = value;
    } else if (auto text = coder.encryptString(value)) {
      encrypted[name] = *text;
    }
  }
  for (auto& [name, value] : plain) encrypted[name] = std::move(value);
  QBPassportRequest::Params signedFields(encrypted.begin(), encrypted.end());
  if (auto signature = passport->generateSignatureWithMethod(method, url, signedFields)) {
    encrypted["signature"] = *signature;
  }
  return encrypted;
}

std::optional<std::string> QBDataUtil::decryptResponseObject(const std::string& reply) {
  auto passport = feedbackPassport();
  if (!passport) return std::nullopt;
  auto text = LMAESCoder(passport->sSecurity().value_or("")).decryptString(reply);
  if (!text || text->empty()) return std::nullopt;
  return text;
}

}  // namespace lumora
