// The reply side of a logging-in session: each reply is routed by the path
// of the URL that was requested, then starts the next request, shows the
// verification page, or ends the login.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

#include "account/KPCookieUtil.h"
#include "account/KPNumberValues.h"
#include "account/QBLoginPassport.h"
#include "utils/LMLogUtil.h"
#include "platform/Bytes.h"
#include "platform/JsonValues.h"
#include "platform/dispatch/TimePoints.h"
#include "platform/http/Cookie.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/Url.h"

namespace lumora {

using platform::hasText;

namespace {
std::string pathOf(const std::string& url) {
  auto parsed = platform::http::Url::parse(url);
  return parsed ? parsed->path() : std::string();
}

bool pathIs(const std::string& path, std::initializer_list<const char*> suffixes) {
  for (const char* suffix : suffixes) {
    if (path.ends_with(suffix)) return true;
  }
  return false;
}

// A body that the platform could show as an image (PNG, JPEG or GIF).
bool looksLikeImage(const platform::Bytes& data) {
  auto starts = [&](std::initializer_list<std::uint8_t> magic) {
    return data.size() >= magic.size() && std::equal(magic.begin(), magic.end(), data.begin());
  };
  return starts({0x89, 'P', 'N', 'G'}) || starts({0xFF, 0xD8, 0xFF}) || starts({'G', 'I', 'F', '8'});
}
}  // namespace

// --- request delegate side ------------------------------------------------------

void QBLoginPassport::onRequestLoading(const RequestPtr&) { LM_LOG_DEBUG("request start loading"); }

bool QBLoginPassport::endedByStatus(const RequestPtr& request) {
  if (!request) return false;
  std::lock_guard lock(requestsMutex_);
  return endedByStatus_.count(RequestKey(request)) > 0;
}

void QBLoginPassport::onResponse(const RequestPtr& request, const platform::http::Response& response) {
  if (!request) return;
  if (response.statusCode() >= 400) {
    {
      std::lock_guard lock(requestsMutex_);
      for (auto it = endedByStatus_.begin(); it != endedByStatus_.end();) {
        it = it->expired() ? endedByStatus_.erase(it) : std::next(it);
      }
      endedByStatus_.insert(request);
    }
    // The status ends the login; the body that follows is not looked at, so
    // the caller hears of this reply once.
    failWithError(makeError(response.statusCode()));
    return;
  }
  if (!isUrlForServiceToken(request->url())) return;
  std::string cookieURL = "http://" + accountCookieDomain() + "/";
  {
    std::lock_guard lock(requestsMutex_);
    TokenStep& step = tokenStepLocked(request);
    for (const auto& cookie :
         platform::http::cookiesFromHeaderFields(response.allHeaderFields(), cookieURL)) {
      if (cookie.name == "serviceToken") step.serviceToken = cookie.value;
      else if (cookie.name == "cUserId" && !cookie.value.empty()) step.cUserId = cookie.value;
    }
  }
  for (const auto& [name, value] : response.allHeaderFields().entries()) {
    if (name == "Date") {
      setServerDate(dateFromString(value));
      break;
    }
  }
}

void QBLoginPassport::onLoad(const RequestPtr& request, const platform::Json& reply) {
  if (!request || reply.is_null() || endedByStatus(request)) return;
  const std::string path = pathOf(request->url());
  if (pathIs(path, {"/pass/serviceLogin", "/pass/serviceLoginCA"})) {
    if (auto block = blockAfterRequest()) {
      block(makeError(kCodeOk, platform::isNonEmptyObject(reply) ? reply : platform::Json()));
    }
    return;
  }
  if (pathIs(path, {"/pass/serviceLoginAuth2", "/pass/serviceLoginAuth2CA", "/pass/loginStep2",
                    "/auth/check", "/auth/service"})) {
    handlePassportLoginRequest(reply, true);
    return;
  }
  if (isUrlForServiceToken(request->url())) {
    onServiceTokenLoad(request, reply);
    return;
  }
  if (pathIs(path, {"/auth/sendPhoneTicket"})) {
    deliver(&KPSessionDelegate::passportDidSendPhoneTicket, std::static_pointer_cast<QBPassport>(self()));
    return;
  }
  if (pathIs(path, {"/auth/verifyPhone"})) {
    const auto& method = request->httpMethod();
    bool hasLocation = platform::isNonEmptyObject(reply) &&
                       platform::isNonEmptyString(reply.value("location", platform::Json()));
    if (method == "GET") {
      if (hasLocation) {
        // The phone the code will go to, for the app's verification screen.
        if (auto phone = platform::stringAt(reply, "phone"); phone && !phone->empty()) setMaskedPhone(phone);
        failWithError(makeError(kCodeVerifyPhoneAnnounced));
      } else {
        LM_LOG_ERROR("Verify no location");
        failWithError(makeError(kCodeMissingReplyData));
      }
    } else if (method == "POST") {
      followVerification(platform::isNonEmptyObject(reply) ? reply.value("location", platform::Json())
                                                 : platform::Json(),
                         "Verify no location");
    }
    return;
  }
  failWithError(makeError(kCodeUnknownPath));
}

// --- the service-token step ---------------------------------------------------------

QBLoginPassport::TokenStep& QBLoginPassport::tokenStepLocked(const RequestPtr& request) {
  auto it = tokenSteps_.find(RequestKey(request));
  if (it != tokenSteps_.end()) return it->second;
  TokenStep step;
  step.storedTokenBefore = serviceToken();
  return tokenSteps_.emplace(request, std::move(step)).first->second;
}

void QBLoginPassport::connectTokenStep(const RequestPtr& request, std::optional<LoginValues> login) {
  TokenStep step;
  step.login = std::move(login);
  step.storedTokenBefore = KPCookieUtil::getSharedCookiesValueForKey("serviceToken", request->url());
  {
    std::lock_guard lock(requestsMutex_);
    for (auto it = tokenSteps_.begin(); it != tokenSteps_.end();) {
      it = it->first.expired() ? tokenSteps_.erase(it) : std::next(it);
    }
    tokenSteps_[request] = std::move(step);
  }
  request->connect();
}

void QBLoginPassport::onServiceTokenLoad(const RequestPtr& request, const platform::Json& reply) {
  TokenStep step;
  {
    std::lock_guard lock(requestsMutex_);
    step = std::move(tokenStepLocked(request));
    tokenSteps_.erase(RequestKey(request));
  }
  auto token = step.serviceToken;
  if (!hasText(token)) {
    // The cookie may have reached the store on a hop of the reply that this
    // session did not see; one that was there before is not this step's.
    auto stored = KPCookieUtil::getSharedCookiesValueForKey("serviceToken", request->url());
    if (hasText(stored) && stored != step.storedTokenBefore) token = stored;
  }
  if (!hasText(token)) {
    LM_LOG_ERROR("The service-token step brought no service token");
    failWithError(
        makeError(kCodeNoServiceToken, platform::isNonEmptyObject(reply) ? reply : platform::Json()));
    return;
  }
  if (step.login) commitLoginValues(*step.login);
  setServiceToken(token);
  if (step.cUserId) setCUserId(step.cUserId);
  dispatchPassportDidLoginMessage();
}

void QBLoginPassport::commitLoginValues(const LoginValues& values) {
  setPassToken(values.passToken);
  setUserId(values.userId);
  setNonce(values.nonce);
  setSSecurity(values.sSecurity);
}

void QBLoginPassport::followVerification(const platform::Json& location, const char* logText) {
  if (!platform::isNonEmptyString(location)) {
    LM_LOG_ERROR("{}", logText);
    failWithError(makeError(kCodeMissingReplyData));
    return;
  }
  sendStep(location.get<std::string>() + "&_json=true", "GET", std::nullopt);
}

platform::Error QBLoginPassport::withCaptchaImage(const platform::Error& error) {
  std::string captchaUrl = platform::stringAt(error.userInfo(), "captchaUrl").value_or("");
  platform::http::Request fetch;
  fetch.url = strAccountDomain() + captchaUrl;
  auto reply = platform::http::sendSynchronousRequest(fetch);
  if (!reply.ok() || !reply.response || reply.response->statusCode() != 200) return error;
  platform::Json info = error.userInfo().is_object() ? error.userInfo() : platform::Json::object();
  if (looksLikeImage(reply.data)) info[kCaptchaImageKey] = platform::Json::binary(reply.data);
  return makeError(kCodeCaptcha, std::move(info));
}

void QBLoginPassport::onFailure(const RequestPtr& request, const platform::Error& error) {
  if (request && endedByStatus(request)) return;
  const std::string path = request ? pathOf(request->url()) : std::string();
  const auto& info = error.userInfo();
  if (pathIs(path, {"/pass/serviceLogin", "/pass/serviceLoginCA"})) {
    if (auto block = blockAfterRequest()) block(error);
    return;
  }
  if (pathIs(path, {"/pass/serviceLoginAuth2", "/pass/serviceLoginAuth2CA", "/pass/loginStep2"})) {
    storeLoginPageValues(info);
    if (error.code() == kCodeCaptcha) {
      failWithError(withCaptchaImage(error));
      return;
    }
    if (path.ends_with("/pass/serviceLoginAuth2CA") && error.code() != kCodeNeedPassword) {
      if (auto fallback = caLoginFailCallback()) {
        fallback(error);
        return;
      }
    }
    failWithError(error);
    return;
  }
  if (pathIs(path, {"/auth/service"})) {
    followVerification(
        platform::isNonEmptyObject(info) ? info.value("url", platform::Json()) : platform::Json(),
        "Verify no url");
    return;
  }
  if (pathIs(path, {"/auth/check", "/auth/verifyPhone"})) {
    // The service refusing the SMS code (a wrong one) names no next step:
    // that refusal is the outcome, not a reply that lacks its location.
    const bool named = platform::isNonEmptyObject(info) &&
                       platform::isNonEmptyString(info.value("location", platform::Json()));
    if (!named && pathIs(path, {"/auth/verifyPhone"}) && error.domain() == kErrorDomain && error.code() != 0) {
      failWithError(error);
      return;
    }
    followVerification(
        platform::isNonEmptyObject(info) ? info.value("location", platform::Json()) : platform::Json(),
        "Verify no location");
    return;
  }
  failWithError(error);
}

// --- login replies ------------------------------------------------------------------

void QBLoginPassport::storeLoginPageValues(const platform::Json& reply) {
  loginRuntimeMetaData().updateWithSid(platform::stringAt(reply, "sid"), platform::stringAt(reply, "qs"),
                                       platform::stringAt(reply, "_sign"),
                                       platform::stringAt(reply, "callback"));
}

void QBLoginPassport::handlePassportLoginRequest(const platform::Json& reply, bool allowUI) {
  if (!platform::isNonEmptyObject(reply)) {
    // Nothing further would come of such a reply: end the login instead of
    // leaving the caller waiting.
    LM_LOG_ERROR("Login reply is not a JSON object");
    failWithError(makeError(kCodeMissingReplyData));
    return;
  }
  storeLoginPageValues(reply);
  auto status = processPassportLoginResponse(reply, allowUI);
  if (!status.ok() && status.error().code() == kCodeLoggedInWithoutToken) {
    dispatchPassportDidLoginMessage();
  } else if (status.ok() || status.error().code() == kCodeOk) {
    LM_LOG_DEBUG("login request success, but also having pending request to handle");
  } else {
    failWithError(status.error());
  }
}

platform::Status QBLoginPassport::processPassportLoginResponse(
    const platform::Json& reply, bool allowUI) {
  if (auto callback = platform::stringAt(reply, "callback"); platform::hasText(callback)) {
    setCallbackUrl(*callback);
  }
  std::string location = platform::stringAt(reply, "Location").value_or("");
  if (location.empty()) location = platform::stringAt(reply, "location").value_or("");
  if (!location.empty()) setServiceTokenUrl(location);
  if (auto cUser = KPCookieUtil::getSharedCookiesValueForKey("cUserId"); cUser && !cUser->empty()) {
    setCUserId(cUser);
  }

  std::string notification = platform::stringAt(reply, "notificationUrl").value_or("");
  if (!notification.empty()) {
    setMaskedPhone(platform::stringAt(reply, "phone"));
    std::string base = releaseAccountDomain();
    std::string page = notification.rfind(base, 0) == 0 ? notification : base + notification;
    if (allowUI) {
      showWebViewControllerWithURL(page, platform::Json(), {}, std::nullopt);
      return platform::Status::success();
    }
    return makeError(kCodeVerifyInWebPage, platform::Json{{"notificationFullUrl", page}});
  }
  if (location.empty()) {
    LM_LOG_ERROR("No auth location, password mistakes.");
    return makeError(kCodeMissingReplyData);
  }
  std::string tokenUrl = *serviceTokenUrl();
  if (tokenUrl.rfind("http", 0) != 0) {
    tokenUrl = strAccountDomain() + tokenUrl;
    setServiceTokenUrl(tokenUrl);
  }
  LoginValues values;
  values.passToken = platform::stringAt(reply, "passToken").value_or("");
  if (values.passToken.empty()) {
    LM_LOG_ERROR("No pass token");
    return makeError(kCodeMissingReplyData);
  }
  auto user = userIdOfReply(reply);
  if (!user) {
    LM_LOG_ERROR("No user id");
    return makeError(kCodeMissingReplyData);
  }
  values.userId = *user;
  values.nonce = kpLongLongValue(reply.value("nonce", platform::Json()));
  values.sSecurity = platform::stringAt(reply, "ssecurity");
  if (!needFetchServiceToken()) {
    commitLoginValues(values);
    return makeError(kCodeLoggedInWithoutToken);
  }

  // The client sign is made under the reply's key, which is not the
  // session's until the token step succeeds.
  Params signed_;
  signed_["nonce"] = std::to_string(values.nonce);
  auto sign = QBPassportRequest::generateSignatureWithMethod(
      std::nullopt, std::nullopt, signed_,
      values.sSecurity ? std::optional<std::string_view>(*values.sSecurity) : std::nullopt);
  if (!sign || sign->empty()) {
    LM_LOG_ERROR("failed to get client sign");
    return makeError(kCodeMissingReplyData);
  }
  if (userIdNeedEncrypt()) {
    tokenUrl += "&_userIdNeedEncrypt=true";
    setServiceTokenUrl(tokenUrl);
  }
  auto params = std::make_shared<Params>();
  (*params)["clientSign"] = *sign;
  connectTokenStep(QBPassportRequest::requestWithParams(params, "GET", {}, self(), tokenUrl),
                   std::move(values));
  return makeError(kCodeOk);
}

std::optional<std::string> QBLoginPassport::userIdOfReply(const platform::Json& reply) {
  if (!reply.is_object()) return std::nullopt;
  auto user = reply.find("userId");
  if (user == reply.end() || user->is_null()) return std::nullopt;
  return user->is_string() ? user->get<std::string>() : user->dump();
}

bool QBLoginPassport::isReplyForAnotherUser(const platform::Json& reply) const {
  auto mine = userId();
  auto theirs = userIdOfReply(reply);
  return hasText(mine) && theirs && *theirs != *mine;
}

bool QBLoginPassport::needFetchServiceToken() const {
  auto value = sid();
  return value && !value->empty() && *value != "passport";
}

bool QBLoginPassport::isUrlForServiceToken(const std::string& url) const {
  std::string callback = callbackUrl();
  if (!callback.empty() && url.rfind(callback, 0) == 0) return true;
  auto tokenUrl = serviceTokenUrl();
  return tokenUrl && !tokenUrl->empty() && url.rfind(*tokenUrl, 0) == 0;
}

std::optional<platform::Clock::TimePoint> QBLoginPassport::dateFromString(const std::string& text) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  std::tm tm{};
  in >> std::get_time(&tm, "%a, %d %b %Y %H:%M:%S");
  if (in.fail()) return std::nullopt;
  std::string zone;
  in >> zone;
  int offsetSeconds = 0;
  if (zone == "GMT" || zone == "UTC" || zone == "UT" || zone == "Z") {
    offsetSeconds = 0;
  } else if (zone.size() == 9 && zone.rfind("GMT", 0) == 0 && (zone[3] == '+' || zone[3] == '-') &&
             zone[6] == ':') {
    int hours = std::atoi(zone.substr(4, 2).c_str());
    int minutes = std::atoi(zone.substr(7, 2).c_str());
    offsetSeconds = (hours * 3600 + minutes * 60) * (zone[3] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  std::time_t seconds = timegm(&tm);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return platform::timePointFromSeconds(static_cast<std::int64_t>(seconds) - offsetSeconds);
}

void QBLoginPassport::dispatchPassportDidLoginMessage() {
  deliver(&KPSessionDelegate::passportDidLogin, std::static_pointer_cast<QBPassport>(self()));
}

void QBLoginPassport::dispatchPassportWillShowWebviewMessage() {
  deliver(&KPSessionDelegate::passportWillShowWebView);
}

}  // namespace lumora
