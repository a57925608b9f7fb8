// The account service's web pages: the web login page (the login page opened
// without "_json"), the verification page that a login reply's
// "notificationUrl" names, and the information pages (privacy policy, user
// agreement, phone binding, help for SMS codes). A page that completes a login sets the cookies
// the client's web view reads: "passInfo" = "login-end", "userId",
// "passToken" and "cUserId".
//
// Ownership: owned by the CloudServer; refers to the Store and the
// AccountService, which outlive it. Threading: stateless, concurrent use is
// fine. Failures are shown as page text; malformed requests get HTTP 400.
#pragma once

#include <httplib.h>

#include <string>

#include "server/services/AccountService.h"
#include "server/storage/Store.h"

namespace localcloud {

class WebPages {
 public:
  static constexpr const char* kNotificationPath = "/pass/notification";
  static constexpr const char* kNotificationSendPath = "/pass/notification/send";
  static constexpr const char* kNotificationVerifyPath = "/pass/notification/verify";
  static constexpr const char* kWebLoginPath = "/pass/webLogin";
  static constexpr const char* kPrivacyPolicyPath = "/about/privacy";
  static constexpr const char* kPrivacyAgreementPath = "/about/agreement";
  static constexpr const char* kBindPhonePath = "/pass/bindPhone";
  static constexpr const char* kSmsHelpPath = "/pass/smsHelp";

  WebPages(Store& store, AccountService& accounts) : store_(store), accounts_(accounts) {}

  // Registers the form and verification paths (the login page itself is
  // reached through the account service's login path).
  void registerOn(httplib::Server& server);
  // GET "/pass/serviceLogin" without "_json": the login form.
  void loginPage(const httplib::Request& req, httplib::Response& res);

 private:
  // POST of the login form.
  void webLogin(const httplib::Request& req, httplib::Response& res);
  // GET of the verification page, POSTs of its two forms.
  void notificationPage(const httplib::Request& req, httplib::Response& res);
  void notificationSend(const httplib::Request& req, httplib::Response& res);
  void notificationVerify(const httplib::Request& req, httplib::Response& res);

  std::string loginForm(const std::string& sid, const std::string& callback,
                        const std::string& message) const;
  std::string verifyForms(const PendingStep& step, const Account& account,
                          const std::string& message) const;
  void finishLogin(httplib::Response& res, const Account& account, const std::string& deviceId);

  Store& store_;
  AccountService& accounts_;
};

}  // namespace localcloud
