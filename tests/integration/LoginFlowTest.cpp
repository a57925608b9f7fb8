// Logins end to end against the local cloud over real HTTP: each path ends
// with exactly one session-delegate message within a deadline.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LocalCloudLoginTest.h"
#include "account/KPQBEnDecryptUtil.h"
#include "account/KPWebViewController.h"
#include "account/LoginTestSupport.h"
#include "account/QBLoginPassport.h"
#include "cloud/passport/QBPassportsManager.h"
#include "utils/ServiceHosts.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "server/CloudServer.h"
#include "platform/http/SynchronousReply.h"
#include "support/Sanitizers.h"

namespace {

using namespace std::chrono_literals;
using lumora::QBLoginPassport;
using lumora::QBPassportsManager;
using platform::MainQueue;

constexpr auto kDeadline = testsupport::scaled(20s);
constexpr const char* kSid = "lumora";

class LoginFlowTest : public logintest::LocalCloudLoginTest {
 protected:
  static void drain() { logintest::drainExchanges(); }

  // Pumps the main queue until `recorder` has `n` end messages, then drains.
  std::vector<std::string> waitForEnds(logintest::SessionRecorder& recorder, std::size_t n = 1) {
    bool reached = MainQueue::main().runUntil([&] { return recorder.ends().size() >= n; }, kDeadline);
    EXPECT_TRUE(reached) << "no end message within the deadline";
    drain();
    return recorder.ends();
  }

  void seed(std::int64_t userId, const std::string& name, const std::string& password,
            localcloud::AccountOptions options = {}) {
    std::string error;
    ASSERT_TRUE(server_->seedAccount(userId, name, password, options, &error)) << error;
  }

  std::shared_ptr<QBLoginPassport> makePassport(const std::string& user) {
    return QBLoginPassport::create(user, std::string(kSid), recorder_);
  }

  std::vector<std::string> ends(std::size_t n = 1) { return waitForEnds(*recorder_, n); }

  static std::shared_ptr<lumora::KPWebViewController> shownWebScreen() {
    return logintest::shownWebScreen();
  }

  std::shared_ptr<logintest::SessionRecorder> recorder_ = std::make_shared<logintest::SessionRecorder>();
};

TEST_F(LoginFlowTest, PasswordLoginReachesAServiceTokenBoundToTheSecurityKey) {
  seed(10001, "alice", "secret");
  auto passport = makePassport("alice");
  passport->loginWithPassword("secret", false);

  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_EQ(passport->userId(), "10001");
  ASSERT_TRUE(passport->isSessionValid());
  ASSERT_TRUE(passport->sSecurity().has_value());
  auto grant = server_->store().lookupServiceToken(*passport->serviceToken());
  ASSERT_TRUE(grant.has_value());
  EXPECT_EQ(grant->userId, 10001);
  EXPECT_EQ(grant->serviceId, kSid);
  EXPECT_EQ(grant->ssecurity, *passport->sSecurity());
  EXPECT_TRUE(passport->serverDate().has_value());
}

TEST_F(LoginFlowTest, HashedPasswordAndEncryptedUserIdLogIn) {
  seed(10002, "bob", "pa ss&word");
  auto passport = makePassport("bob");
  passport->setUserIdNeedEncrypt(true);
  auto hash = lumora::KPQBEnDecryptUtil::md5String("pa ss&word");
  ASSERT_TRUE(hash.has_value());
  passport->loginWithPassword(*hash, true);

  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_TRUE(passport->isSessionValid());
  EXPECT_TRUE(passport->cUserId().has_value());
  EXPECT_NE(passport->serviceTokenUrl()->find("&_userIdNeedEncrypt=true"), std::string::npos);
}

TEST_F(LoginFlowTest, WrongPasswordAndUnknownUserEndOnceWithTheServerCode) {
  seed(10001, "alice", "secret");
  auto passport = makePassport("alice");
  passport->loginWithPassword("wrong", false);
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 70016"});
  EXPECT_FALSE(passport->isSessionValid());

  recorder_->clear();
  auto stranger = makePassport("nobody");
  stranger->loginWithPassword("secret", false);
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 20003"});
}

TEST_F(LoginFlowTest, CaptchaFirstAndAgainAfterAWrongCodeThenTheRightCode) {
  localcloud::AccountOptions options;
  options.needsCaptcha = true;
  seed(10003, "carol", "secret", options);
  auto passport = makePassport("carol");

  passport->loginWithPassword("secret", false);
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 87001"});
  auto info = recorder_->lastError.userInfo();
  ASSERT_TRUE(info.contains(QBLoginPassport::kCaptchaImageKey));
  EXPECT_TRUE(info[QBLoginPassport::kCaptchaImageKey].is_binary());
  EXPECT_TRUE(info.contains("captchaUrl"));

  recorder_->clear();
  passport->loginWithPassword("secret", false, std::string("WRONG"));
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 87001"});
  EXPECT_TRUE(recorder_->lastError.userInfo().contains(QBLoginPassport::kCaptchaImageKey));

  auto code = server_->captchaCode();
  ASSERT_TRUE(code.has_value());
  recorder_->clear();
  passport->loginWithPassword("secret", false, *code);
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_TRUE(passport->isSessionValid());
}

TEST_F(LoginFlowTest, TwoStepCodeWrongThenRight) {
  localcloud::AccountOptions options;
  options.needsTwoStep = true;
  options.twoStepCode = "246810";
  seed(10004, "dave", "secret", options);
  auto passport = makePassport("dave");

  passport->loginWithPassword("secret", false);
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 81003"});
  recorder_->clear();
  passport->checkOTPCode("000000", false);
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 81003"});
  recorder_->clear();
  passport->checkOTPCode("246810", true);
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_TRUE(passport->isSessionValid());
}

TEST_F(LoginFlowTest, PhoneVerificationShowsThePageThenTicketAndCodeLogIn) {
  localcloud::AccountOptions options;
  options.needsPhoneVerification = true;
  options.phone = "13812345678";
  seed(10005, "erin", "secret", options);
  auto passport = makePassport("erin");

  passport->loginWithPassword("secret", false);
  ASSERT_TRUE(MainQueue::main().runUntil([&] { return shownWebScreen() != nullptr; }, kDeadline));
  drain();
  EXPECT_EQ(recorder_->messages, std::vector<std::string>{"webview"});
  auto screen = shownWebScreen();
  ASSERT_TRUE(screen->webView()->request().has_value());
  EXPECT_EQ(screen->webView()->request()->url.rfind(server_->url() + "/pass/notification?t=", 0), 0u);
  EXPECT_EQ(passport->maskedPhone(), "138******78");

  passport->sendPhoneTicket();
  EXPECT_EQ(ends(), std::vector<std::string>{"ticket"});
  auto ticket = server_->phoneTicket("erin");
  ASSERT_TRUE(ticket.has_value());

  recorder_->clear();
  passport->verifyPhoneTicket("000000", true);
  // A wrong code comes back without a "location" to follow: the refusal
  // itself ends the step.
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 70014"});
  recorder_->clear();
  passport->verifyPhoneTicket(*ticket, true);
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_TRUE(passport->isSessionValid());
  screen->hide();
}

namespace {
// An account service on loopback that answers every GET with `answer` (given
// its own base URL) and records the targets asked for, in order.
class StandInAccountService {
 public:
  using Answer = std::function<void(const std::string& base, const httplib::Request&, httplib::Response&)>;

  explicit StandInAccountService(Answer answer) {
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_max_count(100);
    server_.Get(".*", [this, answer = std::move(answer)](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard lock(mutex_);
        targets_.push_back(req.target);
      }
      answer(url(), req, res);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is only heard once the accept loop runs: wait for it (bounded).
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (!server_.is_running() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  }
  ~StandInAccountService() {
    platform::http::closeIdleConnections();  // else stop() waits out keep-alive
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  bool listening() const { return port_ > 0; }
  std::vector<std::string> targets() const {
    std::lock_guard lock(mutex_);
    return targets_;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
};

// A fault for the next request only.
localcloud::Fault once(int status, bool drop = false) {
  localcloud::Fault fault;
  fault.status = status;
  fault.drop = drop;
  fault.times = 1;
  return fault;
}
}  // namespace

TEST_F(LoginFlowTest, HttpFailuresAndBrokenRepliesEndTheLoginExactlyOnce) {
  seed(10001, "alice", "secret");
  localcloud::AccountOptions blocked;
  blocked.blocked = true;
  seed(10006, "frank", "secret", blocked);

  // A status of 400 or above: one failure with the status, body ignored.
  server_->faults().set("/pass/serviceLoginAuth2", once(503));
  auto passport = makePassport("alice");
  passport->loginWithPassword("secret", false);
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 503"});

  recorder_->clear();
  makePassport("frank")->loginWithPassword("secret", false);
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 403"});

  // A reply that is text, not a JSON object: an error, not a silent stop.
  recorder_->clear();
  server_->faults().set("/pass/serviceLoginAuth2", once(200));
  passport->loginWithPassword("secret", false);
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 10003"});

  // A connection that drops: the transport error, once.
  recorder_->clear();
  server_->faults().set("/pass/serviceLoginAuth2", once(0, /*drop=*/true));
  passport->loginWithPassword("secret", false);
  auto dropped = ends();
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].rfind("failed -", 0), 0u) << dropped[0];
}

TEST_F(LoginFlowTest, HttpFailuresOfTheReloginAndServiceTokenStepsEndItOnce) {
  seed(10001, "alice", "secret");
  auto passport = makePassport("alice");
  passport->loginWithPassword("secret", false);
  ASSERT_EQ(ends(), std::vector<std::string>{"login"});

  // The service-login step of a relogin: its status ends the relogin, and
  // the pending continuation never runs on the body.
  recorder_->clear();
  server_->faults().set("/pass/serviceLogin", once(502));
  passport->reLogin();
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 502"});

  // The service-token step, with a coded body behind the status.
  recorder_->clear();
  localcloud::Fault refused = once(401);
  refused.code = 401;
  server_->faults().set("/sts", refused);
  passport->reLogin();
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 401"});

  recorder_->clear();
  passport->reLogin();
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
}

TEST_F(LoginFlowTest, RepliesAreRoutedByTheirPathAndVerificationHopsFollowed) {
  // Each reply is handed to the session as its connection would hand it;
  // the hops it follows go to a stand-in that answers "/sts" with a service
  // token and anything else with a bare success (a path no step knows).
  StandInAccountService service([](const std::string&, const httplib::Request& req,
                                   httplib::Response& res) {
    if (req.path == "/sts") res.set_header("Set-Cookie", "serviceToken=st; Path=/");
    res.set_content(R"({"code":0})", "application/json");
  });
  ASSERT_TRUE(service.listening());
  lumora::ServiceHosts::setAll(service.url());

  using platform::Error;
  using platform::Json;
  const char* domain = lumora::QBPassport::kErrorDomain;
  struct Case {
    const char* method;
    const char* path;
    Json reply;                    // handed over as loaded, unless there is
    std::optional<Error> failure;  // a failure to hand over instead
    std::vector<std::string> ends;
    std::vector<std::string> hops;  // beginnings of the targets asked for
  };
  const Json loginReply{{"code", 0},  {"userId", 10001}, {"passToken", "p"},
                        {"nonce", 5}, {"ssecurity", "k"}, {"location", "/sts?sid=lumora&nonce=5"}};
  const std::vector<Case> cases = {
      {"GET", "/pass/elsewhere", Json{{"code", 0}}, std::nullopt, {"failed -2000"}, {}},
      {"GET", "/pass/elsewhere", nullptr, Error(domain, 12345), {"failed 12345"}, {}},
      {"GET", "/auth/verifyPhone", Json{{"location", "/auth/next"}}, std::nullopt, {"failed 2"}, {}},
      {"GET", "/auth/verifyPhone", Json{{"code", 0}}, std::nullopt, {"failed 10003"}, {}},
      {"POST", "/auth/verifyPhone", Json{{"location", "/auth/next?t=1"}}, std::nullopt,
       {"failed -2000"}, {"/auth/next?t=1&_json=true"}},
      {"POST", "/auth/verifyPhone", nullptr, Error(domain, 70014), {"failed 70014"}, {}},
      {"GET", "/auth/check", loginReply, std::nullopt, {"login"}, {"/sts?sid=lumora&nonce=5&clientSign="}},
      {"GET", "/auth/check", nullptr, Error(domain, 81003, Json{{"location", "/auth/next?t=2"}}),
       {"failed -2000"}, {"/auth/next?t=2&_json=true"}},
      {"GET", "/auth/check", nullptr, Error("NSURLErrorDomain", -1001), {"failed 10003"}, {}},
      {"GET", "/auth/service", nullptr, Error(domain, 70016, Json{{"url", "/auth/next?t=3"}}),
       {"failed -2000"}, {"/auth/next?t=3&_json=true"}},
      {"GET", "/auth/service", nullptr, Error(domain, 70016, Json{{"location", "/auth/next?t=4"}}),
       {"failed 10003"}, {}},
  };
  for (const auto& c : cases) {
    const std::string what = std::string(c.method) + " " + c.path;
    auto recorder = std::make_shared<logintest::SessionRecorder>();
    auto passport = QBLoginPassport::create(std::string("10001"), std::string(kSid), recorder);
    auto request = passport->makeRequestButDontConnectWithURL(c.path, std::nullopt, std::nullopt, c.method,
                                                              passport, false, nullptr);
    std::size_t before = service.targets().size();
    if (c.failure) passport->requestDidFailWithError(request, *c.failure);
    else passport->requestDidLoad(request, c.reply);
    EXPECT_EQ(waitForEnds(*recorder), c.ends) << what;
    auto targets = service.targets();
    ASSERT_EQ(targets.size() - before, c.hops.size()) << what;
    for (std::size_t i = 0; i < c.hops.size(); ++i) {
      EXPECT_EQ(targets[before + i].rfind(c.hops[i], 0), 0u) << what << ": " << targets[before + i];
    }
    EXPECT_EQ(passport->isSessionValid(), c.ends == std::vector<std::string>{"login"}) << what;
  }

  // A failed CA password step goes to the CA fallback when one is set,
  // unless the service asks for the password (70016).
  auto recorder = std::make_shared<logintest::SessionRecorder>();
  auto passport = QBLoginPassport::create(std::string("10001"), std::string(kSid), recorder);
  std::vector<std::int64_t> fallbacks;
  passport->setCaLoginFailCallback([&](const Error& error) { fallbacks.push_back(error.code()); });
  auto caStep = [&] {
    return passport->makeRequestButDontConnectWithURL("/pass/serviceLoginAuth2CA", std::nullopt, std::nullopt,
                                                      "POST", passport, false, nullptr);
  };
  passport->requestDidFailWithError(caStep(), Error(domain, 12345));
  passport->requestDidFailWithError(caStep(), Error(domain, 70016));
  passport->setCaLoginFailCallback(nullptr);
  passport->requestDidFailWithError(caStep(), Error(domain, 12346));
  EXPECT_EQ(waitForEnds(*recorder, 2), (std::vector<std::string>{"failed 70016", "failed 12346"}));
  EXPECT_EQ(fallbacks, std::vector<std::int64_t>{12345});
}

TEST_F(LoginFlowTest, AReloginWhoseServiceTokenStepFailsLeavesTheSessionAsItWas) {
  seed(10001, "alice", "secret");
  auto passport = makePassport("alice");
  passport->loginWithPassword("secret", false);
  ASSERT_EQ(ends(), std::vector<std::string>{"login"});
  const auto token = passport->serviceToken();
  const auto key = passport->sSecurity();
  const auto nonce = passport->nonce();
  // The token and the key the session holds belong to one login.
  auto paired = [&] {
    auto grant = server_->store().lookupServiceToken(passport->serviceToken().value_or(""));
    return grant.has_value() && grant->ssecurity == passport->sSecurity();
  };

  // The relogin's reply hands out a new key; its token step then fails, or
  // answers without a token: the session keeps its own token and key.
  struct Case {
    const char* what;
    localcloud::Fault fault;
  };
  for (const Case& c : {Case{"a 500", once(500)}, Case{"a dropped connection", once(0, /*drop=*/true)},
                        Case{"a reply without the cookie", once(200)}}) {
    recorder_->clear();
    server_->faults().set("/sts", c.fault);
    passport->reLogin();
    auto end = ends();
    ASSERT_EQ(end.size(), 1u) << c.what;
    EXPECT_NE(end[0], "login") << c.what;
    EXPECT_EQ(passport->serviceToken(), token) << c.what;
    EXPECT_EQ(passport->sSecurity(), key) << c.what;
    EXPECT_EQ(passport->nonce(), nonce) << c.what;
    EXPECT_TRUE(paired()) << c.what;
  }
  EXPECT_EQ(recorder_->ends(), std::vector<std::string>{"failed -102"});

  // A relogin whose token step succeeds takes the new values together.
  recorder_->clear();
  passport->reLogin();
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_NE(passport->serviceToken(), token);
  EXPECT_NE(passport->sSecurity(), key);
  EXPECT_TRUE(paired());
}

TEST_F(LoginFlowTest, WebLoginShowsTheLoginPageOrLogsInWithAnAcceptedPassToken) {
  seed(10001, "alice", "secret");
  // Nobody signed in: the login page is fetched for its values, then shown.
  auto passport = makePassport("alice");
  passport->showLoginWebView();
  ASSERT_TRUE(MainQueue::main().runUntil([&] { return shownWebScreen() != nullptr; }, kDeadline));
  drain();
  EXPECT_EQ(recorder_->messages, std::vector<std::string>{"webview"});
  auto screen = shownWebScreen();
  ASSERT_TRUE(screen->webView()->request().has_value());
  const std::string& page = screen->webView()->request()->url;
  EXPECT_EQ(page.rfind(server_->url() + "/pass/serviceLogin?", 0), 0u) << page;
  EXPECT_NE(page.find("sid=lumora"), std::string::npos) << page;
  EXPECT_NE(page.find("callback="), std::string::npos) << page;
  screen->cancel();
  EXPECT_EQ(ends(), std::vector<std::string>{"failed -2004"});

  // Signed in on this device: the login page step accepts the pass token,
  // and that reply is the login (not a failure with code 0). The session is
  // made for the user id, as the manager makes it after a login.
  recorder_->clear();
  passport->loginWithPassword("secret", false);
  ASSERT_EQ(ends(), std::vector<std::string>{"login"});
  recorder_->clear();
  auto again = makePassport("10001");
  again->showLoginWebView();
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_EQ(recorder_->messages, std::vector<std::string>{"login"});
  EXPECT_EQ(shownWebScreen(), nullptr);
  EXPECT_TRUE(again->isSessionValid());
}

// --- through the passports manager -----------------------------------------------

class LoginManagerFlowTest : public LoginFlowTest {
 protected:
  using Result = platform::Status;

  // Runs an asynchronous manager operation and waits for its completion;
  // counts how often the completion ran.
  Result runAsync(const std::function<void(QBPassportsManager::Completion)>& start, int* calls) {
    auto state = std::make_shared<std::pair<int, Result>>(0, Result());
    start([state](const Result& result) {
      ++state->first;
      state->second = result;
    });
    EXPECT_TRUE(MainQueue::main().runUntil([&] { return state->first > 0; }, kDeadline));
    drain();
    *calls = state->first;
    return state->second;
  }

  // Runs a synchronous manager operation on a worker thread while this
  // thread pumps the main queue.
  Result runOnWorker(const std::function<Result()>& work) {
    std::atomic<bool> done{false};
    Result result;
    std::thread worker([&] {
      result = work();
      done = true;
    });
    bool finished = MainQueue::main().runUntil([&] { return done.load(); }, testsupport::scaled(30000ms));
    worker.join();
    EXPECT_TRUE(finished);
    drain();
    return result;
  }

  void loginAlice() {
    seed(10001, "alice", "secret");
    int calls = 0;
    auto result = runAsync(
        [&](auto done) { manager_->loginForSid(kSid, "alice", "secret", false, done); }, &calls);
    ASSERT_TRUE(result.ok()) << result.error().description();
    ASSERT_EQ(calls, 1);
  }

  std::shared_ptr<QBPassportsManager> manager_ = QBPassportsManager::create();
};

TEST_F(LoginManagerFlowTest, LoginThenSynchronousReloginFromAWorkerThread) {
  loginAlice();
  EXPECT_EQ(manager_->userId(), "10001");
  auto passport = manager_->passportForSid(kSid);
  ASSERT_TRUE(passport && passport->isSessionValid());
  std::string firstToken = *passport->serviceToken();

  auto result = runOnWorker([&] { return manager_->reLoginForSid(kSid); });
  EXPECT_TRUE(result.ok()) << result.error().description();
  ASSERT_TRUE(passport->isSessionValid());
  EXPECT_NE(*passport->serviceToken(), firstToken);
  EXPECT_TRUE(server_->store().lookupServiceToken(*passport->serviceToken()).has_value());
}

TEST_F(LoginManagerFlowTest, AsynchronousReloginAndAReloginAfterARestartFromSavedSettings) {
  loginAlice();
  int calls = 0;
  auto result = runAsync([&](auto done) { manager_->reLoginForSid(kSid, done); }, &calls);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(calls, 1);

  // A new process: the user id and the tokens come back from the defaults.
  auto restarted = QBPassportsManager::create();
  EXPECT_EQ(restarted->userId(), "10001");
  auto restored = restarted->passportForSid(kSid, std::nullopt);
  ASSERT_TRUE(restored && restored->isSessionValid());
  manager_ = restarted;
  result = runAsync([&](auto done) { manager_->reLoginForSid(kSid, done); }, &calls);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(calls, 1);
}

TEST_F(LoginManagerFlowTest, RevokedPassTokenFailsTheReloginOnce) {
  loginAlice();
  server_->store().revokePassTokens(10001);
  int calls = 0;
  auto result = runAsync([&](auto done) { manager_->reLoginForSid(kSid, done); }, &calls);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code(), QBLoginPassport::kCodeNeedPassword);
  EXPECT_EQ(calls, 1);
}

TEST_F(LoginManagerFlowTest, LogoutSignsOutEverywhereAndAReloginThenReportsExpiry) {
  loginAlice();
  auto passport = manager_->passportForSid(kSid);
  manager_->logOut();
  EXPECT_FALSE(manager_->userId().has_value());
  EXPECT_TRUE(manager_->passportDic().empty());
  EXPECT_FALSE(passport->isSessionValid());
  EXPECT_FALSE(platform::UserDefaults::standard().stringForKey("QBPassportUserId").has_value());

  auto result = runOnWorker([&] { return manager_->reLoginForSid(kSid); });
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code(), QBLoginPassport::kCodeTokenExpired);
}

TEST_F(LoginManagerFlowTest, SynchronousReloginGivesUpAfterItsTimeLimitWithoutAStaleCallback) {
  loginAlice();
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  manager_->setSynchronousTimeout(platform::seconds(30));

  std::atomic<bool> done{false};
  platform::Status result;
  std::thread worker([&] {
    result = manager_->reLoginForSid(kSid);
    done = true;
  });
  ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(10s)));
  clock->advance(platform::seconds(31));
  worker.join();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code(), -1001);
  // The late reply still ends the relogin, into a completion nobody waits
  // for any more.
  drain();
  EXPECT_TRUE(done);
}

TEST_F(LoginManagerFlowTest, VerificationPageDuringARelogin) {
  // An account service that asks every relogin for verification in a web
  // page, as the real one may for an unusual sign-in.
  StandInAccountService service([](const std::string& base, const httplib::Request&,
                                   httplib::Response& res) {
    platform::Json reply{{"code", 0},
                         {"sid", kSid},
                         {"callback", base + "/sts?sid=lumora"},
                         {"notificationUrl", "/pass/notification?t=9"},
                         {"phone", "138******78"}};
    res.set_content("&&&START&&&" + reply.dump(), "application/json");
  });
  ASSERT_TRUE(service.listening());
  lumora::ServiceHosts::setAll(service.url());
  manager_->setUserId(std::string("10001"));
  auto passport = manager_->passportForSid(kSid, std::nullopt);
  passport->setPassToken(std::string("pass-token"));

  // In the background no page may appear: the relogin fails with -2005 and
  // the page's address.
  auto result = runOnWorker([&] { return manager_->reLoginForSid(kSid); });
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code(), QBLoginPassport::kCodeVerifyInWebPage);
  EXPECT_EQ(result.error().userInfo().value("notificationFullUrl", ""), service.url() + "/pass/notification?t=9");
  EXPECT_EQ(shownWebScreen(), nullptr);
  EXPECT_EQ(service.targets().size(), 1u);

  // Started from the main queue, the same relogin shows the page and waits
  // for the user; cancelling it ends the relogin once.
  auto state = std::make_shared<std::pair<int, Result>>(0, Result());
  MainQueue::main().async([&] {
    manager_->reLoginForSid(kSid, [state](const Result& r) {
      ++state->first;
      state->second = r;
    });
  });
  ASSERT_TRUE(MainQueue::main().runUntil([&] { return shownWebScreen() != nullptr; }, kDeadline));
  drain();
  EXPECT_EQ(state->first, 0);
  auto screen = shownWebScreen();
  ASSERT_TRUE(screen->webView()->request().has_value());
  EXPECT_EQ(screen->webView()->request()->url, service.url() + "/pass/notification?t=9");
  screen->cancel();
  EXPECT_TRUE(MainQueue::main().runUntil([&] { return state->first > 0; }, kDeadline));
  drain();
  EXPECT_EQ(state->first, 1);
  ASSERT_FALSE(state->second.ok());
  EXPECT_EQ(state->second.error().code(), QBLoginPassport::kCodeUserCancelled);
}

}  // namespace
