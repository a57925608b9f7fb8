// The account service of the local cloud: password login with captcha,
// two-step code and phone verification, relogin with the pass token, and the
// service-token step that turns a login into a per-service token bound to the
// login's security key. Replies use the account service's form
// ("&&&START&&&" + JSON with "code"); requests the genuine client never sends
// (missing or malformed parameters, a forged "_sign") get HTTP 400.
//
// Ownership: owned by the CloudServer; holds a reference to the Store, which
// must outlive it. Threading: stateless apart from the Store, so handlers
// run concurrently on the server's threads; a pending step is finished by
// one request only (the Store moves it conditionally). Failures are replies:
// a code, HTTP 400 for malformed requests, 403 for a blocked account, 500
// when the Store cannot record a login.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "server/storage/Store.h"

namespace localcloud {

class AccountService {
 public:
  // Reply codes of the account service.
  static constexpr int kCodeOk = 0;
  static constexpr int kCodeVerifyPhone = 2;  // the phone is to be verified
  static constexpr int kCodeUserNotFound = 20003;
  static constexpr int kCodeNoSafePhone = 66108;
  static constexpr int kCodeWrongPhoneTicket = 70014;
  static constexpr int kCodeNeedLogin = 70016;  // no valid pass token / wrong password
  static constexpr int kCodeTooManyTickets = 70022;
  static constexpr int kCodeNeedTwoStep = 81003;
  static constexpr int kCodeNeedCaptcha = 87001;
  static constexpr int kCodeServiceTokenRefused = 401;
  // SMS codes one pending verification may ask for.
  static constexpr int kMaxPhoneTickets = 5;

  static constexpr const char* kCaptchaPath = "/pass/getCode";
  static constexpr const char* kServiceTokenPath = "/sts";
  // A login asking for the phone check ("checkSafePhone") of an account
  // whose phone is to be verified goes on here: the check answers
  // kCodeVerifyPhone with the location of the verification, whose GET names
  // the masked phone; the SMS code then finishes the login as usual.
  static constexpr const char* kSafePhoneCheckPath = "/auth/check";

  // `port` tells the port the server listens on (for absolute URLs when a
  // request has no usable Host header).
  AccountService(Store& store, std::function<int()> port);

  // Registers the account service's paths. `loginPage` answers the login
  // path when it is opened without "_json" (as a web view opens it).
  void registerOn(httplib::Server& server, httplib::Server::Handler loginPage);

  // Shared with the web pages.
  std::string baseUrl(const httplib::Request& req) const;
  // Sends a new SMS code for a pending phone step; returns the reply code:
  // kCodeOk, kCodeNoSafePhone, kCodeTooManyTickets, or kCodeNeedLogin when
  // the step is no longer open.
  int sendPhoneCode(PendingStep& step, const Account& account);
  // "138******78": first three and last two digits kept.
  static std::string maskPhone(const std::string& phone);
  // A service id is 1 to 64 of [A-Za-z0-9._-].
  static bool validServiceId(const std::string& sid);
  // The callback URL of a service on this server.
  static std::string callbackFor(const std::string& base, const std::string& sid);
  // HTTP 403: the account is irregular (blocked).
  static void replyBlocked(httplib::Response& res);
  // The device a step is finished on: the "deviceId" cookie, else the one
  // the step was begun on.
  static std::string deviceIdOf(const httplib::Request& req, const std::string& stepDeviceId);

  // The CA login paths (CaService), once their parameters and cookies are
  // decrypted: the relogin, and the password step, which a CA client sends
  // without the login page values "qs" and "_sign" (its CA signature
  // vouches for the request instead).
  void serviceLoginDecrypted(const httplib::Request& req, httplib::Response& res) {
    serviceLogin(req, res);
  }
  void passwordLoginDecrypted(const httplib::Request& req, httplib::Response& res) {
    passwordLogin(req, res, false);
  }

 private:
  using Params = std::multimap<std::string, std::string>;
  using Json = nlohmann::json;

  // The endpoints (JSON replies but for the captcha image).
  void serviceLogin(const httplib::Request& req, httplib::Response& res);
  void serviceLoginAuth2(const httplib::Request& req, httplib::Response& res) {
    passwordLogin(req, res, true);
  }
  void passwordLogin(const httplib::Request& req, httplib::Response& res, bool pageSigned);
  void loginStep2(const httplib::Request& req, httplib::Response& res);
  void sendPhoneTicket(const httplib::Request& req, httplib::Response& res);
  void verifyPhone(const httplib::Request& req, httplib::Response& res);
  void safePhoneCheck(const httplib::Request& req, httplib::Response& res);
  void verifyPhoneNotice(const httplib::Request& req, httplib::Response& res);
  // The open phone step named by "t".
  std::optional<PendingStep> openPhoneStep(const Params& p);
  void authService(const httplib::Request& req, httplib::Response& res);
  // The captcha image: a new captcha session in the "ick" cookie.
  void captchaImage(const httplib::Request& req, httplib::Response& res);
  // GET on a login's "location": checks "clientSign" and sets "serviceToken".
  void serviceToken(const httplib::Request& req, httplib::Response& res);

  // "sid", "qs", "_sign" and "callback" of a login page; `stepTicket`
  // names a pending two-step login when not empty.
  Json loginMeta(const std::string& base, const std::string& sid,
                 const std::string& stepTicket = {}) const;
  std::string signFor(const std::string& sid, const std::string& qs,
                      const std::string& callback) const;
  static bool callbackValid(const std::string& callback, const std::string& sid);
  static std::string stepTicketOf(const std::string& qs);
  static bool userMatches(const std::string& user, const Account& account);

  // Common checks of the JSON endpoints: "_json" is "true" (and "sid" is
  // valid; the account "user" names exists). They answer 400 (or 20003 for
  // an unknown user) and return false / nullopt otherwise.
  static bool requireJson(const Params& p, httplib::Response& res);
  std::optional<std::string> requireSid(const Params& p, httplib::Response& res) const;
  std::optional<Account> requireAccount(const Params& p, httplib::Response& res);
  // "qs", "_sign" and "callback" are page values this server signed for sid.
  bool requireSignedPage(const Params& p, const std::string& sid, httplib::Response& res) const;

  // Grants a login and answers with the full login reply.
  void replyLogin(const httplib::Request& req, httplib::Response& res, const Account& account,
                  const std::string& sid, const std::string& passToken);
  void replyFailure(httplib::Response& res, int code, const std::string& desc,
                    Json extra = Json::object());
  // Whether a relogin's optional "signature" verifies under a key that was
  // handed out under this pass token.
  bool reloginSignatureValid(const httplib::Request& req, const Params& p,
                             const std::string& passToken);

  Store& store_;
  std::function<int()> port_;
};

}  // namespace localcloud
