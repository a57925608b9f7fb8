// The logging-in session without a server: argument checks, the login
// parameters, reply processing, single sign-on parsing and the web login's
// hand-back. Requests that do go out meet a closed port.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "account/KPWebViewController.h"
#include "account/LoginTestSupport.h"
#include "account/QBLoginPassport.h"
#include "account/QBPassportRequestMemoryHolder.h"
#include "platform/app/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/CookieStorage.h"
#include "platform/http/UrlError.h"
#include "platform/http/UrlProtocol.h"

namespace {

using lumora::QBLoginPassport;
using platform::Json;
using platform::MainQueue;

constexpr const char* kBase = "http://127.0.0.1:1";

class LoginPassportTest : public logintest::LoginTest {
 protected:
  void SetUp() override { startClean(kBase); }
  void TearDown() override { finishClean(); }

  std::shared_ptr<QBLoginPassport> make(std::string sid = "lumora") {
    return QBLoginPassport::create(std::string("10001"), sid, recorder);
  }
  std::vector<std::string> pumped() {
    MainQueue::main().runUntilIdle();
    return recorder->messages;
  }
  static std::shared_ptr<lumora::KPWebViewController> webScreen() { return logintest::shownWebScreen(); }
  static std::shared_ptr<lumora::KPWebViewController> anyScreen() {
    return lumora::KPWebViewController::create("https://x", nullptr, {}, std::nullopt, {});
  }
  static void setSharedCookie(const std::string& name, const std::string& value) {
    platform::http::Cookie cookie;
    cookie.name = name;
    cookie.value = value;
    cookie.domain = "127.0.0.1";
    platform::http::CookieStorage::shared().setCookie(cookie);
  }

  std::shared_ptr<logintest::SessionRecorder> recorder = std::make_shared<logintest::SessionRecorder>();
};

TEST_F(LoginPassportTest, ArgumentFailuresArePostedAndSendNothing) {
  auto passport = make();
  passport->loginWithPassword("", false);
  passport->checkOTPCode("123456", true);  // no login page values yet
  passport->showLoginWebViewWithURL("", Json::object());
  passport->reLogin();  // no pass token
  EXPECT_TRUE(recorder->messages.empty());  // never sent synchronously
  EXPECT_EQ(lumora::QBPassportRequestMemoryHolder::count(), 0u);
  EXPECT_EQ(pumped(), (std::vector<std::string>{"failed -100", "failed -100", "failed -100", "expired -103"}));
  EXPECT_EQ(recorder->errors.back().domain(), "QBPassportErrorDomain");
  EXPECT_EQ(recorder->errors.back().userInfo()[platform::Error::kLocalizedDescriptionKey], "Token expired");
}

TEST_F(LoginPassportTest, SignedCallsNeedAValidSessionAndASecurityKey) {
  auto passport = make();
  struct RequestRecorder : lumora::QBPassportRequestDelegate {
    RequestRecorder() {
      requestDidFailWithError = [this](const RequestPtr& request, const platform::Error& e) {
        failures.push_back(e.code());
        withRequest = withRequest || request != nullptr;
      };
    }
    std::vector<std::int64_t> failures;
    bool withRequest = false;
  };
  auto requestDelegate = std::make_shared<RequestRecorder>();
  EXPECT_EQ(passport->requestWithURL("/x", std::nullopt, "GET", requestDelegate, false, nullptr), nullptr);
  passport->setPassToken(std::string("p"));
  passport->setServiceToken(std::string("s"));
  EXPECT_EQ(passport->makeRequestButDontConnectWithURL("/x", std::nullopt, std::nullopt, "GET",
                                                       requestDelegate, true, nullptr),
            nullptr);
  EXPECT_EQ(pumped(), (std::vector<std::string>{"expired -103", "expired -103"}));
  EXPECT_EQ(requestDelegate->failures, (std::vector<std::int64_t>{-103, -103}));
  EXPECT_FALSE(requestDelegate->withRequest);

  passport->setSSecurity(std::string("key"));
  auto request = passport->makeRequestButDontConnectWithURL("/pass/serviceLogin", std::nullopt,
                                                            std::nullopt, "GET", requestDelegate, true,
                                                            nullptr);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->url(), std::string(kBase) + "/pass/serviceLogin");
  EXPECT_TRUE(request->params()->count("signature"));
  auto full = passport->makeRequestButDontConnectWithURL("https://other/y", std::nullopt, std::nullopt,
                                                         "GET", requestDelegate, false, nullptr);
  EXPECT_EQ(full->url(), "https://other/y");
}

TEST_F(LoginPassportTest, LoginParametersFollowTheFlags) {
  auto passport = make();
  passport->resetLoginRuntimeMetaData();
  auto plain = passport->makeLoginRequestParamWithPassword(std::string("pw"), false, std::string(""));
  ASSERT_TRUE(plain.has_value());
  EXPECT_TRUE(plain->count("pwd"));
  EXPECT_FALSE(plain->count("hash"));
  EXPECT_FALSE(plain->count("captCode"));  // an empty code is not sent
  EXPECT_FALSE(plain->count("serviceParam"));
  EXPECT_FALSE(plain->count("qs"));
  EXPECT_EQ(std::get<std::string>(plain->at("sid")), "lumora");
  EXPECT_EQ(std::get<std::string>(plain->at("_json")), "true");

  passport->setNeedVerifyPhone(true);
  passport->loginRuntimeMetaData().updateWithSid(std::string("lumora"), std::string("q"),
                                                 std::string("s"), std::string("cb"));
  auto hashed = passport->makeLoginRequestParamWithPassword(std::string("ABC"), true, std::string("7k"));
  EXPECT_EQ(std::get<std::string>(hashed->at("hash")), "ABC");
  EXPECT_FALSE(hashed->count("pwd"));
  EXPECT_EQ(std::get<std::string>(hashed->at("captCode")), "7k");
  EXPECT_EQ(std::get<std::string>(hashed->at("serviceParam")), "{\"checkSafePhone\":true}");
  EXPECT_EQ(std::get<std::string>(hashed->at("_sign")), "s");

  EXPECT_FALSE(passport->makeLoginRequestParamWithPassword(std::nullopt, false, std::nullopt));
}

TEST_F(LoginPassportTest, RepliesWithoutWhatTheNextStepNeedsEndTheLogin) {
  auto passport = make();
  passport->handlePassportLoginRequest(Json("plain text"), true);
  passport->handlePassportLoginRequest(Json::object(), true);
  passport->handlePassportLoginRequest(Json{{"code", 0}}, true);  // no location
  passport->handlePassportLoginRequest(Json{{"location", "/sts"}, {"userId", 1}}, true);  // no pass token
  passport->handlePassportLoginRequest(Json{{"location", "/sts"}, {"passToken", "p"}}, true);  // no user
  EXPECT_EQ(pumped(), (std::vector<std::string>(5, "failed 10003")));
}

TEST_F(LoginPassportTest, VerificationPageIsShownOnlyWhenUIIsAllowed) {
  auto passport = make();
  Json reply{{"notificationUrl", "/pass/notification?t=1"}, {"phone", "138******78"}};
  passport->handlePassportLoginRequest(reply, false);
  ASSERT_EQ(pumped(), std::vector<std::string>{"failed -2005"});
  EXPECT_EQ(recorder->errors[0].userInfo(),
            (Json{{"notificationFullUrl", std::string(kBase) + "/pass/notification?t=1"}}));
  EXPECT_EQ(webScreen(), nullptr);
  EXPECT_EQ(passport->maskedPhone(), "138******78");

  recorder->messages.clear();
  passport->handlePassportLoginRequest(
      Json{{"notificationUrl", std::string(kBase) + "/pass/notification?t=2"}}, true);
  EXPECT_EQ(pumped(), std::vector<std::string>{"webview"});  // the login waits for the page
  ASSERT_NE(webScreen(), nullptr);
  EXPECT_EQ(webScreen()->webView()->request()->url, std::string(kBase) + "/pass/notification?t=2");
}

TEST_F(LoginPassportTest, LoginReplyForThePassportSidEndsWithoutAServiceTokenStep) {
  auto passport = make("passport");
  Json reply{{"Location", ""}, {"location", "/sts?sid=passport"}, {"passToken", "pt"},
             {"userId", 12345}, {"nonce", 77}, {"ssecurity", "sec"}, {"callback", "http://cb/sts"}};
  passport->handlePassportLoginRequest(reply, true);
  EXPECT_EQ(pumped(), std::vector<std::string>{"login"});
  EXPECT_EQ(lumora::QBPassportRequestMemoryHolder::count(), 0u);
  EXPECT_EQ(passport->userId(), "12345");
  EXPECT_EQ(passport->passToken(), "pt");
  EXPECT_EQ(passport->nonce(), 77);
  EXPECT_EQ(passport->sSecurity(), "sec");
  EXPECT_EQ(passport->callbackUrl(), "http://cb/sts");
  EXPECT_EQ(passport->serviceTokenUrl(), std::string(kBase) + "/sts?sid=passport");
  EXPECT_TRUE(passport->isUrlForServiceToken("http://cb/sts?x=1"));
  EXPECT_TRUE(passport->isUrlForServiceToken(std::string(kBase) + "/sts?sid=passport&clientSign=1"));
  EXPECT_FALSE(passport->isUrlForServiceToken(std::string(kBase) + "/pass/serviceLogin"));
}

TEST_F(LoginPassportTest, AStatusOf400OrAboveEndsTheStepOnceWhicheverHookHearsOfIt) {
  // The head of the reply ends the login; the transport then reports the
  // same status as a failed exchange (or the body, or a broken connection):
  // none of those may end it a second time.
  auto passport = make();
  int continuations = 0;
  passport->setBlockAfterRequest([&](const platform::Error&) { ++continuations; });
  passport->setServiceTokenUrl(std::string(kBase) + "/sts?sid=lumora");
  auto head = [](int status) { return platform::http::Response(std::string(kBase) + "/x", status, {}); };
  auto step = [&](const std::string& url) {
    return passport->makeRequestButDontConnectWithURL(url, std::nullopt, std::nullopt, "GET", passport,
                                                      false, nullptr);
  };

  auto password = step("/pass/serviceLoginAuth2");
  passport->requestDidReceiveResponse(password, head(503));
  passport->requestDidFailWithError(password, platform::Error("QBPassportErrorDomain", 503, Json{{"code", 503}}));
  auto relogin = step("/pass/serviceLogin");
  passport->requestDidReceiveResponse(relogin, head(401));
  passport->requestDidFailWithError(relogin, platform::Error("QBPassportErrorDomain", 401));
  auto token = step(std::string(kBase) + "/sts?sid=lumora&clientSign=x");
  passport->requestDidReceiveResponse(token, head(500));
  passport->requestDidLoad(token, Json("Internal Server Error"));
  passport->requestDidFailWithError(token, platform::Error("NSURLErrorDomain", -1005));
  EXPECT_EQ(pumped(), (std::vector<std::string>{"failed 503", "failed 401", "failed 500"}));
  EXPECT_EQ(continuations, 0);

  // A request whose head was fine still has its failure reported.
  recorder->messages.clear();
  auto fine = step("/pass/serviceLoginAuth2");
  passport->requestDidReceiveResponse(fine, head(200));
  passport->requestDidFailWithError(fine, platform::Error("QBPassportErrorDomain", 70016, Json{{"code", 70016}}));
  EXPECT_EQ(pumped(), std::vector<std::string>{"failed 70016"});
}

TEST_F(LoginPassportTest, HttpDatesParse) {
  auto date = QBLoginPassport::dateFromString("Tue, 15 Nov 1994 08:12:31 GMT");
  ASSERT_TRUE(date.has_value());
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(date->time_since_epoch()).count(), 784887151);
  auto shifted = QBLoginPassport::dateFromString("Tue, 15 Nov 1994 10:12:31 GMT+02:00");
  EXPECT_EQ(shifted, date);
  // Beyond what a time point holds: clamped, not wrapped into the past.
  auto far = QBLoginPassport::dateFromString("Fri, 31 Dec 9999 23:59:59 GMT");
  ASSERT_TRUE(far.has_value());
  EXPECT_GT(*far, platform::Clock::TimePoint() + std::chrono::hours(24 * 365 * 290));
  EXPECT_FALSE(QBLoginPassport::dateFromString("yesterday").has_value());
  EXPECT_FALSE(QBLoginPassport::dateFromString("Tue, 15 Nov 1994 08:12:31 XYZ").has_value());
}

TEST_F(LoginPassportTest, SingleSignOnParsesTheQueryAndOpensTheAuthorisationPage) {
  auto passport = make();
  EXPECT_TRUE(passport->handleOpenURL(
      "kopassportsso://sso?client_id=7&bad=a=b&redirect_uri=app%3A%2F%2Fback&callback_scheme=caller"));
  EXPECT_TRUE(passport->isSSO());
  auto params = passport->ssoParams();
  ASSERT_TRUE(params.has_value());
  EXPECT_EQ(*params, (std::map<std::string, std::string>{
                         {"client_id", "7"}, {"redirect_uri", "app://back"}, {"callback_scheme", "caller"}}));
  EXPECT_EQ(pumped(), std::vector<std::string>{"webview"});
  auto screen = webScreen();
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(screen->serverURL(), std::string(kBase) + "/oauth2/authorize");
  EXPECT_EQ(screen->appRedirectURI(), "app://back");

  // The page redirects to the app: the hand-back goes to the caller, with
  // the fragment preferred over the query.
  auto& app = platform::Application::shared();
  app.registerURLScheme("caller");
  EXPECT_FALSE(screen->webView()->navigate("app://back?code=1#token=2"));
  EXPECT_EQ(app.openedURLs(), std::vector<std::string>{"caller://authorize?token=2"});
  EXPECT_FALSE(passport->isSSO());
  EXPECT_EQ(pumped(), std::vector<std::string>{"webview"});  // no session message
}

TEST_F(LoginPassportTest, SingleSignOnCancelAndAnEmptyResult) {
  auto passport = make();
  auto& app = platform::Application::shared();
  app.registerURLScheme("caller");
  passport->setSsoParams(std::map<std::string, std::string>{{"callback_scheme", "caller"}});
  passport->setIsSSO(true);
  auto screen = anyScreen();
  passport->webViewController(*screen, Json::object());
  passport->setIsSSO(true);
  passport->webViewControllerDidCancel(*screen);
  EXPECT_EQ(app.openedURLs(), (std::vector<std::string>{
                                  "caller://authorize?", "caller://authorize?sso_error_user_cancelled=true"}));
  EXPECT_EQ(pumped(), std::vector<std::string>{"failed -2004"});
}

TEST_F(LoginPassportTest, WebLoginHandBacks) {
  auto passport = make();
  auto screen = anyScreen();
  passport->setPassToken(std::string("old"));
  passport->webViewController(*screen, Json{{"passInfo", "need-relogin"}});
  EXPECT_FALSE(passport->passToken().has_value());
  passport->webViewController(*screen, Json{{"passInfo", "login-end"}, {"passToken", "p"}});
  passport->webViewController(*screen, Json{{"passInfo", "login-end"}, {"userId", "9"}});
  EXPECT_EQ(passport->userId(), "10001");  // nothing stored
  passport->webViewController(*screen, platform::Error("WebKit", 102));
  passport->webViewControllerDidCancel(*screen);
  EXPECT_EQ(pumped(), (std::vector<std::string>{"failed -2001", "failed -2002", "failed -2003",
                                                "failed 102", "failed -2004"}));
  EXPECT_TRUE(platform::Application::shared().openedURLs().empty());

  // The page set the cookies itself, but only the user id.
  recorder->messages.clear();
  setSharedCookie("userId", "4242");
  Json info{{"url", std::string(kBase) + "/sts"}};
  passport->webViewController(*screen, info);
  EXPECT_EQ(pumped(), std::vector<std::string>{"failed -100"});
  EXPECT_EQ(recorder->errors.back().userInfo(), info);
  EXPECT_EQ(passport->userId(), "4242");

  // "login-end" for the sid "passport" needs no service token.
  recorder->messages.clear();
  auto plain = make("passport");
  plain->webViewController(*screen, Json{{"passInfo", "login-end"}, {"userId", "5"}, {"passToken", "p5"},
                                         {"cUserId", "c5"}});
  EXPECT_EQ(pumped(), std::vector<std::string>{"login"});
  EXPECT_EQ(plain->cUserId(), "c5");
}

TEST_F(LoginPassportTest, AReloginKeepsTheUIFlagItStartedWith) {
  auto passport = make();
  passport->setPassToken(std::string("p"));
  passport->setAllowUIDuringReLogin(false);  // as a background relogin does
  passport->reLogin();
  passport->setAllowUIDuringReLogin(true);
  auto pending = passport->blockAfterRequest();
  ASSERT_TRUE(pending);
  // The service-login reply asks for a verification page.
  pending(platform::Error("QBPassportErrorDomain", 0,
                          Json{{"notificationUrl", "/pass/notification?t=3"}}));
  logintest::drainExchanges();
  auto messages = pumped();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "failed -2005"), messages.end());
  EXPECT_EQ(std::find(messages.begin(), messages.end(), "webview"), messages.end());
  EXPECT_EQ(webScreen(), nullptr);
}

// The login reply that a pass-token cookie of account 10001 brings to a
// service-login step.
Json replyOfAccount10001() {
  return Json{{"code", 0},          {"userId", 10001},  {"passToken", "their-pass"},
              {"ssecurity", "their-key"}, {"nonce", 5}, {"location", "/sts?sid=passport"},
              {"sid", "passport"},  {"qs", "q"},        {"_sign", "s"},
              {"callback", std::string(kBase) + "/sts?sid=passport"}};
}

// Holds the requests to the closed port until the test lets one go, which
// then fails as the port would: a step's real reply cannot reach the step
// before the test has taken its continuation.
class HeldRequests {
 public:
  HeldRequests()
      : gate_(std::make_shared<Gate>()), class_(std::make_shared<platform::http::UrlProtocolClass>()) {
    class_->canInitWithRequest = [](const platform::http::Request& request) {
      return request.url.rfind(kBase, 0) == 0;
    };
    class_->make = [gate = gate_](const platform::http::Request& request) {
      return std::make_unique<Held>(gate, request.url);
    };
    platform::http::registerClass(class_);
  }
  ~HeldRequests() {
    letGo(1 << 20);
    platform::http::unregisterClass(class_);
  }
  void letGo(int count) {
    {
      std::lock_guard<std::mutex> guard(gate_->mutex);
      gate_->open += count;
    }
    gate_->changed.notify_all();
  }

 private:
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int open = 0;
  };
  class Held final : public platform::http::UrlProtocol {
   public:
    Held(std::shared_ptr<Gate> gate, std::string url) : gate_(std::move(gate)), url_(std::move(url)) {}
    platform::Status startLoading(platform::http::UrlProtocolClient&, const std::atomic<bool>*) override {
      std::unique_lock<std::mutex> lock(gate_->mutex);
      gate_->changed.wait(lock, [this] { return gate_->open > 0; });
      --gate_->open;
      return platform::http::makeUrlError(platform::http::kUrlErrorCannotConnectToHost, url_);
    }
    void stopLoading() override {}

   private:
    std::shared_ptr<Gate> gate_;
    std::string url_;
  };
  std::shared_ptr<Gate> gate_;
  std::shared_ptr<platform::http::UrlProtocolClass> class_;
};

// The continuation of the service-login step that `passport` has just sent
// (held in `held`); the real request then ends without reaching it.
lumora::QBPassport::Completion pendingStep(QBLoginPassport& passport, HeldRequests& held) {
  auto pending = passport.blockAfterRequest();
  passport.setBlockAfterRequest([](const platform::Error&) {});
  held.letGo(1);
  logintest::drainExchanges();
  return pending;
}

TEST_F(LoginPassportTest, APassTokenOfAnotherAccountIsALoginStillToBeDone) {
  HeldRequests held;
  // A relogin of 10002 fails as the service's "login needed", and keeps
  // nothing of the reply but the login page's values.
  auto relogin = QBLoginPassport::create(std::string("10002"), std::string("passport"), recorder);
  relogin->setPassToken(std::string("mine"));
  relogin->reLogin();
  pendingStep(*relogin, held)(platform::Error("QBPassportErrorDomain", 0, replyOfAccount10001()));
  ASSERT_EQ(pumped(), std::vector<std::string>{"failed 70016"});
  EXPECT_EQ(recorder->errors.back().userInfo(),
            (Json{{"sid", "passport"}, {"qs", "q"}, {"_sign", "s"},
                  {"callback", std::string(kBase) + "/sts?sid=passport"}}));
  EXPECT_EQ(relogin->userId(), "10002");
  EXPECT_EQ(relogin->passToken(), "mine");
  EXPECT_FALSE(relogin->sSecurity().has_value());

  // The web login of 10002 shows its login page.
  recorder->clear();
  auto web = QBLoginPassport::create(std::string("10002"), std::string("passport"), recorder);
  web->showLoginWebView();
  pendingStep(*web, held)(platform::Error("QBPassportErrorDomain", 0, replyOfAccount10001()));
  EXPECT_EQ(pumped(), std::vector<std::string>{"webview"});
  ASSERT_NE(webScreen(), nullptr);
  EXPECT_EQ(webScreen()->serverURL(), std::string(kBase) + "/pass/serviceLogin");
  EXPECT_EQ(web->userId(), "10002");
  EXPECT_FALSE(web->passToken().has_value());
  webScreen()->hide();

  // A session that has no user yet takes the reply's.
  recorder->clear();
  auto anyone = QBLoginPassport::create(std::nullopt, std::string("passport"), recorder);
  anyone->setPassToken(std::string("their-pass"));
  anyone->reLogin();
  pendingStep(*anyone, held)(platform::Error("QBPassportErrorDomain", 0, replyOfAccount10001()));
  EXPECT_EQ(pumped(), std::vector<std::string>{"login"});
  EXPECT_EQ(anyone->userId(), "10001");
  EXPECT_EQ(anyone->sSecurity(), "their-key");
}

}  // namespace
