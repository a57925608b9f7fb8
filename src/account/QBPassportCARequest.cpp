#include "account/QBPassportCARequest.h"

#include <utility>
#include <vector>

#include "account/KPAESCrypt.h"
#include "account/KPCookieUtil.h"
#include "account/KPNonceUtil.h"
#include "account/QBPassport.h"
#include "account/QBPassportCAConnectionHolder.h"
#include "account/QBPassportCATokenManager.h"
#include "account/QBPassportRequestMemoryHolder.h"
#include "utils/LMLogUtil.h"

namespace lumora {

std::shared_ptr<QBPassportCARequest> QBPassportCARequest::initWithWithQBPassportRequest(
    std::shared_ptr<QBPassportRequest> request) {
  return std::make_shared<QBPassportCARequest>(PrivateTag{}, std::move(request));
}

QBPassportCARequest::QBPassportCARequest(PrivateTag, std::shared_ptr<QBPassportRequest> request)
    : originalRequest_(std::move(request)) {}

bool QBPassportCARequest::shouldEncryptThisParam(const std::optional<std::string>& name) {
  return name && !name->starts_with("_");
}

bool QBPassportCARequest::shouldEncryptThisCookie(const std::optional<std::string>& name) {
  if (!name || name->starts_with("__")) return false;
  return *name != kCATokenCookie && *name != "deviceId" && *name != "sdkVersion";
}

void QBPassportCARequest::connect() {
  auto self = shared_from_this();
  QBPassportRequestMemoryHolder::addQBPassportCARequest(self);
  if (!originalRequest_ || originalRequest_->isHTTPS()) {
    LM_LOG_ERROR("https request should not use PassportCA");
    failWithError(platform::Error(
        QBPassport::kErrorDomain, kCodeHTTPSRequest,
        platform::Json{{platform::Error::kLocalizedDescriptionKey, "https request should not use PassportCA"}}));
    return;
  }
  QBPassportCATokenManager::sharedInstance().getPassportCAToken(
      [self](const std::optional<QBPassportCAToken>& token, const std::optional<platform::Error>& error) {
        if (error) {
          self->failWithError(*error);
        } else if (!token || !token->isLegal()) {
          self->failWithError(platform::Error(QBPassport::kErrorDomain, kCodeNoCAToken));
        } else {
          self->sendWithToken(*token);
        }
      });
}

void QBPassportCARequest::reconnectDueTo401() {
  shouldHandleCA401_ = false;
  connect();
}

void QBPassportCARequest::failWithError(const platform::Error& error) {
  auto holder = QBPassportCAConnectionHolder::initWithCARequest(shared_from_this(), std::nullopt, false);
  holder->setRequest(originalRequest_);
  holder->connectionDidFailWithError(error);
}

void QBPassportCARequest::sendWithToken(const QBPassportCAToken& token) {
  const std::string& security = token.security();
  const auto& original = *originalRequest_;
  auto params = std::make_shared<QBPassportRequest::Params>(*original.params());
  platform::http::HeaderFields headers = original.httpHeaders();
  const std::string& method = original.httpMethod();
  const std::string& url = original.url();

  (*params)["_nonce"] = KPNonceUtil::generateNonce();
  headers.set(kCATagHeader, "noSafe");

  // A key that does not encrypt is of no use for any later request either:
  // blank it so that the next one fetches a new token.
  auto unusableKey = [this] {
    LM_LOG_ERROR("The CA security key does not encrypt");
    QBPassportCATokenManager::sharedInstance().invalidateAllCAToken();
    failWithError(platform::Error(QBPassport::kErrorDomain, kCodeNoCAToken));
  };
  for (auto& [name, value] : *params) {
    if (!shouldEncryptThisParam(name)) continue;
    const auto* text = std::get_if<std::string>(&value);
    if (!text) continue;
    auto encrypted = AES128RandomIVEncryptWithKey(*text, security);
    if (!encrypted) return unusableKey();
    value = std::move(*encrypted);
  }

  QBPassportRequest::Cookies cookies;
  cookies.reserve(original.httpCookies().size() + 1);
  for (const auto& cookie : original.httpCookies()) {
    if (!shouldEncryptThisCookie(cookie.name)) {
      cookies.push_back(cookie);
      continue;
    }
    auto encrypted = AES128RandomIVEncryptWithKey(cookie.value, security);
    auto copy = encrypted ? KPCookieUtil::copyCookie(cookie, *encrypted) : std::nullopt;
    if (!copy) return unusableKey();
    cookies.push_back(std::move(*copy));
  }
  if (auto tokenCookie = KPCookieUtil::newHTTPCookieWithUrl(url, kCATokenCookie, token.token())) {
    cookies.push_back(std::move(*tokenCookie));
  }

  auto signature = QBPassportRequest::generateSignatureWithMethod(method, url, *params, security);
  if (signature) (*params)["_caSign"] = std::move(*signature);

  auto holder = QBPassportCAConnectionHolder::initWithCARequest(shared_from_this(), security,
                                                                shouldHandleCA401_);
  QBPassportRequest::initWithWithParams(params, method, std::move(cookies), holder, url, std::move(headers))
      ->connect();
}

}  // namespace lumora
