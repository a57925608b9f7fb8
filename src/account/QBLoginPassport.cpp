// The requests of a logging-in session: builders, the service-login step,
// password login, relogin, two-step code, phone tickets, web login entry,
// single sign-on entry and the two failure paths.
#include "account/QBLoginPassport.h"

#include <utility>

#include "account/KPCookieUtil.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"
#include "platform/Bytes.h"
#include "platform/JsonValues.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/Url.h"

namespace lumora {

using platform::hasText;

std::shared_ptr<QBLoginPassport> QBLoginPassport::create(
    std::optional<std::string> userId, std::optional<std::string> sid,
    const std::weak_ptr<KPSessionDelegate>& delegate) {
  return std::make_shared<QBLoginPassport>(std::move(userId), std::move(sid), delegate);
}

QBLoginPassport::QBLoginPassport(std::optional<std::string> userId, std::optional<std::string> sid,
                                 const std::weak_ptr<KPSessionDelegate>& delegate)
    : QBPassport(std::move(userId), std::move(sid), delegate) {
  // The hooks run while a request (or a posted message) holds this session,
  // so `this` is alive whenever they are called.
  requestLoading = [this](const RequestPtr& request) { onRequestLoading(request); };
  requestDidReceiveResponse = [this](const RequestPtr& request,
                                     const platform::http::Response& response) {
    onResponse(request, response);
  };
  requestDidLoad = [this](const RequestPtr& request, const platform::Json& reply) {
    onLoad(request, reply);
  };
  requestDidFailWithError = [this](const RequestPtr& request, const platform::Error& error) {
    onFailure(request, error);
  };
  requestDidLoadRawResponse = [](const RequestPtr&, const platform::Bytes&) {};
  passportDidLogin = [this](const PassportPtr& passport) { onSSOPassportDidLogin(passport); };
  passportFailedWithError = [this](const PassportPtr& passport, const platform::Error& error) {
    onSSOPassportFailed(passport, error);
  };
}

std::shared_ptr<QBLoginPassport> QBLoginPassport::self() {
  return std::static_pointer_cast<QBLoginPassport>(shared_from_this());
}

platform::Error QBLoginPassport::makeError(std::int64_t code, platform::Json userInfo) const {
  return platform::Error(kErrorDomain, code, std::move(userInfo));
}

std::string QBLoginPassport::releaseAccountDomain() {
  return ServiceHosts::baseURL(ServiceHosts::kAccount);
}

std::string QBLoginPassport::accountCookieDomain() { return ServiceHosts::accountCookieDomain(); }

void QBLoginPassport::post(std::function<void()> work) {
  if (auto queue = delegateQueue()) queue->async(std::move(work));
  else platform::MainQueue::main().async(std::move(work));
}

// --- builders -----------------------------------------------------------------

QBLoginPassport::RequestPtr QBLoginPassport::makeRequestButDontConnectWithURL(
    const std::string& url, std::optional<Params> params,
    std::optional<QBPassportRequest::Cookies> cookies, const std::string& httpMethod,
    const RequestDelegatePtr& delegate, bool needSignature,
    std::shared_ptr<KPEnDecryptCoder> coder) {
  if (needSignature && !hasText(sSecurity())) {
    notifyTokenExpired(delegate);
    return nullptr;
  }
  auto paramsPtr = std::make_shared<Params>(params ? std::move(*params) : Params());
  std::string fullURL = url.rfind("http", 0) == 0 ? url : strAccountDomain() + url;
  auto request = QBPassportRequest::requestWithParams(paramsPtr, httpMethod,
                                                      cookies.value_or(QBPassportRequest::Cookies()),
                                                      delegate, fullURL);
  request->cryptWithCoder(std::move(coder), sSecurity());
  return request;
}

QBLoginPassport::RequestPtr QBLoginPassport::requestWithURL(
    const std::string& url, std::optional<Params> params,
    std::optional<QBPassportRequest::Cookies> cookies, const std::string& httpMethod,
    const RequestDelegatePtr& delegate, bool needSignature,
    std::shared_ptr<KPEnDecryptCoder> coder) {
  auto request = makeRequestButDontConnectWithURL(url, std::move(params), std::move(cookies),
                                                  httpMethod, delegate, needSignature,
                                                  std::move(coder));
  if (request) request->connect();
  return request;
}

QBLoginPassport::RequestPtr QBLoginPassport::requestWithURL(
    const std::string& url, std::optional<Params> params, const std::string& httpMethod,
    const RequestDelegatePtr& delegate, bool needSignature,
    std::shared_ptr<KPEnDecryptCoder> coder) {
  if (!isSessionValid()) {
    notifyTokenExpired(delegate);
    return nullptr;
  }
  return requestWithURL(url, std::move(params), accountCookies(userId(), serviceToken()), httpMethod,
                        delegate, needSignature, std::move(coder));
}

QBPassportRequest::Cookies QBLoginPassport::accountCookies(const std::optional<std::string>& userId,
                                                           const std::optional<std::string>& serviceToken) {
  QBPassportRequest::Cookies cookies;
  for (const auto& [name, value] : {std::pair{"userId", userId}, std::pair{"serviceToken", serviceToken}}) {
    if (!hasText(value)) continue;
    platform::http::Cookie cookie;
    cookie.name = name;
    cookie.value = *value;
    cookie.domain = accountCookieDomain();
    cookie.path = "/";
    if (cookie.isValid()) cookies.push_back(std::move(cookie));
  }
  return cookies;
}

std::optional<std::string> QBLoginPassport::generateSignatureWithMethod(
    const std::optional<std::string>& method, const std::optional<std::string>& requestUrl,
    const Params& params) const {
  auto security = sSecurity();
  return QBPassportRequest::generateSignatureWithMethod(
      method ? std::optional<std::string_view>(*method) : std::nullopt,
      requestUrl ? std::optional<std::string_view>(*requestUrl) : std::nullopt, params,
      security ? std::optional<std::string_view>(*security) : std::nullopt);
}

void QBLoginPassport::sendStep(const std::string& url, const std::string& httpMethod,
                               std::optional<Params> params) {
  requestWithURL(url, std::move(params), std::nullopt, httpMethod, self(), false, nullptr);
}

// --- the service-login step and the logins ------------------------------------

namespace {
void writeStepCookies(const QBPassport& passport) {
  QBPassport::setSharedCookiesValue(passport.deviceId(), "deviceId");
  QBPassport::setSharedCookiesValue(std::string(QBLoginPassport::kSdkVersion), "sdkVersion");
}
}  // namespace

void QBLoginPassport::doReloginUsingBlock(Completion block) {
  resetLoginRuntimeMetaData();
  setBlockAfterRequest(std::move(block));
  auto& meta = loginRuntimeMetaData();
  Params params;
  params["sid"] = meta.sid().value_or("passport");
  params["_json"] = std::string("true");
  if (auto callback = meta.callback(); hasText(callback)) params["callback"] = *callback;
  writeStepCookies(*this);
  sendStep("/pass/serviceLogin", "GET", std::move(params));
}

QBPassport::Completion QBLoginPassport::afterServiceLoginStep(
    bool allowUI, std::function<void(QBLoginPassport&)> onLoginPage) {
  std::weak_ptr<QBLoginPassport> weak = self();
  return [weak, allowUI, onLoginPage = std::move(onLoginPage)](const platform::Error& reported) {
    auto passport = weak.lock();
    if (!passport) return;
    platform::Error error = reported;
    if (error.code() == kCodeOk && passport->isReplyForAnotherUser(error.userInfo())) {
      // The pass token that went out (a cookie left by another account's
      // login) signs in someone else: for this session's user a login is
      // still to be done, as when the service asks for a password. Only the
      // login page's values of that reply are kept, none of its tokens.
      LM_LOG_WARN("The pass token belongs to another account; a login is needed");
      platform::Json page = platform::Json::object();
      for (const char* key : {"sid", "qs", "_sign", "callback"}) {
        if (auto value = platform::stringAt(error.userInfo(), key)) page[key] = *value;
      }
      error = passport->makeError(kCodeNeedPassword, std::move(page));
    }
    const auto& info = error.userInfo();
    if (error.code() == kCodeNeedPassword && onLoginPage && info.is_object() && !info.empty()) {
      passport->storeLoginPageValues(info);
      onLoginPage(*passport);
    } else if (error.code() == kCodeOk) {
      // The pass token was accepted: that reply is the login (reporting it
      // as a failure with code 0 would tell the caller that a successful
      // step failed).
      passport->handlePassportLoginRequest(info, allowUI);
    } else {
      passport->failWithError(error);
    }
  };
}

void QBLoginPassport::reLogin() { reLoginUsing(&QBLoginPassport::doReloginUsingBlock); }

void QBLoginPassport::reLoginUsing(void (QBLoginPassport::*step)(Completion)) {
  if (!passToken()) {
    notifyTokenExpired(nullptr);
    return;
  }
  // The relogin takes the UI flag as it is when it starts.
  (this->*step)(afterServiceLoginStep(allowUIDuringReLogin(), nullptr));
}

void QBLoginPassport::loginWithPassword(const std::string& password, bool encryptedOrNot) {
  loginWithPassword(password, encryptedOrNot, std::nullopt);
}

void QBLoginPassport::loginWithPassword(const std::string& password, bool encryptedOrNot,
                                        const std::optional<std::string>& verifyCode) {
  if (password.empty()) {
    failWithError(makeError(kCodeInvalidArgument));
    return;
  }
  removeAuthData();
  doReloginUsingBlock(
      afterServiceLoginStep(true, [password, encryptedOrNot, verifyCode](QBLoginPassport& passport) {
        passport.doLoginWithPassword(password, encryptedOrNot, verifyCode);
      }));
}

std::optional<QBLoginPassport::Params> QBLoginPassport::makeLoginRequestParamWithPassword(
    const std::optional<std::string>& password, bool encryptedOrNot,
    const std::optional<std::string>& verifyCode) {
  auto user = userId();
  if (!user || !password) return std::nullopt;
  auto& meta = loginRuntimeMetaData();
  Params params;
  params["user"] = *user;
  params["sid"] = meta.sid().value_or("passport");
  if (auto callback = meta.callback()) params["callback"] = *callback;
  if (auto qs = meta.qs()) params["qs"] = *qs;
  if (auto sign = meta.sign()) params["_sign"] = *sign;
  params["_json"] = std::string("true");
  if (needVerifyPhone()) params["serviceParam"] = std::string("{\"checkSafePhone\":true}");
  params[encryptedOrNot ? "hash" : "pwd"] = *password;
  if (hasText(verifyCode)) params["captCode"] = *verifyCode;
  return params;
}

void QBLoginPassport::doLoginWithPassword(const std::string& password, bool encryptedOrNot,
                                          const std::optional<std::string>& verifyCode) {
  auto params = makeLoginRequestParamWithPassword(password, encryptedOrNot, verifyCode);
  writeStepCookies(*this);
  sendStep("/pass/serviceLoginAuth2", "POST", std::move(params));
}

void QBLoginPassport::checkOTPCode(const std::string& code, bool trustOrNot) {
  auto& meta = loginRuntimeMetaData();
  auto qs = meta.qs();
  auto sign = meta.sign();
  auto sid = meta.sid();
  auto callback = meta.callback();
  if (code.empty() || !hasText(qs) || !hasText(sign) || !hasText(sid) || !hasText(callback)) {
    failWithError(makeError(kCodeInvalidArgument));
    return;
  }
  // The pairs stop at the first absent value; the user id is the only one
  // that can be missing here.
  Params params;
  auto user = userId();
  if (user) {
    params["user"] = *user;
    params["sid"] = *sid;
    params["callback"] = *callback;
    params["qs"] = *qs;
    params["_sign"] = *sign;
    params["code"] = code;
    params["trust"] = std::string(trustOrNot ? "true" : "false");
    params["_json"] = std::string("true");
  }
  sendStep("/pass/loginStep2", "POST", std::move(params));
}

void QBLoginPassport::sendPhoneTicket() {
  Params params;
  if (auto user = userId()) {
    params["user"] = *user;
    params["_json"] = std::string("true");
  }
  sendStep("/auth/sendPhoneTicket", "POST", std::move(params));
}

void QBLoginPassport::verifyPhoneTicket(const std::string& ticket, bool trustOrNot) {
  Params params;
  if (auto user = userId()) {
    params["user"] = *user;
    params["ticket"] = ticket;
    params["trust"] = std::string(trustOrNot ? "true" : "false");
    params["_json"] = std::string("true");
  }
  sendStep("/auth/verifyPhone", "POST", std::move(params));
}

// --- web login and single sign-on entries --------------------------------------

void QBLoginPassport::openWebLogin(std::function<void(QBLoginPassport&)> open) {
  if (!callbackUrl().empty()) {
    open(*this);
    return;
  }
  doReloginUsingBlock(afterServiceLoginStep(true, std::move(open)));
}

void QBLoginPassport::showLoginWebView() {
  openWebLogin([](QBLoginPassport& passport) {
    platform::Json params = platform::Json::object();
    if (auto sid = passport.sid()) params["sid"] = *sid;
    std::string callback = passport.loginCallback();
    params["callback"] = callback;
    passport.showWebViewControllerWithURL(passport.strAccountDomain() + "/pass/serviceLogin",
                                          params, {}, callback);
  });
}

void QBLoginPassport::showLoginWebViewWithURL(const std::string& url,
                                              const platform::Json& authParams) {
  if (url.empty()) {
    failWithError(makeError(kCodeInvalidArgument));
    return;
  }
  openWebLogin([url, authParams](QBLoginPassport& passport) {
    passport.showWebViewControllerWithURL(url, authParams, {}, passport.loginCallback());
  });
}

bool QBLoginPassport::handleOpenURL(const std::string& url) {
  setIsSSO(true);
  std::map<std::string, std::string> params;
  std::string query(platform::http::queryOfURLText(url).value_or(std::string_view()));
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    std::string piece = query.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::size_t eq = piece.find('=');
    if (eq != std::string::npos && piece.find('=', eq + 1) == std::string::npos) {
      if (auto value = QBPassportRequest::urlDecode(piece.substr(eq + 1))) {
        params[piece.substr(0, eq)] = *value;
      }
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  setSsoParams(params);

  if (!isSessionValid()) {
    platform::Json authParams(params);
    auto redirect = params.count("redirect_uri") ? std::optional<std::string>(params["redirect_uri"])
                                                 : std::nullopt;
    showWebViewControllerWithURL(releaseAccountDomain() + "/oauth2/authorize", authParams, {},
                                 redirect);
    return true;
  }
  auto sso = create(userId(), std::string(kSSOSid), self());
  sso->setCallbackUrl(releaseAccountDomain() + "/sts?sid=" + kSSOSid);
  sso->setPassToken(passToken());
  sso->reLogin();
  return true;
}

std::string QBLoginPassport::loginCallback() const {
  std::string callback = callbackUrl();
  if (callback.empty()) callback = loginRuntimeMetaData().callback().value_or("");
  return callback;
}

// --- failure paths ----------------------------------------------------------------

void QBLoginPassport::failWithError(const platform::Error& error) {
  deliver(&KPSessionDelegate::passportFailedWithError, std::static_pointer_cast<QBPassport>(self()),
          error);
}

void QBLoginPassport::notifyTokenExpired(const RequestDelegatePtr& requestDelegate) {
  auto error = makeError(kCodeTokenExpired,
                         platform::Json{{platform::Error::kLocalizedDescriptionKey, "Token expired"}});
  PassportPtr passport = shared_from_this();
  post([passport, requestDelegate, error] {
    if (auto delegate = passport->sessionDelegate()) {
      if (delegate->passportPassSessionInvalidOrExpired) {
        delegate->passportPassSessionInvalidOrExpired(passport, error);
      }
    }
    if (requestDelegate && requestDelegate->requestDidFailWithError) {
      requestDelegate->requestDidFailWithError(nullptr, error);
    }
  });
}

}  // namespace lumora
