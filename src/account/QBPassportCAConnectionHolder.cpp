#include "account/QBPassportCAConnectionHolder.h"

#include <cstdint>
#include <utility>

#include "account/KPAESCrypt.h"
#include "account/KPCookieUtil.h"
#include "account/QBPassport.h"
#include "account/QBPassportCARequest.h"
#include "account/QBPassportCATokenManager.h"
#include "account/QBPassportRequest.h"
#include "account/QBPassportRequestMemoryHolder.h"
#include "platform/NumberValues.h"
#include "utils/LMLogUtil.h"
#include "platform/Bytes.h"

namespace lumora {
namespace {

platform::Error statusError(std::int64_t status) {
  return platform::Error(QBPassport::kErrorDomain, status);
}

}  // namespace

std::shared_ptr<QBPassportCAConnectionHolder> QBPassportCAConnectionHolder::initWithCARequest(
    const std::shared_ptr<QBPassportCARequest>& caRequest, std::optional<std::string> security,
    bool shouldHandle401) {
  std::shared_ptr<QBPassportRequestDelegate> delegate;
  if (caRequest && caRequest->originalRequest() && caRequest->originalRequest()->connectionAndDelegate()) {
    delegate = caRequest->originalRequest()->connectionAndDelegate()->delegate();
  }
  return std::make_shared<QBPassportCAConnectionHolder>(std::move(delegate), caRequest, std::move(security),
                                                        shouldHandle401);
}

QBPassportCAConnectionHolder::QBPassportCAConnectionHolder(
    std::shared_ptr<QBPassportRequestDelegate> delegate, const std::shared_ptr<QBPassportCARequest>& caRequest,
    std::optional<std::string> security, bool shouldHandle401)
    : QBPassportURLConnectionAndDelegate(std::move(delegate)),
      shouldHandleCA401_(shouldHandle401),
      security_(std::move(security)),
      caRequest_(caRequest) {}

void QBPassportCAConnectionHolder::connectionDidReceiveResponse(const platform::http::Response& response) {
  int status = response.statusCode();
  if (status == 401 && shouldHandleCA401_) {
    handleCA401(response);
    return;
  }
  if (status >= 400) {
    connectionDidFailWithError(statusError(status));
    return;
  }
  QBPassportURLConnectionAndDelegate::connectionDidReceiveResponse(response);
}

void QBPassportCAConnectionHolder::handleCA401(const platform::http::Response& response) {
  std::string challenge = response.valueForHeaderField(kChallengeHeader).value_or("");
  auto& manager = QBPassportCATokenManager::sharedInstance();
  if (challenge == kCADisabled) {
    std::string seconds = response.valueForHeaderField(kDisableSecondsHeader).value_or("0");
    // An out-of-range count is held to the 64-bit range; the manager caps
    // it at seven days.
    manager.onCADisabledForSeconds(platform::leadingIntegerValue<std::int64_t>(seconds));
    connectionDidFailWithError(statusError(401));
    return;
  }
  auto ca = caRequest();
  if (challenge == kTokenRefused && ca) {
    manager.invalidateAllCAToken();
    ca->reconnectDueTo401();
    // This exchange ends without a word: the one sent again reports.
    didConnectionFinish();
    return;
  }
  // A 401 that is no CA signal is still a refusal: reported as such rather
  // than letting its body pass for a reply.
  LM_LOG_WARN("CA request refused with challenge \"{}\"", challenge);
  connectionDidFailWithError(statusError(401));
}

void QBPassportCAConnectionHolder::connectionDidFinishLoading() {
  std::optional<std::string> plain;
  if (security_) plain = AES128RandomIVDecryptWithKey(platform::toString(responseData()), *security_);
  setResponseData(plain ? platform::toBytes(*plain) : platform::Bytes());
  if (security_) {
    for (const auto& cookie : KPCookieUtil::getAllSharedCookies()) {
      auto value = AES128RandomIVDecryptWithKey(cookie.value, *security_);
      if (!value) continue;
      if (auto copy = KPCookieUtil::copyCookie(cookie, *value)) KPCookieUtil::saveSharedCookie(*copy);
    }
  }
  QBPassportURLConnectionAndDelegate::connectionDidFinishLoading();
  leaveRegistry();
}

void QBPassportCAConnectionHolder::connectionDidFailWithError(const platform::Error& error) {
  QBPassportURLConnectionAndDelegate::connectionDidFailWithError(error);
  leaveRegistry();
}

void QBPassportCAConnectionHolder::leaveRegistry() {
  if (auto ca = caRequest()) QBPassportRequestMemoryHolder::removeQBPassportCARequest(ca);
}

}  // namespace lumora
