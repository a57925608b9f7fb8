// Service-token helpers of QBPassport: the two steps every call of a service
// API of the account service takes (a valid service token, then the request
// with the token as cookies, retried once after a 401).
#include "account/KPCookieUtil.h"
#include "account/KPPassportRequestDelegateInterface.h"
#include "account/KPSessionDelegateInterface.h"
#include "account/QBLoginPassport.h"
#include "account/QBPassport.h"
#include "platform/Bytes.h"

namespace lumora {

std::shared_ptr<KPPassportRequestDelegateInterface> QBPassport::buildRequestDelegateForST(
    const std::shared_ptr<QBPassport>& passport, bool retryIf401, std::function<void()> retryBlock,
    std::function<void(const platform::Error&)> failBlock,
    std::function<void(const RequestPtr&, const platform::Json&)> didFetchBlock) {
  auto onFailure = [passport, retryIf401, retryBlock = std::move(retryBlock),
                    failBlock = std::move(failBlock)](const RequestPtr&, const platform::Error& error) {
    if (error.code() == 401 && retryIf401) {
      if (passport) {
        passport->setServiceToken(std::nullopt);
        passport->setSSecurity(std::nullopt);
      }
      if (retryBlock) retryBlock();
      return;
    }
    if (failBlock) failBlock(error);
  };
  return std::make_shared<KPPassportRequestDelegateInterface>(nullptr, nullptr, std::move(onFailure),
                                                              std::move(didFetchBlock), nullptr);
}

std::function<void()> QBPassport::getBlockToFetchServiceTokenAndUseIt(
    const std::shared_ptr<QBLoginPassport>& passport, ServiceTokenConsumer serviceTokenConsumerBlock,
    std::function<void(const platform::Error&)> failBlock) {
  auto onLogin = [consumer = std::move(serviceTokenConsumerBlock)](const PassportPtr& loggedIn) {
    if (!consumer || !loggedIn) return;
    consumer(loggedIn->userId(), loggedIn->serviceToken(), loggedIn->sSecurity());
  };
  auto onFailure = [failBlock = std::move(failBlock)](const PassportPtr&, const platform::Error& error) {
    if (failBlock) failBlock(error);
  };
  // A relogin without a pass token ends as an expired session: a failure
  // like any other for the caller, who would otherwise wait for ever.
  auto onExpired = onFailure;
  auto adapter = std::make_shared<KPSessionDelegateInterface>(std::move(onLogin), std::move(onFailure),
                                                              std::move(onExpired), nullptr, nullptr);
  return [passport, adapter]() {
    if (!passport) return;
    passport->setStrongSessionDelegate(adapter);
    if (platform::hasText(passport->serviceToken()) && platform::hasText(passport->sSecurity())) {
      adapter->passportDidLogin(passport);
      return;
    }
    passport->reLogin();
  };
}

std::vector<platform::http::Cookie> QBPassport::buildCookiesForST(const std::string& url,
                                                                  const std::optional<std::string>& userId,
                                                                  const std::optional<std::string>& serviceToken) {
  std::vector<platform::http::Cookie> cookies;
  if (userId) {
    if (auto cookie = KPCookieUtil::newHTTPCookieWithUrl(url, "userId", *userId)) cookies.push_back(std::move(*cookie));
  }
  if (serviceToken) {
    if (auto cookie = KPCookieUtil::newHTTPCookieWithUrl(url, "serviceToken", *serviceToken))
      cookies.push_back(std::move(*cookie));
  }
  return cookies;
}

}  // namespace lumora
