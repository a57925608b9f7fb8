// The CA logins of a logging-in session: the service-login step and the
// password step sent through QBPassportCARequest to the CA login host.
#include <utility>

#include "account/KPCookieUtil.h"
#include "account/QBLoginPassport.h"
#include "account/QBPassportCARequest.h"
#include "utils/ServiceHosts.h"
#include "platform/Bytes.h"

namespace lumora {
namespace {

// Cookies made for `url`, in the order given; a pair without a value (or
// that forms no cookie) is left out.
QBPassportRequest::Cookies cookiesFor(
    const std::string& url, std::initializer_list<std::pair<const char*, std::optional<std::string>>> pairs) {
  QBPassportRequest::Cookies cookies;
  for (const auto& [name, value] : pairs) {
    if (!value) continue;
    if (auto cookie = KPCookieUtil::newHTTPCookieWithUrl(url, name, *value)) cookies.push_back(std::move(*cookie));
  }
  return cookies;
}

}  // namespace

std::string QBLoginPassport::caLoginDomain() { return ServiceHosts::baseURL(ServiceHosts::kCALogin); }

void QBLoginPassport::reLoginCA() { reLoginUsing(&QBLoginPassport::doReloginCAUsingBlock); }

void QBLoginPassport::doReloginCAUsingBlock(Completion block) {
  resetLoginRuntimeMetaData();
  setBlockAfterRequest(std::move(block));
  Params params;
  params["sid"] = loginRuntimeMetaData().sid().value_or("passport");
  params["_json"] = std::string("true");
  if (std::string callback = callbackUrl(); !callback.empty()) params["callback"] = callback;
  const std::string url = caLoginDomain() + "/pass/serviceLoginCA";
  auto cookies = cookiesFor(url, {{"deviceId", deviceId()},
                                  {"sdkVersion", std::string(kSdkVersion)},
                                  {"userId", userId()},
                                  {"passToken", passToken()}});
  auto request = makeRequestButDontConnectWithURL(url, std::move(params), std::move(cookies), "GET", self(),
                                                  false, nullptr);
  if (request) QBPassportCARequest::initWithWithQBPassportRequest(request)->connect();
}

void QBLoginPassport::loginWithPasswordCA(const std::string& password, bool encryptedOrNot,
                                          const std::optional<std::string>& verifyCode) {
  resetLoginRuntimeMetaData();
  auto params = makeLoginRequestParamWithPassword(password, encryptedOrNot, verifyCode);
  const std::string url = caLoginDomain() + "/pass/serviceLoginAuth2CA";
  auto cookies = cookiesFor(url, {{"deviceId", deviceId()},
                                  {"sdkVersion", std::string(kSdkVersion)},
                                  {"ick", KPCookieUtil::getSharedCookiesValueForKey("ick")}});
  auto request = QBPassportRequest::requestWithParams(
      std::make_shared<Params>(params.value_or(Params())), "POST", std::move(cookies), self(), url);
  std::weak_ptr<QBLoginPassport> weak = self();
  setCaLoginFailCallback([weak, password, encryptedOrNot, verifyCode](const platform::Error& error) {
    auto passport = weak.lock();
    if (passport && error.code() != kCodeNeedPassword) {
      passport->loginWithPassword(password, encryptedOrNot, verifyCode);
    }
  });
  QBPassportCARequest::initWithWithQBPassportRequest(request)->connect();
}

}  // namespace lumora
