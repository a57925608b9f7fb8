// The account session that logs in: the QBPassport record plus the requests
// it sends to the account service (service-login step with the pass token,
// password step with an optional captcha code, two-step code, phone ticket
// and verification, web login, single sign-on), the handling of their
// replies (routed by the path of each request's URL, ending in the
// service-token step that stores "serviceToken" and "sSecurity"), and the
// web login's hand-back. Whatever logs in makes this type: the passports
// manager, the single sign-on entry (its second "oauth2.0" session) and the
// service-token fetch; a bare QBPassport is only a stored record.
//
// Every login ends with exactly one session-delegate message:
// passportDidLogin or passport failed (a phone ticket sent is reported as
// passportDidSendPhoneTicket and the login waits for the code). A reply
// with HTTP status 400 or above ends it once, with the status as code, and
// its body is not looked at; a reply that is no non-empty JSON object where
// one is needed ends it with 10003; a relogin that must not show a page
// ends with -2005 when the service asks for verification in one. When the
// service-login step that opens a password or web login already accepts the
// pass token (code 0), that reply is the login: it goes on to the service
// token instead of being reported as a failure with code 0 - unless it names
// a user other than the session's (a pass-token cookie of another account):
// that is treated as the service's 70016, a login still to be done, so a web
// login shows its page and a relogin fails with 70016. A login reply's pass
// token, user id, nonce and security key become the session's only with the
// new service token of the step it starts; a token step that fails, or
// answers without a new "serviceToken", leaves the session as it was.
//
// Ownership: make it with create() (std::shared_ptr). Running requests keep
// it alive as their delegate; the web screen and the session delegate are
// held weakly. Threading: operations may be called from any thread (the
// app calls them on the main queue); replies are handled on the request's
// connection thread; delegate messages are posted to the delegate queue, or
// the main queue when none is set; the web screen is made and shown on the
// main thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "account/KPEnDecryptCoder.h"
#include "account/KPUserCoreInfo.h"
#include "account/KPWebViewControllerDelegate.h"
#include "account/QBPassport.h"
#include "account/QBPassportRequest.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/Response.h"

namespace lumora {

class QBLoginPassport : public QBPassport, public KPWebViewControllerDelegate {
 public:
  // Codes of QBPassportErrorDomain made or read here.
  static constexpr std::int64_t kCodeOk = 0;                  // also: a further request is under way
  static constexpr std::int64_t kCodeLoggedInWithoutToken = 1;
  static constexpr std::int64_t kCodeVerifyPhoneAnnounced = 2;
  static constexpr std::int64_t kCodeMissingReplyData = 10003;
  static constexpr std::int64_t kCodeNeedPassword = 70016;
  static constexpr std::int64_t kCodeCaptcha = 87001;
  static constexpr std::int64_t kCodeInvalidArgument = -100;
  static constexpr std::int64_t kCodeNoServiceToken = -102;
  static constexpr std::int64_t kCodeTokenExpired = -103;
  static constexpr std::int64_t kCodeUnknownPath = -2000;
  static constexpr std::int64_t kCodeNeedRelogin = -2001;
  static constexpr std::int64_t kCodeNoUserId = -2002;
  static constexpr std::int64_t kCodeNoPassToken = -2003;
  static constexpr std::int64_t kCodeUserCancelled = -2004;
  static constexpr std::int64_t kCodeVerifyInWebPage = -2005;

  static constexpr const char* kSdkVersion = "iOS-0.1.8";
  static constexpr const char* kSSOSid = "oauth2.0";
  static constexpr const char* kSSOScheme = "kopassportsso";
  static constexpr const char* kCaptchaImageKey = "captImage";

  using RequestPtr = std::shared_ptr<QBPassportRequest>;
  using RequestDelegatePtr = std::shared_ptr<QBPassportRequestDelegate>;
  using Params = QBPassportRequest::Params;

  static std::shared_ptr<QBLoginPassport> create(std::optional<std::string> userId,
                                                 std::optional<std::string> sid,
                                                 const std::weak_ptr<KPSessionDelegate>& delegate);
  QBLoginPassport(std::optional<std::string> userId, std::optional<std::string> sid,
                  const std::weak_ptr<KPSessionDelegate>& delegate);

  // --- request builders -----------------------------------------------------

  // A request to `url` (a path gets the account domain in front), encrypted
  // with `coder` and signed with the session's security key when they are
  // present. Null after notifyTokenExpired when a signature is demanded and
  // the session has no security key.
  RequestPtr makeRequestButDontConnectWithURL(const std::string& url, std::optional<Params> params,
                                              std::optional<QBPassportRequest::Cookies> cookies,
                                              const std::string& httpMethod,
                                              const RequestDelegatePtr& delegate, bool needSignature,
                                              std::shared_ptr<KPEnDecryptCoder> coder);
  // The same, connected.
  RequestPtr requestWithURL(const std::string& url, std::optional<Params> params,
                            std::optional<QBPassportRequest::Cookies> cookies,
                            const std::string& httpMethod, const RequestDelegatePtr& delegate,
                            bool needSignature, std::shared_ptr<KPEnDecryptCoder> coder);
  // A service's own call with the "userId" and "serviceToken" cookies; null
  // after notifyTokenExpired when the session is not valid.
  RequestPtr requestWithURL(const std::string& url, std::optional<Params> params,
                            const std::string& httpMethod, const RequestDelegatePtr& delegate,
                            bool needSignature, std::shared_ptr<KPEnDecryptCoder> coder);
  std::optional<std::string> generateSignatureWithMethod(const std::optional<std::string>& method,
                                                         const std::optional<std::string>& requestUrl,
                                                         const Params& params) const;

  // --- logins -----------------------------------------------------------------

  // Logs in again with the stored pass token (without one: -103 "Token
  // expired" to passportPassSessionInvalidOrExpired).
  virtual void reLogin();
  void loginWithPassword(const std::string& password, bool encryptedOrNot);
  void loginWithPassword(const std::string& password, bool encryptedOrNot,
                         const std::optional<std::string>& verifyCode);
  // The service-login step: `block` gets an error value of code 0 with the
  // login reply, or the failure (70016 with the login page's values).
  void doReloginUsingBlock(Completion block);
  void doLoginWithPassword(const std::string& password, bool encryptedOrNot,
                           const std::optional<std::string>& verifyCode);
  std::optional<Params> makeLoginRequestParamWithPassword(const std::optional<std::string>& password,
                                                          bool encryptedOrNot,
                                                          const std::optional<std::string>& verifyCode);
  void checkOTPCode(const std::string& code, bool trustOrNot);
  void sendPhoneTicket();
  void verifyPhoneTicket(const std::string& ticket, bool trustOrNot);
  void showLoginWebView();
  void showLoginWebViewWithURL(const std::string& url, const platform::Json& authParams);
  // A "kopassportsso" URL of another app asking for single sign-on. Always
  // true.
  bool handleOpenURL(const std::string& url);

  void failWithError(const platform::Error& error);
  void notifyTokenExpired(const RequestDelegatePtr& requestDelegate);

  // --- CA logins (QBLoginPassportCA.cpp) --------------------------------------
  // The same steps sent the CA way (QBPassportCARequest) to the CA login
  // host, whose replies are handled like the plain ones.

  // reLogin with the service-login step "/pass/serviceLoginCA".
  void reLoginCA();
  void doReloginCAUsingBlock(Completion block);
  // The password step "/pass/serviceLoginAuth2CA" at once (no login page is
  // fetched and the session is not signed out first). When it fails with
  // any code but 70016 (or a captcha request), the plain loginWithPassword
  // runs with the same values.
  void loginWithPasswordCA(const std::string& password, bool encryptedOrNot,
                           const std::optional<std::string>& verifyCode);
  // Base URL of the CA login host (plain HTTP).
  static std::string caLoginDomain();

  // --- core user information (QBLoginPassportCoreInfo.cpp) --------------------
  // The user's core profile from the account service's user API, under the
  // service id "passportapi": a session for it is derived from this one,
  // gets a service token (logging in again with the pass token when it has
  // none), sends one signed and encrypted GET, and retries once after a 401.

  static constexpr const char* kCoreInfoSid = "passportapi";
  static constexpr const char* kCoreInfoPath = "/pass/v2/safe/user/coreInfo";
  using CoreInfoSuccess = std::function<void(const KPUserCoreInfo& info)>;
  using CoreInfoFailure = std::function<void(const platform::Error& error)>;
  using CoreInfoParser = std::function<platform::Result<KPUserCoreInfo>(const platform::Json& reply)>;

  // startFetchCoreInfo with a derived session.
  void startFetchCoreInfo(CoreInfoSuccess success, CoreInfoFailure fail);
  // Returns at once. At most one callback runs, posted to the working
  // session's delegate queue (the main queue when none); an empty callback
  // is not run. With newPassportInstance the work runs on a session derived
  // for "passportapi", else on this one (whose session delegate it then
  // replaces).
  void startFetchCoreInfo(CoreInfoSuccess success, CoreInfoFailure fail, bool newPassportInstance);
  // A new session of this user for `sid` with this one's pass token,
  // encrypted user id and delegate queue, and - for the same sid only - its
  // service token and security key. No session delegate.
  std::shared_ptr<QBLoginPassport> partialCopyWithSid(const std::string& sid) const;
  // A callback that posts `block` with its argument to `queue` (the main
  // queue when null); an empty block logs "block is null..." when called.
  static CoreInfoSuccess joinBlockAndQueue(CoreInfoSuccess block,
                                           std::shared_ptr<platform::DispatchQueue> queue);
  static CoreInfoFailure joinFailBlockAndQueue(CoreInfoFailure block,
                                               std::shared_ptr<platform::DispatchQueue> queue);
  // The consumer that sends the core-information GET with `delegate`.
  static ServiceTokenConsumer getBlockToVisitCoreInfo(RequestDelegatePtr delegate);
  // KPUserCoreInfo::parseReply.
  static CoreInfoParser getBlockToParseCoreInfo();

  // --- replies ----------------------------------------------------------------

  // A reply that completes a login step.
  void handlePassportLoginRequest(const platform::Json& reply, bool allowUI);
  // Takes the login data out of a reply and starts the service-token step;
  // the status: an error of code 0 a further step is under way, 1 logged in
  // without a service token, success a page is shown, else the failure.
  platform::Status processPassportLoginResponse(const platform::Json& reply, bool allowUI);
  // A sid other than "" and "passport".
  bool needFetchServiceToken() const;
  bool isUrlForServiceToken(const std::string& url) const;
  // "EEE, dd MMM yyyy HH:mm:ss zzz" (an HTTP date); nullopt when unparsable.
  static std::optional<platform::Clock::TimePoint> dateFromString(const std::string& text);
  void dispatchPassportDidLoginMessage();
  void dispatchPassportWillShowWebviewMessage();

  // --- web login --------------------------------------------------------------

  // Posts passportWillShowWebView, then makes and shows the web screen on
  // the main thread.
  void showWebViewControllerWithURL(const std::string& url, const platform::Json& authParams,
                                    const QBPassportRequest::Cookies& cookies,
                                    const std::optional<std::string>& redirectURI);
  void webViewController(KPWebViewController& controller, const platform::Json& info) override;
  void webViewController(KPWebViewController& controller, const platform::Error& error) override;
  void webViewControllerDidCancel(KPWebViewController& controller) override;

  // The account service's release base URL (https in production) and the
  // parent cookie domain of its hosts (leading dot).
  static std::string releaseAccountDomain();
  static std::string accountCookieDomain();

 private:
  std::shared_ptr<QBLoginPassport> self();
  // The relogin: -103 without a pass token, else `step` with the
  // continuation of a relogin.
  void reLoginUsing(void (QBLoginPassport::*step)(Completion));
  // The session's callback URL, else the one of the login page in progress
  // (a web login opened before any login knows only the latter).
  std::string loginCallback() const;
  // The continuation of a service-login step: 70016 with the login page's
  // values stores them and runs `onLoginPage` (when given); code 0 (the pass
  // token was accepted) is the login reply, handled with `allowUI`;
  // anything else ends the login with that error.
  Completion afterServiceLoginStep(bool allowUI, std::function<void(QBLoginPassport&)> onLoginPage);
  // Opens the web login at once when the callback URL is known, else after
  // the service-login step has fetched the login page's values.
  void openWebLogin(std::function<void(QBLoginPassport&)> open);
  // "sid", "qs", "_sign" and "callback" of a reply into the login metadata
  // (an absent value as none).
  void storeLoginPageValues(const platform::Json& reply);
  // The "userId" and "serviceToken" cookies for the account cookie domain,
  // path "/"; a value that is missing or cannot form a cookie is left out.
  static QBPassportRequest::Cookies accountCookies(const std::optional<std::string>& userId,
                                                   const std::optional<std::string>& serviceToken);
  platform::Error makeError(std::int64_t code, platform::Json userInfo = nullptr) const;

  // Request delegate side.
  void onRequestLoading(const RequestPtr& request);
  void onResponse(const RequestPtr& request, const platform::http::Response& response);
  void onLoad(const RequestPtr& request, const platform::Json& reply);
  void onFailure(const RequestPtr& request, const platform::Error& error);
  // One request of a login step, to a path of the account service or a full
  // URL, with this session as its delegate, unsigned and unencrypted.
  void sendStep(const std::string& url, const std::string& httpMethod, std::optional<Params> params);
  // Follows a verification hop: GET "<location>&_json=true".
  void followVerification(const platform::Json& location, const char* logText);
  platform::Error withCaptchaImage(const platform::Error& error);
  // Whether a status of 400 or above already ended this request.
  bool endedByStatus(const RequestPtr& request);

  // What a login reply brings. The session takes it only together with the
  // new service token of the step the reply starts (at once when the
  // service needs no token), so a step that fails or brings no token leaves
  // the session as it was: never a new security key beside an old token.
  struct LoginValues {
    std::string passToken;
    std::string userId;
    std::int64_t nonce = 0;
    std::optional<std::string> sSecurity;
  };
  // One service-token request on its way.
  struct TokenStep {
    std::optional<LoginValues> login;  // none for the web login's cookie hand-back
    // The store's "serviceToken" for the URL when the request went out: a
    // value still equal to it afterwards is not this step's token.
    std::optional<std::string> storedTokenBefore;
    std::optional<std::string> serviceToken;  // from the reply's cookies
    std::optional<std::string> cUserId;
  };
  void commitLoginValues(const LoginValues& values);
  // Connects a service-token request, remembering its step.
  void connectTokenStep(const RequestPtr& request, std::optional<LoginValues> login);
  // The step of a service-token request; a request not begun here (a
  // verification hop that lands on the token URL) gets one that brings no
  // login values and must bring a token other than the session's.
  TokenStep& tokenStepLocked(const RequestPtr& request);
  void onServiceTokenLoad(const RequestPtr& request, const platform::Json& reply);
  // The reply's "userId" as text (a number in decimal); nullopt when absent.
  static std::optional<std::string> userIdOfReply(const platform::Json& reply);
  // A login reply that names a user other than the session's (a session
  // without a user takes any).
  bool isReplyForAnotherUser(const platform::Json& reply) const;

  // Session delegate side (for the single sign-on session).
  void onSSOPassportDidLogin(const PassportPtr& passport);
  void onSSOPassportFailed(const PassportPtr& passport, const platform::Error& error);

  // Posts a session-delegate message: only when the delegate is alive and
  // answers it; the delegate is read again when the message runs.
  template <class Hook, class... Args>
  void deliver(Hook KPSessionDelegate::*hook, Args... args);
  void post(std::function<void()> work);

  using RequestKey = std::weak_ptr<QBPassportRequest>;
  using RequestOrder = std::owner_less<RequestKey>;
  // Guards endedByStatus_ and tokenSteps_; expired requests are pruned as
  // new ones are added.
  std::mutex requestsMutex_;
  std::set<RequestKey, RequestOrder> endedByStatus_;
  std::map<RequestKey, TokenStep, RequestOrder> tokenSteps_;
};

template <class Hook, class... Args>
void QBLoginPassport::deliver(Hook KPSessionDelegate::*hook, Args... args) {
  auto delegate = sessionDelegate();
  if (!delegate || !((*delegate).*hook)) return;
  std::weak_ptr<QBPassport> weakSelf = weak_from_this();
  post([weakSelf, hook, args...] {
    auto passport = weakSelf.lock();
    if (!passport) return;
    auto current = passport->sessionDelegate();
    if (current && ((*current).*hook)) ((*current).*hook)(args...);
  });
}

}  // namespace lumora
