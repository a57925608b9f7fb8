#include "server/services/AccountService.h"

#include <algorithm>
#include <cctype>
#include <functional>

#include "server/services/CaptchaImage.h"
#include "server/services/Crypto.h"
#include "server/http/HttpUtil.h"

namespace localcloud {

namespace {

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::optional<std::int64_t> parseNonce(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    return std::nullopt;
  try {
    return std::stoll(text);
  } catch (...) {
    return std::nullopt;
  }
}

// "trust" is "true" or "false"; anything else is malformed.
std::optional<bool> parseTrust(const std::optional<std::string>& text) {
  if (text == "true") return true;
  if (text == "false") return false;
  return std::nullopt;
}

}  // namespace

AccountService::AccountService(Store& store, std::function<int()> port)
    : store_(store), port_(std::move(port)) {}

std::string AccountService::baseUrl(const httplib::Request& req) const {
  return http::baseUrl(req, port_());
}

bool AccountService::validServiceId(const std::string& sid) {
  if (sid.empty() || sid.size() > 64) return false;
  return std::all_of(sid.begin(), sid.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '_' || c == '-';
  });
}

std::string AccountService::callbackFor(const std::string& base, const std::string& sid) {
  return base + kServiceTokenPath + "?sid=" + http::urlEncode(sid);
}

void AccountService::replyBlocked(httplib::Response& res) {
  http::replyText(res, 403, "account irregular");
}

std::string AccountService::deviceIdOf(const httplib::Request& req,
                                       const std::string& stepDeviceId) {
  std::string deviceId = http::firstCookie(req, "deviceId");
  return deviceId.empty() ? stepDeviceId : deviceId;
}

std::string AccountService::maskPhone(const std::string& phone) {
  if (phone.size() < 6) return std::string(phone.size(), '*');
  return phone.substr(0, 3) + std::string(phone.size() - 5, '*') +
         phone.substr(phone.size() - 2);
}

// --- login page values ---------------------------------------------------

std::string AccountService::signFor(const std::string& sid, const std::string& qs,
                                    const std::string& callback) const {
  return crypto::hmacSha1Base64(store_.serverSecret(), sid + "\n" + qs + "\n" + callback);
}

AccountService::Json AccountService::loginMeta(const std::string& base, const std::string& sid,
                                               const std::string& stepTicket) const {
  std::string query = "?sid=" + sid + "&_json=true";
  if (!stepTicket.empty()) query += "&step=" + stepTicket;
  std::string qs = http::urlEncode(query);
  std::string callback = callbackFor(base, sid);
  return Json{{"sid", sid}, {"qs", qs}, {"_sign", signFor(sid, qs, callback)},
              {"callback", callback}};
}

bool AccountService::requireSignedPage(const Params& p, const std::string& sid,
                                       httplib::Response& res) const {
  auto qs = http::param(p, "qs");
  auto sign = http::param(p, "_sign");
  std::string callback = http::param(p, "callback").value_or("");
  if (qs && sign && !qs->empty() && crypto::constantTimeEquals(*sign, signFor(sid, *qs, callback)))
    return true;
  http::replyText(res, 400, "invalid qs or _sign");
  return false;
}

bool AccountService::callbackValid(const std::string& callback, const std::string& sid) {
  std::size_t question = callback.find('?');
  std::string path = callback.substr(0, question);
  std::string tail = kServiceTokenPath;
  if (path.size() < tail.size() || path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  // A service's own token endpoint (the device-information service's
  // ".../udi/sts") names no sid; one with a query must name this one.
  if (question == std::string::npos) return true;
  httplib::Params query;
  httplib::detail::parse_query_text(callback.substr(question + 1), query);
  auto it = query.find("sid");
  return it != query.end() && it->second == sid;
}

std::string AccountService::stepTicketOf(const std::string& qs) {
  std::string query = http::urlDecode(qs);
  if (!query.empty() && query.front() == '?') query.erase(0, 1);
  httplib::Params params;
  httplib::detail::parse_query_text(query, params);
  auto it = params.find("step");
  return it == params.end() ? std::string{} : it->second;
}

bool AccountService::userMatches(const std::string& user, const Account& account) {
  return user == account.loginName || user == std::to_string(account.userId);
}

bool AccountService::requireJson(const Params& p, httplib::Response& res) {
  if (http::param(p, "_json") == "true") return true;
  http::replyText(res, 400, "_json=true is required");
  return false;
}

std::optional<std::string> AccountService::requireSid(const Params& p,
                                                      httplib::Response& res) const {
  if (!requireJson(p, res)) return std::nullopt;
  auto sid = http::param(p, "sid");
  if (!sid || !validServiceId(*sid)) {
    http::replyText(res, 400, "missing or invalid sid");
    return std::nullopt;
  }
  return sid;
}

std::optional<Account> AccountService::requireAccount(const Params& p, httplib::Response& res) {
  auto user = http::param(p, "user");
  if (!user || user->empty()) {
    http::replyText(res, 400, "missing user");
    return std::nullopt;
  }
  auto account = store_.findAccount(*user);
  if (!account) replyFailure(res, kCodeUserNotFound, "user not found");
  return account;
}

// --- replies -------------------------------------------------------------

void AccountService::replyFailure(httplib::Response& res, int code, const std::string& desc,
                                  Json extra) {
  Json body = std::move(extra);
  body["code"] = code;
  body["desc"] = desc;
  http::replyJson(res, body);
}

void AccountService::replyLogin(const httplib::Request& req, httplib::Response& res,
                                const Account& account, const std::string& sid,
                                const std::string& passToken) {
  LoginGrant grant = store_.createLoginGrant(account.userId, sid, passToken);
  if (grant.nonce == 0 || passToken.empty()) {
    http::replyText(res, 500, "cannot record the login");
    return;
  }
  std::string base = baseUrl(req);
  Json body = loginMeta(base, sid);
  body["code"] = kCodeOk;
  body["desc"] = "success";
  body["userId"] = account.userId;
  body["passToken"] = passToken;
  body["ssecurity"] = grant.ssecurity;
  body["nonce"] = grant.nonce;
  body["cUserId"] = account.cUserId;
  body["location"] = callbackFor(base, sid) + "&nonce=" + std::to_string(grant.nonce);
  http::setCookie(res, "cUserId", account.cUserId);
  http::replyJson(res, body);
}

bool AccountService::reloginSignatureValid(const httplib::Request& req, const Params& p,
                                           const std::string& passToken) {
  auto signature = http::param(p, "signature");
  if (!signature) return true;  // a relogin without a security key is unsigned
  auto fields = http::singleValued(p);
  fields.erase("signature");
  for (const auto& key : store_.securityKeysOfPassToken(passToken)) {
    auto expected = crypto::requestSignature(req.method, req.path, fields, key);
    if (expected && crypto::constantTimeEquals(*signature, *expected)) return true;
  }
  return false;
}

// --- endpoints -----------------------------------------------------------

void AccountService::registerOn(httplib::Server& server, httplib::Server::Handler loginPage) {
  server.Get("/pass/serviceLogin", [this, loginPage = std::move(loginPage)](
                                       const httplib::Request& req, httplib::Response& res) {
    if (req.get_param_value("_json") == "true") {
      serviceLogin(req, res);
    } else {
      loginPage(req, res);
    }
  });
  server.Post("/pass/serviceLoginAuth2", std::bind_front(&AccountService::serviceLoginAuth2, this));
  server.Post("/pass/loginStep2", std::bind_front(&AccountService::loginStep2, this));
  server.Post("/auth/sendPhoneTicket", std::bind_front(&AccountService::sendPhoneTicket, this));
  server.Post("/auth/verifyPhone", std::bind_front(&AccountService::verifyPhone, this));
  server.Get("/auth/verifyPhone", std::bind_front(&AccountService::verifyPhoneNotice, this));
  server.Get(kSafePhoneCheckPath, std::bind_front(&AccountService::safePhoneCheck, this));
  server.Get("/auth/service", std::bind_front(&AccountService::authService, this));
  server.Get(kCaptchaPath, std::bind_front(&AccountService::captchaImage, this));
  server.Get(kServiceTokenPath, std::bind_front(&AccountService::serviceToken, this));
}

void AccountService::serviceLogin(const httplib::Request& req, httplib::Response& res) {
  Params p = http::params(req);
  auto sid = requireSid(p, res);
  if (!sid) return;
  auto callback = http::param(p, "callback");
  if (callback && !callback->empty() && !callbackValid(*callback, *sid)) {
    http::replyText(res, 400, "callback does not belong to the service");
    return;
  }
  auto userCookies = http::cookies(req, "userId");
  for (const auto& token : http::cookies(req, "passToken")) {
    auto owner = store_.passTokenOwner(token);
    if (!owner) continue;
    auto account = store_.accountById(*owner);
    if (!account) continue;
    bool userOk = userCookies.empty() ||
                  std::any_of(userCookies.begin(), userCookies.end(),
                              [&](const std::string& u) { return userMatches(u, *account); });
    if (!userOk || !reloginSignatureValid(req, p, token)) continue;
    if (account->options.blocked) {
      replyBlocked(res);
      return;
    }
    replyLogin(req, res, *account, *sid, token);
    return;
  }
  replyFailure(res, kCodeNeedLogin, "login required", loginMeta(baseUrl(req), *sid));
}

void AccountService::passwordLogin(const httplib::Request& req, httplib::Response& res,
                                   bool pageSigned) {
  Params p = http::params(req);
  auto sid = requireSid(p, res);
  if (!sid) return;
  auto user = http::param(p, "user");
  if (!user || user->empty()) {
    http::replyText(res, 400, "missing user");
    return;
  }
  if (pageSigned && !requireSignedPage(p, *sid, res)) return;
  bool checkSafePhone = false;
  if (auto serviceParam = http::param(p, "serviceParam")) {
    auto parsed = http::parseJson(*serviceParam);
    if (parsed.is_discarded() || !parsed.is_object()) {
      http::replyText(res, 400, "serviceParam is not a JSON object");
      return;
    }
    checkSafePhone = parsed.value("checkSafePhone", false) == true;
  }
  auto pwd = http::param(p, "pwd");
  auto hash = http::param(p, "hash");
  if ((!pwd || pwd->empty()) && (!hash || hash->empty())) {
    http::replyText(res, 400, "missing pwd or hash");
    return;
  }
  std::string base = baseUrl(req);
  auto account = store_.findAccount(*user);
  if (!account) {
    replyFailure(res, kCodeUserNotFound, "user not found", loginMeta(base, *sid));
    return;
  }
  if (account->options.blocked) {
    replyBlocked(res);
    return;
  }
  if (account->options.needsCaptcha) {
    auto code = http::param(p, "captCode");
    if (!code || code->empty() || !store_.consumeCaptcha(http::cookies(req, "ick"), *code)) {
      Json extra = loginMeta(base, *sid);
      extra["captchaUrl"] = std::string(kCaptchaPath) + "?icodeType=login";
      replyFailure(res, kCodeNeedCaptcha, "captcha required", std::move(extra));
      return;
    }
  }
  std::string given = pwd && !pwd->empty() ? crypto::md5HexUpper(*pwd) : upper(*hash);
  if (!crypto::constantTimeEquals(given, account->passwordHash)) {
    replyFailure(res, kCodeNeedLogin, "wrong password", loginMeta(base, *sid));
    return;
  }
  std::string deviceId = http::firstCookie(req, "deviceId");
  bool trusted = store_.isTrustedDevice(account->userId, deviceId);
  std::string callback = callbackFor(base, *sid);
  if (account->options.needsTwoStep && !trusted) {
    PendingStep step = store_.createPendingStep(PendingStep::Kind::TwoStep, account->userId,
                                                *sid, callback, deviceId);
    replyFailure(res, kCodeNeedTwoStep, "two-step verification required",
                 loginMeta(base, *sid, step.ticket));
    return;
  }
  if (account->options.needsPhoneVerification && !trusted) {
    PendingStep step = store_.createPendingStep(PendingStep::Kind::Phone, account->userId, *sid,
                                                callback, deviceId);
    if (checkSafePhone) {
      // The app verifies the phone itself: the login goes on to the check,
      // which names the verification; the step ticket stands in for a pass
      // token that is only handed out once the phone is verified.
      Json body = loginMeta(base, *sid);
      body["code"] = kCodeOk;
      body["desc"] = "phone check required";
      body["location"] = std::string(kSafePhoneCheckPath) + "?t=" + step.ticket;
      body["passToken"] = step.ticket;
      body["userId"] = account->userId;
      body["nonce"] = 0;
      body["ssecurity"] = crypto::randomToken(16);
      http::replyJson(res, body);
      return;
    }
    Json body = loginMeta(base, *sid);
    body["code"] = kCodeOk;
    body["desc"] = "phone verification required";
    body["notificationUrl"] = "/pass/notification?t=" + step.ticket;
    if (!account->options.phone.empty()) body["phone"] = maskPhone(account->options.phone);
    http::replyJson(res, body);
    return;
  }
  replyLogin(req, res, *account, *sid, store_.issuePassToken(account->userId, deviceId));
}

void AccountService::loginStep2(const httplib::Request& req, httplib::Response& res) {
  Params p = http::params(req);
  auto sid = requireSid(p, res);
  if (!sid) return;
  auto user = http::param(p, "user");
  auto code = http::param(p, "code");
  auto trust = parseTrust(http::param(p, "trust"));
  if (!user || !code || !trust) {
    http::replyText(res, 400, "missing user, code or trust");
    return;
  }
  if (!requireSignedPage(p, *sid, res)) return;
  std::string base = baseUrl(req);
  auto step = store_.pendingStep(stepTicketOf(*http::param(p, "qs")));
  auto account = step ? store_.accountById(step->userId) : std::nullopt;
  if (!step || !account || step->kind != PendingStep::Kind::TwoStep ||
      step->state != PendingStep::State::Open || step->serviceId != *sid ||
      !userMatches(*user, *account)) {
    replyFailure(res, kCodeNeedLogin, "no two-step login pending", loginMeta(base, *sid));
    return;
  }
  if (account->options.blocked) {
    replyBlocked(res);
    return;
  }
  if (!crypto::constantTimeEquals(*code, account->options.twoStepCode)) {
    replyFailure(res, kCodeNeedTwoStep, "wrong two-step code",
                 loginMeta(base, *sid, step->ticket));
    return;
  }
  // Of several requests that passed the checks together, one finishes the step.
  if (!store_.advancePendingStep(step->ticket, PendingStep::State::Open,
                                 PendingStep::State::Done)) {
    replyFailure(res, kCodeNeedLogin, "no two-step login pending", loginMeta(base, *sid));
    return;
  }
  std::string deviceId = deviceIdOf(req, step->deviceId);
  if (*trust) store_.trustDevice(account->userId, deviceId);
  replyLogin(req, res, *account, *sid, store_.issuePassToken(account->userId, deviceId));
}

int AccountService::sendPhoneCode(PendingStep& step, const Account& account) {
  if (account.options.phone.empty()) return kCodeNoSafePhone;
  // Counted in the Store: parallel requests cannot pass the limit.
  std::string code = crypto::randomDigits(6);
  if (!store_.recordSmsCode(step.ticket, code, kMaxPhoneTickets)) {
    auto now = store_.pendingStep(step.ticket);
    return now && now->state == PendingStep::State::Open ? kCodeTooManyTickets : kCodeNeedLogin;
  }
  step.smsCode = code;
  ++step.smsSent;
  return kCodeOk;
}

void AccountService::sendPhoneTicket(const httplib::Request& req, httplib::Response& res) {
  Params p = http::params(req);
  if (!requireJson(p, res)) return;
  auto account = requireAccount(p, res);
  if (!account) return;
  auto step = store_.latestPhoneStep(account->userId);
  if (!step || step->state != PendingStep::State::Open) {
    replyFailure(res, kCodeNeedLogin, "no phone verification pending");
    return;
  }
  int code = sendPhoneCode(*step, *account);
  if (code != kCodeOk) {
    replyFailure(res, code,
                 code == kCodeNoSafePhone      ? "no phone bound"
                 : code == kCodeTooManyTickets ? "too many codes"
                                               : "no phone verification pending");
    return;
  }
  http::replyJson(res, Json{{"code", kCodeOk}, {"desc", "sent"}});
}

std::optional<PendingStep> AccountService::openPhoneStep(const Params& p) {
  auto step = store_.pendingStep(http::param(p, "t").value_or(""));
  if (!step || step->kind != PendingStep::Kind::Phone || step->state != PendingStep::State::Open) {
    return std::nullopt;
  }
  return step;
}

void AccountService::safePhoneCheck(const httplib::Request& req, httplib::Response& res) {
  Params p = http::params(req);
  auto step = openPhoneStep(p);
  if (!step) {
    replyFailure(res, kCodeNeedLogin, "no phone verification pending");
    return;
  }
  replyFailure(res, kCodeVerifyPhone, "phone verification required",
               Json{{"location", baseUrl(req) + "/auth/verifyPhone?t=" + step->ticket}});
}

void AccountService::verifyPhoneNotice(const httplib::Request& req, httplib::Response& res) {
  Params p = http::params(req);
  if (!requireJson(p, res)) return;
  auto step = openPhoneStep(p);
  auto account = step ? store_.accountById(step->userId) : std::nullopt;
  if (!step || !account) {
    replyFailure(res, kCodeNeedLogin, "no phone verification pending");
    return;
  }
  Json body{{"code", kCodeOk},
            {"desc", "verify the phone"},
            {"location", "/auth/verifyPhone?t=" + step->ticket}};
  if (!account->options.phone.empty()) body["phone"] = maskPhone(account->options.phone);
  http::replyJson(res, body);
}

void AccountService::verifyPhone(const httplib::Request& req, httplib::Response& res) {
  Params p = http::params(req);
  if (!requireJson(p, res)) return;
  auto ticket = http::param(p, "ticket");
  auto trust = parseTrust(http::param(p, "trust"));
  if (!ticket || !trust) {
    http::replyText(res, 400, "missing ticket or trust");
    return;
  }
  auto account = requireAccount(p, res);
  if (!account) return;
  auto step = store_.latestPhoneStep(account->userId);
  if (!step) {
    replyFailure(res, kCodeNeedLogin, "no phone verification pending");
    return;
  }
  // The code is asked for also once the step is verified: its location
  // signs the user in.
  if (step->smsCode.empty() || !crypto::constantTimeEquals(*ticket, step->smsCode)) {
    replyFailure(res, kCodeWrongPhoneTicket, "wrong verification code");
    return;
  }
  if (step->state == PendingStep::State::Open &&
      !store_.advancePendingStep(step->ticket, PendingStep::State::Open,
                                 PendingStep::State::Verified)) {
    // Another request moved the step first: fine when it verified it too.
    auto now = store_.pendingStep(step->ticket);
    if (!now || now->state != PendingStep::State::Verified) {
      replyFailure(res, kCodeNeedLogin, "no phone verification pending");
      return;
    }
  }
  if (*trust) store_.trustDevice(account->userId, deviceIdOf(req, step->deviceId));
  http::replyJson(res, Json{{"code", kCodeOk},
                            {"desc", "verified"},
                            {"location", "/auth/service?t=" + step->ticket}});
}

void AccountService::authService(const httplib::Request& req, httplib::Response& res) {
  Params p = http::params(req);
  if (!requireJson(p, res)) return;
  auto step = store_.pendingStep(http::param(p, "t").value_or(""));
  auto account = step ? store_.accountById(step->userId) : std::nullopt;
  if (!step || !account || step->kind != PendingStep::Kind::Phone ||
      step->state != PendingStep::State::Verified) {
    replyFailure(res, kCodeNeedLogin, "verification not completed");
    return;
  }
  if (account->options.blocked) {
    replyBlocked(res);
    return;
  }
  if (!store_.advancePendingStep(step->ticket, PendingStep::State::Verified,
                                 PendingStep::State::Done)) {
    replyFailure(res, kCodeNeedLogin, "verification not completed");
    return;
  }
  std::string deviceId = deviceIdOf(req, step->deviceId);
  replyLogin(req, res, *account, step->serviceId,
             store_.issuePassToken(account->userId, deviceId));
}

void AccountService::captchaImage(const httplib::Request&, httplib::Response& res) {
  std::string code;
  std::string ick = store_.createCaptcha(&code);
  if (ick.empty()) {
    http::replyText(res, 500, "cannot create a captcha");
    return;
  }
  std::string png = captchaImagePng(code);
  if (png.empty()) {
    http::replyText(res, 500, "cannot draw the captcha");
    return;
  }
  http::setCookie(res, "ick", ick);
  res.status = 200;
  res.set_content(png, "image/png");
}

void AccountService::serviceToken(const httplib::Request& req, httplib::Response& res) {
  Params p = http::params(req);
  auto sid = http::param(p, "sid");
  auto nonce = parseNonce(http::param(p, "nonce").value_or(""));
  if (!sid || !nonce) {
    http::replyText(res, 400, "missing sid or nonce");
    return;
  }
  auto refuse = [&](const std::string& desc) {
    replyFailure(res, kCodeServiceTokenRefused, desc);
  };
  auto grant = store_.findLoginGrant(*nonce);
  if (!grant || grant->serviceId != *sid) return refuse("unknown login");
  auto sign = http::param(p, "clientSign");
  if (!sign || !crypto::constantTimeEquals(*sign, crypto::clientSign(grant->nonce,
                                                                      grant->ssecurity))) {
    return refuse("clientSign mismatch");
  }
  if (store_.passTokenOwner(grant->passToken) != grant->userId) return refuse("login revoked");
  if (!store_.consumeLoginGrant(grant->nonce)) return refuse("login already used");
  std::string token = store_.issueServiceToken(*grant);
  if (token.empty()) {
    http::replyText(res, 500, "cannot record the service token");
    return;
  }
  http::setCookie(res, "serviceToken", token);
  if (http::param(p, "_userIdNeedEncrypt") == "true") {
    if (auto account = store_.accountById(grant->userId)) {
      http::setCookie(res, "cUserId", account->cUserId);
    }
  }
  res.set_header("Date", http::httpDateNow());
  http::replyJson(res, Json{{"code", kCodeOk}, {"desc", "ok"}});
}

}  // namespace localcloud
