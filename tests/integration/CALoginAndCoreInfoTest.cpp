// CA logins and the core user information against the local cloud over
// real HTTP: the CA password login and relogin, their fallback to the
// plain login, a refused CA token, the second token host, and the core
// profile with its token relogin and 401 retry.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LocalCloudLoginTest.h"
#include "account/LoginTestSupport.h"
#include "account/QBLoginPassport.h"
#include "account/QBPassportCATokenManager.h"
#include "utils/ServiceHosts.h"
#include "platform/dispatch/MainQueue.h"
#include "server/services/CaService.h"
#include "server/CloudServer.h"
#include "server/services/CoreInfoService.h"
#include "platform/http/SynchronousReply.h"
#include "support/Sanitizers.h"

namespace {

using namespace std::chrono_literals;
using lumora::QBLoginPassport;
using lumora::QBPassportCATokenManager;
using lumora::ServiceHosts;
using platform::MainQueue;

class CALoginAndCoreInfoTest : public logintest::LocalCloudLoginTest {
 protected:
  void SetUp() override {
    LocalCloudLoginTest::SetUp();
    std::string error;
    localcloud::AccountOptions options;
    options.phone = "13800000007";
    ASSERT_TRUE(server_->seedAccount(20001, "fay", "secret", options, &error)) << error;
  }
  void TearDown() override {
    logintest::drainExchanges();
    platform::http::closeIdleConnections();  // else stop() waits out keep-alive
    if (fake_) fake_->stop();
    if (fakeThread_.joinable()) fakeThread_.join();
    LocalCloudLoginTest::TearDown();
  }

  std::vector<std::string> ends() {
    EXPECT_TRUE(MainQueue::main().runUntil([&] { return !recorder_->ends().empty(); }, testsupport::scaled(20s)));
    logintest::drainExchanges();
    return recorder_->ends();
  }
  std::shared_ptr<QBLoginPassport> passport(const std::string& sid = "lumora") {
    return QBLoginPassport::create(std::string("fay"), sid, recorder_);
  }
  // Makes a plain step fail, so that a login that succeeds went the CA way.
  void breakPlain(const std::string& path) {
    localcloud::Fault fault;
    fault.status = 500;
    server_->faults().set(path, fault);
  }
  static std::optional<lumora::QBPassportCAToken> storedToken() {
    return QBPassportCATokenManager::sharedInstance().passportCAExternal().loadCAToken();
  }

  // A CA host that hands out tokens and refuses every CA login with a
  // "passportCA" challenge.
  void startRefusingCAHost() {
    fake_ = std::make_unique<httplib::Server>();
    fake_->Get(localcloud::CaService::kTokenPath, [this](const httplib::Request&, httplib::Response& res) {
      int n = ++tokenFetches_;
      res.set_content("&&&START&&&{\"code\":0,\"data\":{\"passport_ca_token\":\"t" + std::to_string(n) +
                          "\",\"casecurity\":\"MDEyMzQ1Njc4OWFiY2RlZg==\"}}",
                      "application/json");
    });
    fake_->Post(localcloud::CaService::kPasswordPath, [this](const httplib::Request&, httplib::Response& res) {
      ++caLogins_;
      res.status = 401;
      res.set_header("WWW-Authenticate", "passportCA");
      res.set_content("refused", "text/plain");
    });
    int port = fake_->bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    fakeThread_ = std::thread([this] { fake_->listen_after_bind(); });
    std::string base = "http://127.0.0.1:" + std::to_string(port);
    ServiceHosts::set(ServiceHosts::kCALogin, base);
    ServiceHosts::set(ServiceHosts::kCAToken, base);
  }

  std::shared_ptr<logintest::SessionRecorder> recorder_ = std::make_shared<logintest::SessionRecorder>();
  std::unique_ptr<httplib::Server> fake_;
  std::thread fakeThread_;
  std::atomic<int> tokenFetches_{0};
  std::atomic<int> caLogins_{0};
};

TEST_F(CALoginAndCoreInfoTest, CAPasswordLoginAndRelogin) {
  breakPlain("/pass/serviceLoginAuth2");
  breakPlain("/pass/serviceLogin");
  auto session = passport();
  session->loginWithPasswordCA("secret", false, std::nullopt);
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  ASSERT_TRUE(session->isSessionValid());
  EXPECT_EQ(session->userId(), "20001");
  auto grant = server_->store().lookupServiceToken(*session->serviceToken());
  ASSERT_TRUE(grant);
  EXPECT_EQ(grant->ssecurity, session->sSecurity());
  ASSERT_TRUE(storedToken() && storedToken()->isLegal());
  EXPECT_EQ(server_->ca().liveTokenCount(), 1);

  // The relogin, through CA too, with the stored token.
  recorder_->clear();
  auto before = session->serviceToken();
  session->setServiceToken(std::nullopt);
  session->reLoginCA();
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_TRUE(session->isSessionValid());
  EXPECT_NE(session->serviceToken(), before);
  EXPECT_EQ(server_->ca().liveTokenCount(), 1);

  // A wrong password is the service's own answer: no plain login follows
  // (it would fail with 500 here).
  recorder_->clear();
  session->loginWithPasswordCA("wrong", false, std::nullopt);
  EXPECT_EQ(ends(), std::vector<std::string>{"failed 70016"});
}

TEST_F(CALoginAndCoreInfoTest, SwitchedOffCAFallsBackToThePlainLogin) {
  server_->ca().disableFor(600);
  auto session = passport();
  session->loginWithPasswordCA("secret", false, std::nullopt);
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_TRUE(session->isSessionValid());
  EXPECT_FALSE(QBPassportCATokenManager::sharedInstance().isReady());
}

TEST_F(CALoginAndCoreInfoTest, ARefusedTokenIsFetchedAgainOnceThenThePlainLoginRuns) {
  startRefusingCAHost();
  auto session = passport();
  session->loginWithPasswordCA("secret", false, std::nullopt);
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  EXPECT_TRUE(session->isSessionValid());
  EXPECT_EQ(caLogins_, 2);
  EXPECT_EQ(tokenFetches_, 2);
  EXPECT_EQ(storedToken()->token(), "t2");
}

TEST_F(CALoginAndCoreInfoTest, TheTokenComesFromTheAccountServiceWhenTheCAHostFails) {
  breakPlain("/pass/serviceLoginAuth2");
  ServiceHosts::set(ServiceHosts::kCAToken, "http://127.0.0.1:1");
  auto session = passport();
  session->loginWithPasswordCA("secret", false, std::nullopt);
  EXPECT_EQ(ends(), std::vector<std::string>{"login"});
  ASSERT_TRUE(storedToken() && storedToken()->isLegal());
  EXPECT_EQ(server_->ca().liveTokenCount(), 1);
}

struct CoreInfoOutcome {
  std::optional<lumora::KPUserCoreInfo> info;
  std::optional<platform::Error> error;
  int calls = 0;
};

// Runs a fetch and waits for its one outcome on the main queue.
CoreInfoOutcome fetchCoreInfo(QBLoginPassport& session, bool newPassportInstance = true) {
  auto outcome = std::make_shared<CoreInfoOutcome>();
  session.startFetchCoreInfo(
      [outcome](const lumora::KPUserCoreInfo& info) {
        outcome->info = info;
        ++outcome->calls;
      },
      [outcome](const platform::Error& error) {
        outcome->error = error;
        ++outcome->calls;
      },
      newPassportInstance);
  EXPECT_TRUE(MainQueue::main().runUntil([&] { return outcome->calls > 0; }, testsupport::scaled(20s)));
  logintest::drainExchanges();
  EXPECT_EQ(outcome->calls, 1);
  return *outcome;
}

TEST_F(CALoginAndCoreInfoTest, CoreInformationWithVerifiedPhonesAndEmails) {
  using Json = nlohmann::json;
  auto entry = [](const char* address, int verified, int type, int flags) {
    return Json{{"address", address}, {"verified", verified}, {"addressType", type}, {"flags", flags}};
  };
  Json profile = {{"userName", "Fay"},
                  {"icon", "http://img/fay.png"},
                  {"locale", "en_GB"},
                  {"region", "GB"},
                  {"userAddresses", Json::array({entry("13800000007", 1, 1, 0), entry("fay@old.org", 0, 2, 0),
                                                 entry("fay@x.org", 1, 2, 2), entry("13900000009", 1, 1, 2)})}};
  std::string error;
  ASSERT_TRUE(server_->coreInfo().setProfile(20001, profile, &error)) << error;

  auto session = passport();
  session->loginWithPassword("secret", false);
  ASSERT_EQ(ends(), std::vector<std::string>{"login"});
  recorder_->clear();

  // A derived "passportapi" session logs in with the pass token and asks.
  auto outcome = fetchCoreInfo(*session);
  ASSERT_TRUE(outcome.info) << (outcome.error ? outcome.error->description() : "");
  EXPECT_EQ(outcome.info->userId(), "20001");
  EXPECT_EQ(outcome.info->userName(), "Fay");
  EXPECT_EQ(outcome.info->userRegion(), "GB");
  EXPECT_EQ(outcome.info->phones(), (std::vector<std::string>{"13900000009", "13800000007"}));
  EXPECT_EQ(outcome.info->securePhone(), "13900000009");
  EXPECT_EQ(outcome.info->email(), "fay@x.org");
  EXPECT_EQ(outcome.info->secureEmail(), "fay@x.org");
  EXPECT_TRUE(recorder_->ends().empty());  // the caller's session heard nothing

  // A "passportapi" session lends its token to the derived one; when the
  // service no longer takes it, the 401 clears it, a relogin fetches a new
  // one, and the fetch is answered. Without the retry, the 401 is the
  // answer.
  auto api = session->partialCopyWithSid(QBLoginPassport::kCoreInfoSid);
  ASSERT_TRUE(fetchCoreInfo(*api, false).info);  // logs in for its own token
  auto revoked = api->serviceToken();
  ASSERT_TRUE(revoked && server_->store().revokeServiceToken(*revoked));
  auto once = fetchCoreInfo(*api, false);
  ASSERT_TRUE(once.error);
  EXPECT_EQ(once.error->code(), 401);
  EXPECT_TRUE(fetchCoreInfo(*api).info);

  // Without a pass token the fetch fails (it used to wait for ever).
  auto signedOut = passport();
  auto expired = fetchCoreInfo(*signedOut);
  ASSERT_TRUE(expired.error);
  EXPECT_EQ(expired.error->code(), -103);
}

}  // namespace
