#include "account/QBPassportCATokenManager.h"

#include <cmath>
#include <memory>
#include <utility>

#include "account/CATokenRequestDelegate.h"
#include "account/KPCookieUtil.h"
#include "account/QBPassport.h"
#include "account/QBPassportRequest.h"
#include "utils/ServiceHosts.h"
#include "platform/dispatch/Clock.h"

namespace lumora {
namespace {

std::int64_t nowMillis() {
  return static_cast<std::int64_t>(std::floor(platform::Clock::current()->secondsSince1970() * 1000.0));
}

}  // namespace

QBPassportCATokenManager& QBPassportCATokenManager::sharedInstance() {
  static QBPassportCATokenManager* instance = new QBPassportCATokenManager();
  return *instance;
}

bool QBPassportCATokenManager::isReady() const {
  return nowMillis() >= passportCAExternal_.loadNextCAEnabledTime();
}

void QBPassportCATokenManager::onCADisabledForSeconds(std::int64_t seconds) {
  std::int64_t millis = seconds < 0                    ? kDefaultDisableMillis
                        : seconds > kMaxDisableSeconds ? kMaxDisableSeconds * 1000
                                                       : seconds * 1000;
  passportCAExternal_.saveNextCAEnabledTime(nowMillis() + millis);
}

void QBPassportCATokenManager::getPassportCAToken(TokenCompletion completion) {
  auto stored = passportCAExternal_.loadCAToken();
  if (stored && stored->isLegal()) {
    if (completion) completion(stored, std::nullopt);
    return;
  }
  getCATokenOnline(std::move(completion));
}

void QBPassportCATokenManager::getCATokenOnline(TokenCompletion completion) {
  auto shared = std::make_shared<TokenCompletion>(std::move(completion));
  getCATokenOnline(ServiceHosts::baseURL(ServiceHosts::kCAToken),
                   [this, shared](const std::optional<QBPassportCAToken>& token,
                                  const std::optional<platform::Error>& error) {
                     if (!error) {
                       if (*shared) (*shared)(token, std::nullopt);
                       return;
                     }
                     getCATokenOnline(ServiceHosts::baseURL(ServiceHosts::kAccount), *shared);
                   });
}

void QBPassportCATokenManager::getCATokenOnline(const std::string& baseURL, TokenCompletion completion) {
  std::string url = baseURL + kTokenPath;
  auto params = std::make_shared<QBPassportRequest::Params>();
  (*params)["_ver"] = std::string(kTokenVersion);
  QBPassportRequest::Cookies cookies;
  if (auto cookie = KPCookieUtil::newHTTPCookieWithUrl(url, "deviceId", QBPassport::uniqueDeviceId())) {
    cookies.push_back(std::move(*cookie));
  }
  auto delegate = std::make_shared<CATokenRequestDelegate>(
      [this, completion = std::move(completion)](const std::optional<QBPassportCAToken>& token,
                                                 const std::optional<platform::Error>& error) {
        if (token) didGetCATokenOnline(token);
        if (completion) completion(token, error);
      });
  QBPassportRequest::initWithWithParams(params, "GET", std::move(cookies), delegate, url,
                                        platform::http::HeaderFields())
      ->connect();
}

void QBPassportCATokenManager::didGetCATokenOnline(const std::optional<QBPassportCAToken>& token) {
  if (token) passportCAExternal_.saveCAToken(token);
}

void QBPassportCATokenManager::invalidateAllCAToken() {
  static const auto& kBlank = *new QBPassportCAToken(*QBPassportCAToken::initWithToken("", ""));
  passportCAExternal_.saveCAToken(kBlank);
}

}  // namespace lumora
