#include "server/services/WebPages.h"

#include <functional>

#include "server/services/Crypto.h"
#include "server/http/HttpUtil.h"

namespace localcloud {

namespace {

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + http::htmlEscape(title) +
         "</title></head><body><h1>" + http::htmlEscape(title) + "</h1>" + body +
         "</body></html>";
}

std::string hidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + http::htmlEscape(value) +
         "\">";
}

std::string paragraph(const std::string& text) {
  return text.empty() ? std::string{} : "<p>" + http::htmlEscape(text) + "</p>";
}

void replyEnded(httplib::Response& res) {
  http::replyHtml(res, page("Verification", paragraph("This verification has ended.")));
}

}  // namespace

void WebPages::registerOn(httplib::Server& server) {
  // The account's information pages that the app opens in its web page.
  struct InfoPage {
    const char* path;
    const char* title;
    const char* text;
  };
  static const InfoPage kInfoPages[] = {
      {kPrivacyPolicyPath, "Privacy Policy", "What the account service keeps about you, and why."},
      {kPrivacyAgreementPath, "User Agreement", "The terms under which you use your account."},
      {kBindPhonePath, "Bind Phone", "Bind a phone to your account to verify new devices by SMS."},
      {kSmsHelpPath, "SMS Error", "When no code arrives, check the phone's signal and ask again in a minute."},
  };
  for (const auto& info : kInfoPages) {
    server.Get(info.path, [info](const httplib::Request&, httplib::Response& res) {
      http::replyHtml(res, page(info.title, paragraph(info.text)));
    });
  }
  server.Post(kWebLoginPath, std::bind_front(&WebPages::webLogin, this));
  server.Get(kNotificationPath, std::bind_front(&WebPages::notificationPage, this));
  server.Post(kNotificationSendPath, std::bind_front(&WebPages::notificationSend, this));
  server.Post(kNotificationVerifyPath, std::bind_front(&WebPages::notificationVerify, this));
}

void WebPages::finishLogin(httplib::Response& res, const Account& account,
                           const std::string& deviceId) {
  std::string passToken = store_.issuePassToken(account.userId, deviceId);
  if (passToken.empty()) {
    http::replyText(res, 500, "cannot record the login");
    return;
  }
  http::setCookie(res, "userId", std::to_string(account.userId));
  http::setCookie(res, "passToken", passToken);
  http::setCookie(res, "cUserId", account.cUserId);
  http::setCookie(res, "passInfo", "login-end");
  http::replyHtml(res, page("Signed in", paragraph("You can return to the app.")));
}

// --- web login -----------------------------------------------------------

std::string WebPages::loginForm(const std::string& sid, const std::string& callback,
                                const std::string& message) const {
  return page("Sign in",
              paragraph(message) + "<form method=\"post\" action=\"" + kWebLoginPath + "\">" +
                  hidden("sid", sid) + hidden("callback", callback) +
                  "<p><input name=\"user\" placeholder=\"Account\"></p>"
                  "<p><input name=\"password\" type=\"password\" placeholder=\"Password\"></p>"
                  "<p><button type=\"submit\">Sign in</button></p></form>");
}

void WebPages::loginPage(const httplib::Request& req, httplib::Response& res) {
  auto p = http::params(req);
  std::string sid = http::param(p, "sid").value_or("");
  if (!AccountService::validServiceId(sid)) {
    http::replyText(res, 400, "missing or invalid sid");
    return;
  }
  http::replyHtml(res, loginForm(sid, http::param(p, "callback").value_or(""), ""));
}

void WebPages::webLogin(const httplib::Request& req, httplib::Response& res) {
  auto p = http::params(req);
  std::string sid = http::param(p, "sid").value_or("");
  std::string callback = http::param(p, "callback").value_or("");
  if (!AccountService::validServiceId(sid)) {
    http::replyText(res, 400, "missing or invalid sid");
    return;
  }
  auto account = store_.findAccount(http::param(p, "user").value_or(""));
  std::string password = http::param(p, "password").value_or("");
  if (!account || password.empty() ||
      !crypto::constantTimeEquals(crypto::md5HexUpper(password), account->passwordHash)) {
    http::replyHtml(res, loginForm(sid, callback, "Wrong account or password."));
    return;
  }
  if (account->options.blocked) {
    AccountService::replyBlocked(res);
    return;
  }
  std::string deviceId = http::firstCookie(req, "deviceId");
  bool trusted = store_.isTrustedDevice(account->userId, deviceId);
  const auto& options = account->options;
  if (options.needsCaptcha || ((options.needsTwoStep || options.needsPhoneVerification) &&
                               !trusted)) {
    // These checks have no page of their own here: the app's screens run them.
    http::replyHtml(res, loginForm(sid, callback,
                                   "This account needs a further check; sign in in the app."));
    return;
  }
  finishLogin(res, *account, deviceId);
}

// --- verification page ---------------------------------------------------

std::string WebPages::verifyForms(const PendingStep& step, const Account& account,
                                  const std::string& message) const {
  std::string phone = account.options.phone.empty()
                          ? std::string("no phone is bound to this account")
                          : AccountService::maskPhone(account.options.phone);
  return page("Verify your phone",
              paragraph("A code goes to " + phone + ".") + paragraph(message) +
                  "<form method=\"post\" action=\"" + kNotificationSendPath + "\">" +
                  hidden("t", step.ticket) +
                  "<button type=\"submit\">Send code</button></form>"
                  "<form method=\"post\" action=\"" + kNotificationVerifyPath + "\">" +
                  hidden("t", step.ticket) +
                  "<p><input name=\"ticket\" placeholder=\"Code\"></p>"
                  "<p><label><input type=\"checkbox\" name=\"trust\" value=\"true\"> "
                  "Trust this device</label></p>"
                  "<p><button type=\"submit\">Verify</button></p></form>");
}

namespace {

// The phone step a page request names, with its account, while it is open;
// otherwise the reply is the page that says the verification has ended.
struct OpenStep {
  PendingStep step;
  Account account;
};

std::optional<OpenStep> openStep(Store& store, const httplib::Request& req,
                                 httplib::Response& res) {
  auto p = http::params(req);
  auto step = store.pendingStep(http::param(p, "t").value_or(""));
  auto account = step ? store.accountById(step->userId) : std::nullopt;
  if (!step || !account || step->kind != PendingStep::Kind::Phone ||
      step->state != PendingStep::State::Open) {
    replyEnded(res);
    return std::nullopt;
  }
  return OpenStep{*step, *account};
}

}  // namespace

void WebPages::notificationPage(const httplib::Request& req, httplib::Response& res) {
  auto open = openStep(store_, req, res);
  if (!open) return;
  http::replyHtml(res, verifyForms(open->step, open->account, ""));
}

void WebPages::notificationSend(const httplib::Request& req, httplib::Response& res) {
  auto open = openStep(store_, req, res);
  if (!open) return;
  int code = accounts_.sendPhoneCode(open->step, open->account);
  std::string message = code == AccountService::kCodeOk ? "The code was sent."
                        : code == AccountService::kCodeNoSafePhone
                            ? "No phone is bound to this account."
                        : code == AccountService::kCodeTooManyTickets
                            ? "Too many codes were asked for."
                            : "This verification has ended.";
  http::replyHtml(res, verifyForms(open->step, open->account, message));
}

void WebPages::notificationVerify(const httplib::Request& req, httplib::Response& res) {
  auto open = openStep(store_, req, res);
  if (!open) return;
  auto p = http::params(req);
  std::string ticket = http::param(p, "ticket").value_or("");
  if (open->step.smsCode.empty() ||
      !crypto::constantTimeEquals(ticket, open->step.smsCode)) {
    http::replyHtml(res, verifyForms(open->step, open->account, "Wrong code."));
    return;
  }
  if (open->account.options.blocked) {
    AccountService::replyBlocked(res);
    return;
  }
  if (!store_.advancePendingStep(open->step.ticket, PendingStep::State::Open,
                                 PendingStep::State::Done)) {
    replyEnded(res);
    return;
  }
  std::string deviceId = AccountService::deviceIdOf(req, open->step.deviceId);
  if (http::param(p, "trust") == "true") store_.trustDevice(open->account.userId, deviceId);
  finishLogin(res, open->account, deviceId);
}

}  // namespace localcloud
