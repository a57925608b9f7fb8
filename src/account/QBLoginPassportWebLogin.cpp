// The web login of a logging-in session: showing the login web screen, and
// turning what the page hands back into the end of the login, or, for
// single sign-on, into a URL that opens the calling app.
#include "account/KPCookieUtil.h"
#include "account/KPWebViewController.h"
#include "account/QBLoginPassport.h"
#include "utils/LMLogUtil.h"
#include "platform/app/Application.h"
#include "platform/JsonValues.h"
#include "platform/dispatch/MainQueue.h"

namespace lumora {

namespace {
std::string callbackScheme(const std::optional<std::map<std::string, std::string>>& params) {
  if (!params) return {};
  auto it = params->find("callback_scheme");
  return it == params->end() ? std::string() : it->second;
}
}  // namespace

void QBLoginPassport::showWebViewControllerWithURL(const std::string& url,
                                                   const platform::Json& authParams,
                                                   const QBPassportRequest::Cookies& cookies,
                                                   const std::optional<std::string>& redirectURI) {
  dispatchPassportWillShowWebviewMessage();
  std::weak_ptr<KPWebViewControllerDelegate> delegate = self();
  auto show = [url, authParams, cookies, redirectURI, delegate] {
    KPWebViewController::create(url, authParams, cookies, redirectURI, delegate)->show();
  };
  if (platform::MainQueue::isMainThread()) show();
  else platform::MainQueue::main().async(show);
}

void QBLoginPassport::webViewController(KPWebViewController&, const platform::Json& info) {
  if (isSSO()) {
    std::string handBack = callbackScheme(ssoParams()) + "://authorize?";
    for (const char* key : {"fragment", "query", "url"}) {
      std::string part = platform::stringAt(info, key).value_or("");
      if (!part.empty()) {
        handBack += part;
        break;
      }
    }
    auto& app = platform::Application::shared();
    if (app.canOpenURL(handBack)) app.openURL(handBack);
    setIsSSO(false);
    return;
  }

  std::string passInfo = platform::stringAt(info, KPWebViewController::kPassInfoKey).value_or("");
  if (passInfo == KPWebViewController::kNeedRelogin) {
    removeAuthData();
    failWithError(makeError(kCodeNeedRelogin));
    return;
  }
  if (passInfo == KPWebViewController::kLoginEnd) {
    std::string user = platform::stringAt(info, "userId").value_or("");
    if (user.empty()) {
      failWithError(makeError(kCodeNoUserId));
      return;
    }
    std::string pass = platform::stringAt(info, "passToken").value_or("");
    if (pass.empty()) {
      failWithError(makeError(kCodeNoPassToken));
      return;
    }
    setUserId(user);
    setPassToken(pass);
    std::string cUser = platform::stringAt(info, "cUserId").value_or("");
    if (!cUser.empty()) setCUserId(cUser);
    if (needFetchServiceToken()) reLogin();
    else dispatchPassportDidLoginMessage();
    return;
  }

  // The page set the login's cookies itself.
  auto user = KPCookieUtil::getSharedCookiesValueForKey("userId");
  if (!user || user->empty()) {
    LM_LOG_ERROR("No user id");
    failWithError(makeError(kCodeInvalidArgument, info));
    return;
  }
  setUserId(user);
  auto pass = KPCookieUtil::getSharedCookiesValueForKey("passToken");
  if (!pass || pass->empty()) {
    LM_LOG_ERROR("No pass token");
    failWithError(makeError(kCodeInvalidArgument, info));
    return;
  }
  setPassToken(pass);
  connectTokenStep(QBPassportRequest::requestWithParams(std::make_shared<Params>(), "GET", {}, self(),
                                                       platform::stringAt(info, "url").value_or("")),
                   std::nullopt);
}

void QBLoginPassport::webViewController(KPWebViewController&, const platform::Error& error) {
  failWithError(error);
}

void QBLoginPassport::webViewControllerDidCancel(KPWebViewController&) {
  if (isSSO()) {
    std::string handBack = callbackScheme(ssoParams()) + "://authorize?sso_error_user_cancelled=true";
    auto& app = platform::Application::shared();
    if (app.canOpenURL(handBack)) app.openURL(handBack);
    setIsSSO(false);
  }
  failWithError(makeError(kCodeUserCancelled));
}

void QBLoginPassport::onSSOPassportDidLogin(const PassportPtr& passport) {
  if (!passport || passport->sid() != std::optional<std::string>(kSSOSid)) return;
  auto cookies = accountCookies(passport->userId(), passport->serviceToken());
  auto params = ssoParams().value_or(std::map<std::string, std::string>());
  std::optional<std::string> redirect;
  if (auto it = params.find("redirect_uri"); it != params.end()) redirect = it->second;
  showWebViewControllerWithURL(releaseAccountDomain() + "/oauth2/authorize", platform::Json(params),
                               cookies, redirect);
}

void QBLoginPassport::onSSOPassportFailed(const PassportPtr& passport, const platform::Error&) {
  if (passport && passport->sid() == std::optional<std::string>(kSSOSid)) setIsSSO(false);
}

}  // namespace lumora
