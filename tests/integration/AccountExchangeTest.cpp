// Account requests built, signed and sent over real HTTP to the local cloud,
// and the session's cookies and saved values at the HTTP boundary.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "account/KPCookieUtil.h"
#include "account/KPIdentifierAddition.h"
#include "account/KPUserAgentUtil.h"
#include "account/QBPassport.h"
#include "account/QBPassportRequest.h"
#include "account/QBPassportRequestMemoryHolder.h"
#include "utils/ServiceHosts.h"
#include "platform/storage/UserDefaults.h"
#include "platform/http/CookieStorage.h"
#include "platform/http/UrlError.h"
#include "server/CloudServer.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "platform/http/SynchronousReply.h"

namespace {

using lumora::QBPassport;
using lumora::QBPassportRequest;
using lumora::QBPassportRequestMemoryHolder;
using platform::Json;
using Params = QBPassportRequest::Params;

// How long an exchange may take, in real time, before the test gives up on it.
constexpr auto kWait = testsupport::scaled(std::chrono::seconds(20));

// What one exchange told its delegate. Shared by the test and the delegate,
// so the test can see the delegate go away when the exchange is over.
struct Outcome {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> statuses;
  std::vector<Json> loads;
  std::vector<platform::Error> errors;
  std::vector<std::string> raw;
  // Whether the request was in the keep-alive registry at each delivery.
  std::vector<bool> registered;
  bool released = false;

  bool waitForRelease() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kWait, [this] { return released; });
  }
};

class RecordingDelegate : public lumora::QBPassportRequestDelegate {
 public:
  explicit RecordingDelegate(std::shared_ptr<Outcome> outcome) : outcome_(std::move(outcome)) {
    requestDidReceiveResponse = [o = outcome_](const RequestPtr&, const platform::http::Response& r) {
      std::lock_guard<std::mutex> guard(o->mutex);
      o->statuses.push_back(r.statusCode());
    };
    requestDidLoad = [o = outcome_](const RequestPtr& request, const Json& reply) {
      std::lock_guard<std::mutex> guard(o->mutex);
      o->loads.push_back(reply);
      o->registered.push_back(QBPassportRequestMemoryHolder::contains(request));
    };
    requestDidFailWithError = [o = outcome_](const RequestPtr& request, const platform::Error& error) {
      std::lock_guard<std::mutex> guard(o->mutex);
      o->errors.push_back(error);
      o->registered.push_back(QBPassportRequestMemoryHolder::contains(request));
    };
    requestDidLoadRawResponse = [o = outcome_](const RequestPtr&, const platform::Bytes& data) {
      std::lock_guard<std::mutex> guard(o->mutex);
      o->raw.push_back(platform::toString(data));
    };
  }
  ~RecordingDelegate() override {
    std::lock_guard<std::mutex> guard(outcome_->mutex);
    outcome_->released = true;
    outcome_->changed.notify_all();
  }

 private:
  std::shared_ptr<Outcome> outcome_;
};

class AccountExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::UserDefaults::resetStandardForTesting();
    platform::http::CookieStorage::shared().deleteAllCookies();
    lumora::kpResetUniqueGlobalDeviceIdentifierCacheForTesting();
    std::string error;
    server_ = localcloud::CloudServer::create(home_.root() / "cloud", &error);
    ASSERT_TRUE(server_) << error;
    ASSERT_TRUE(server_->start(0, &error)) << error;
    ASSERT_TRUE(server_->seedAccount(10001, "demo", "demo-password", {}, &error)) << error;
    lumora::ServiceHosts::set(lumora::ServiceHosts::kAccount, server_->url());
  }
  void TearDown() override {
    server_->stop();
    lumora::ServiceHosts::reset();
    platform::http::CookieStorage::shared().deleteAllCookies();
    platform::UserDefaults::resetStandardForTesting();
  }

  // Builds, optionally signs, and sends one request; drops every reference
  // to it at once, then waits until the exchange has ended and released it.
  std::shared_ptr<Outcome> exchange(const std::string& method, const std::string& url, Params params,
                                    std::optional<std::string> security = std::nullopt,
                                    QBPassportRequest::Cookies cookies = {}) {
    auto outcome = std::make_shared<Outcome>();
    std::weak_ptr<QBPassportRequest> weak;
    {
      auto request = QBPassportRequest::requestWithParams(std::make_shared<Params>(std::move(params)), method,
                                                          std::move(cookies),
                                                          std::make_shared<RecordingDelegate>(outcome), url);
      request->cryptWithCoder(nullptr, security);
      weak = request;
      request->connect();
    }
    EXPECT_TRUE(outcome->waitForRelease()) << "exchange did not end: " << url;
    // Kept alive while it ran, released when it ended.
    EXPECT_EQ(outcome->registered, std::vector<bool>(outcome->loads.size() + outcome->errors.size(), true));
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(QBPassportRequestMemoryHolder::count(), 0u);
    return outcome;
  }

  std::string account(const std::string& path) const { return server_->url() + path; }

  // The password login of "demo": the login-page step, then the password.
  Json passwordLogin() {
    auto page = exchange("GET", account("/pass/serviceLogin"), {{"sid", "lumora"}, {"_json", "true"}});
    EXPECT_EQ(page->errors.size(), 1u);
    if (page->errors.empty()) return Json();
    const Json& meta = page->errors[0].userInfo();
    auto login = exchange("POST", account("/pass/serviceLoginAuth2"),
                          {{"user", "demo"},
                           {"pwd", "demo-password"},
                           {"sid", meta.value("sid", "")},
                           {"qs", meta.value("qs", "")},
                           {"_sign", meta.value("_sign", "")},
                           {"callback", meta.value("callback", "")},
                           {"_json", "true"}});
    EXPECT_EQ(login->loads.size(), 1u);
    return login->loads.empty() ? Json() : login->loads[0];
  }

  testsupport::TestHome home_;
  std::unique_ptr<localcloud::CloudServer> server_;
};

TEST_F(AccountExchange, ALoginAndASignedReloginOverHttp) {
  // The login page answers with code 70016 behind the reply marker: an error
  // of the account domain carrying the whole reply.
  auto page = exchange("GET", account("/pass/serviceLogin"), {{"sid", "lumora"}, {"_json", "true"}});
  ASSERT_EQ(page->errors.size(), 1u);
  EXPECT_TRUE(page->loads.empty());
  ASSERT_EQ(page->raw.size(), 1u);
  EXPECT_EQ(page->raw[0].rfind("&&&START&&&", 0), 0u);
  EXPECT_EQ(page->errors[0].domain(), "QBPassportErrorDomain");
  EXPECT_EQ(page->errors[0].code(), 70016);
  EXPECT_EQ(page->errors[0].userInfo().value("code", 0), 70016);
  EXPECT_TRUE(page->errors[0].userInfo().contains("_sign"));

  Json login = passwordLogin();
  ASSERT_EQ(login.value("code", -1), 0) << login.dump();
  std::string passToken = login.value("passToken", "");
  std::string security = login.value("ssecurity", "");
  ASSERT_FALSE(passToken.empty());
  ASSERT_FALSE(security.empty());

  // A relogin signed under the login's security key, with the pass token as
  // an explicit cookie: the server checks the signature and logs in.
  std::string url = account("/pass/serviceLogin");
  QBPassportRequest::Cookies cookies;
  cookies.push_back(*lumora::KPCookieUtil::newHTTPCookieWithUrl(url, "passToken", passToken));
  cookies.push_back(*lumora::KPCookieUtil::newHTTPCookieWithUrl(url, "userId", "10001"));
  auto relogin = exchange("GET", url, {{"sid", "lumora"}, {"_json", "true"}}, security, cookies);
  ASSERT_EQ(relogin->loads.size(), 1u) << (relogin->errors.empty() ? "" : relogin->errors[0].description());
  EXPECT_EQ(relogin->loads[0].value("code", -1), 0);
  EXPECT_EQ(relogin->loads[0].value("passToken", ""), passToken);
  EXPECT_EQ(relogin->statuses, (std::vector<int>{200}));

  // Signed under another key, the same relogin is refused.
  auto forged = exchange("GET", url, {{"sid", "lumora"}, {"_json", "true"}}, "not-the-key", cookies);
  ASSERT_EQ(forged->errors.size(), 1u);
  EXPECT_EQ(forged->errors[0].code(), 70016);
}

TEST_F(AccountExchange, RepliesWithoutTheMarkerAreParsedToo) {
  auto ping = exchange("GET", account("/_admin/ping"), {});
  ASSERT_EQ(ping->loads.size(), 1u);
  EXPECT_EQ(ping->raw[0].rfind("&&&START&&&", 0), std::string::npos);
  EXPECT_EQ(ping->loads[0], (Json{{"ok", true}}));
  EXPECT_TRUE(ping->errors.empty());
}

TEST_F(AccountExchange, HttpFailureStatusesAreErrors) {
  // The server refuses a request without a service id.
  auto bad = exchange("GET", account("/pass/serviceLogin"), {{"_json", "true"}});
  ASSERT_EQ(bad->errors.size(), 1u);
  EXPECT_EQ(bad->errors[0].domain(), "QBPassportErrorDomain");
  EXPECT_EQ(bad->errors[0].code(), 400);
  EXPECT_TRUE(bad->loads.empty());

  localcloud::Fault unavailable;
  unavailable.status = 503;
  unavailable.times = 1;
  server_->faults().set("/pass/serviceLogin", unavailable);
  auto down = exchange("GET", account("/pass/serviceLogin"), {{"sid", "lumora"}, {"_json", "true"}});
  ASSERT_EQ(down->errors.size(), 1u);
  EXPECT_EQ(down->errors[0].code(), 503);
  EXPECT_EQ(down->statuses, (std::vector<int>{503}));

  localcloud::Fault refused;
  refused.status = 401;
  refused.code = 401;
  refused.times = 1;
  server_->faults().set("/sts", refused);
  auto sts = exchange("GET", account("/sts"), {{"clientSign", "x"}});
  ASSERT_EQ(sts->errors.size(), 1u);
  EXPECT_EQ(sts->errors[0].code(), 401);
  EXPECT_EQ(sts->errors[0].userInfo().value("code", 0), 401);
}

TEST_F(AccountExchange, TransportFailuresEndTheExchangeToo) {
  // A port nobody listens on: the server's own, once it has stopped. (One
  // exchange first: the server only hears stop() once it accepts.)
  std::string url = account("/pass/serviceLogin");
  ASSERT_EQ(exchange("GET", account("/_admin/ping"), {})->loads.size(), 1u);
  server_->stop();
  auto lost = exchange("GET", url, {{"sid", "lumora"}});
  ASSERT_EQ(lost->errors.size(), 1u);
  EXPECT_EQ(lost->errors[0].domain(), platform::http::kURLErrorDomain);
  EXPECT_EQ(lost->errors[0].code(), platform::http::kUrlErrorCannotConnectToHost);
  EXPECT_TRUE(lost->loads.empty());

  localcloud::Fault dropped;
  dropped.drop = true;
  ASSERT_TRUE(server_->start(0));
  server_->faults().set("/pass/serviceLogin", dropped);
  auto broken = exchange("GET", account("/pass/serviceLogin"), {{"sid", "lumora"}, {"_json", "true"}});
  ASSERT_EQ(broken->errors.size(), 1u);
  EXPECT_EQ(broken->errors[0].domain(), platform::http::kURLErrorDomain);
}

TEST_F(AccountExchange, SessionCookiesCarryTheLoginAndLogoutDropsThem) {
  Json login = passwordLogin();
  ASSERT_EQ(login.value("code", -1), 0);

  // The session's setters put the pass token into the shared cookies, which
  // every account request then carries.
  auto passport = QBPassport::initWithUserId("10001", "lumora", {});
  passport->setPassToken(login.value("passToken", ""));
  passport->setSSecurity(login.value("ssecurity", ""));
  passport->setServiceToken("service-token");
  passport->setNonce(login.value("nonce", std::int64_t{0}));
  passport->saveToLocalSettings();
  ASSERT_TRUE(lumora::KPCookieUtil::setSharedCookiesValue("captcha", "ick", lumora::ServiceHosts::accountCookieDomain()));

  auto relogin = exchange("GET", passport->strAccountDomain() + "/pass/serviceLogin",
                          {{"sid", "lumora"}, {"_json", "true"}}, passport->sSecurity());
  ASSERT_EQ(relogin->loads.size(), 1u);
  EXPECT_EQ(relogin->loads[0].value("code", -1), 0);

  // A new process restores the session from the preferences.
  auto restored = QBPassport::initWithUserId("10001", "lumora", {});
  EXPECT_TRUE(restored->loadFromLocalSettings());
  EXPECT_EQ(restored->passToken(), passport->passToken());

  restored->logOut();
  EXPECT_FALSE(lumora::KPCookieUtil::getSharedCookiesValueForKey("passToken"));
  EXPECT_EQ(lumora::KPCookieUtil::getSharedCookiesValueForKey("ick"), "captcha");
  auto after = exchange("GET", passport->strAccountDomain() + "/pass/serviceLogin",
                        {{"sid", "lumora"}, {"_json", "true"}});
  ASSERT_EQ(after->errors.size(), 1u);
  EXPECT_EQ(after->errors[0].code(), 70016);
  EXPECT_FALSE(QBPassport::initWithUserId("10001", "lumora", {})->loadFromLocalSettings());
}

// What a request puts on the wire, seen by a plain HTTP server.
class WireFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::http::CookieStorage::shared().deleteAllCookies();
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_max_count(100);
    auto record = [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        seen_ = req;
      }
      res.set_content("{\"code\":0}", "application/json");
    };
    // A reply without end (bounded here only by the test's patience).
    server_.Get("/endless", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("application/json", [](std::size_t offset, httplib::DataSink& sink) {
        static const std::string piece(64 << 10, ' ');
        return offset < (1ull << 30) && sink.write(piece.data(), piece.size());
      });
    });
    server_.Get("/.*", record);
    server_.Post("/.*", record);
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is only heard once the accept loop runs: wait for it (bounded).
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (!server_.is_running() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  void TearDown() override {
    platform::http::closeIdleConnections();  // else stop() waits out keep-alive
    server_.stop();
    thread_.join();
  }

  httplib::Request send(const std::string& method, const std::string& path, Params params,
                        QBPassportRequest::Cookies cookies = {}, platform::http::HeaderFields headers = {}) {
    auto outcome = std::make_shared<Outcome>();
    {
      auto request = QBPassportRequest::initWithWithParams(
          std::make_shared<Params>(std::move(params)), method, std::move(cookies),
          std::make_shared<RecordingDelegate>(outcome), "http://127.0.0.1:" + std::to_string(port_) + path,
          std::move(headers));
      request->connect();
    }
    EXPECT_TRUE(outcome->waitForRelease());
    EXPECT_EQ(outcome->loads.size(), 1u);
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  httplib::Request seen_;
};

TEST_F(WireFormat, GetQueryPostBodyUserAgentAndCookies) {
  auto get = send("GET", "/pass/serviceLogin?x=1", {{"q", "a b&c"}, {"s", "x+y/z"}});
  EXPECT_EQ(get.target, "/pass/serviceLogin?x=1&q=a%20b%26c&s=x%2By%2Fz");
  EXPECT_EQ(get.get_header_value("User-Agent"), lumora::KPUserAgentUtil::sharedInstance().getUserAgent());
  EXPECT_FALSE(get.has_header("Cookie"));

  QBPassportRequest::Cookies cookies;
  cookies.push_back(*lumora::KPCookieUtil::newHTTPCookieWithUrl("http://127.0.0.1/", "userId", "7"));
  cookies.push_back(*lumora::KPCookieUtil::newHTTPCookieWithUrl("http://127.0.0.1/", "serviceToken", "t"));
  platform::http::HeaderFields headers{{"User-Agent", "custom/1"}, {"X-Extra", "yes"}};
  auto post = send("POST", "/auth/verifyPhone", {{"k", "v"}}, cookies, headers);
  EXPECT_EQ(post.target, "/auth/verifyPhone");
  EXPECT_EQ(post.body, "k=v");
  EXPECT_EQ(post.get_header_value("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(post.get_header_value_count("User-Agent"), 1u);
  EXPECT_EQ(post.get_header_value("User-Agent"), "custom/1");
  EXPECT_EQ(post.get_header_value("X-Extra"), "yes");
  EXPECT_EQ(post.get_header_value("Cookie"), "userId=7; serviceToken=t");
}

TEST_F(WireFormat, AReplyPastTheMemoryBoundEndsTheExchangeWithAnError) {
  auto outcome = std::make_shared<Outcome>();
  QBPassportRequest::initWithWithParams(nullptr, "GET", {}, std::make_shared<RecordingDelegate>(outcome),
                                        "http://127.0.0.1:" + std::to_string(port_) + "/endless", {})
      ->connect();
  ASSERT_TRUE(outcome->waitForRelease());
  EXPECT_TRUE(outcome->loads.empty());
  ASSERT_EQ(outcome->errors.size(), 1u);
  EXPECT_EQ(outcome->errors[0].code(), platform::http::kUrlErrorDataLengthExceedsMaximum);
}

}  // namespace
