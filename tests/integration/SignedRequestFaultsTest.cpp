// How the request layer meets the cloud's failures: host blocking after 500
// and 503 (on a test clock), relogin after a 401, the retry rule's four
// sends, and redirects with their count header.
#include <gtest/gtest.h>

#include <memory>

#include "SignedRequestFixture.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMHTTPErrorHandler.h"
#include "utils/LMErrors.h"
#include "platform/dispatch/Clock.h"
#include "platform/storage/UserDefaults.h"

namespace signedtest {
namespace {

constexpr const char* kEcho = "/test/echo/10001";

localcloud::Fault fault(int times) {
  localcloud::Fault f;
  f.times = times;
  return f;
}

class HostBlockingTest : public SignedRequestCloudTest {
 protected:
  void SetUp() override {
    SignedRequestCloudTest::SetUp();
    loginThroughAccountService();
  }

  std::optional<platform::Error> post() {
    std::optional<platform::Error> error;
    send("POST", kEcho, Json{{"data", "x"}}, &error);
    return error;
  }

  // After the reply that blocked the host: every request fails at once with
  // `code`, without traffic, until `seconds` have passed on the clock; then
  // the next one goes out and through.
  void expectBlockedFor(double seconds, std::int64_t code) {
    const std::size_t sent = calls(kEcho).size();
    for (double wait : {0.0, seconds - 1}) {
      clock->advance(platform::seconds(wait));
      auto error = post();
      ASSERT_TRUE(error) << "after " << wait << " s";
      EXPECT_EQ(error->code(), code);
      EXPECT_EQ(calls(kEcho).size(), sent);
    }
    clock->advance(platform::seconds(1));
    auto error = post();
    EXPECT_FALSE(error) << error->description();
    EXPECT_EQ(calls(kEcho).size(), sent + 1);
  }

  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped{clock};
};

TEST_F(HostBlockingTest, A500BlocksTheHostForFiveMinutesOfClockTime) {
  auto f = fault(1);
  f.status = 500;
  f.code = 500;
  server_->faults().set(kEcho, f);

  auto error = post();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), lumora::kLMServerErrorDomain);
  EXPECT_EQ(error->code(), 500);
  EXPECT_EQ(calls(kEcho).size(), 1u);  // not retried
  expectBlockedFor(300, 500);
}

TEST_F(HostBlockingTest, A503BlocksForTheTimeTheReplyNames) {
  auto f = fault(1);
  f.status = 503;
  f.retryAfter = 120;
  server_->faults().set(kEcho, f);

  auto error = post();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 503);
  EXPECT_EQ(error->userInfo()["data"]["retryAfter"], 120);
  expectBlockedFor(120, 503);
}

TEST_F(SignedRequestCloudTest, A401LogsInAgainAndSendsOnceMore) {
  loginThroughAccountService();
  auto passport = lumora::QBPassportsManager::sharedManager()->passportForSid("lumora");
  std::string oldToken = *passport->serviceToken();
  server_->store().revokeServiceTokens(kUserId, "lumora");

  std::optional<platform::Error> error;
  auto operation = send("POST", kEcho, Json{{"data", "x"}}, &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(operation->responseObject()->at("data")["params"]["data"], "x");
  EXPECT_NE(*passport->serviceToken(), oldToken);

  auto sent = calls(kEcho);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].status, 401);
  EXPECT_EQ(sent[1].status, 200);
}

TEST_F(SignedRequestCloudTest, AFailedReloginReplacesTheError) {
  loginThroughAccountService();
  server_->store().revokeServiceTokens(kUserId, "lumora");
  server_->store().revokePassTokens(kUserId);

  std::optional<platform::Error> error;
  auto operation = send("POST", kEcho, Json{{"data", "x"}}, &error);
  ASSERT_TRUE(error);
  // The relogin's own error, not the 401, so the caller sees why.
  EXPECT_NE(error->code(), lumora::kLMUserAuthenticationErrorCode);
  EXPECT_EQ(calls(kEcho).size(), 1u);
  // The refused reply is not decoded afterwards in place of that error.
  EXPECT_FALSE(operation->responseObject());
  EXPECT_EQ(operation->error(), error);
}

TEST_F(SignedRequestCloudTest, TheRetryRuleAllowsAtMostFourSends) {
  loginThroughAccountService();
  // A success status with an empty body: unreadable, so retried.
  auto f = fault(-1);
  f.status = 200;
  f.emptyBody = true;
  server_->faults().set(kEcho, f);

  std::optional<platform::Error> error;
  send("POST", kEcho, Json{{"data", "x"}}, &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->userInfo()[lumora::kLMRetriableKey], true);
  EXPECT_EQ(calls(kEcho).size(), 4u);

  // Once it answers again, the next try goes through.
  server_->faults().clear(kEcho);
  f.times = 2;
  server_->faults().set(kEcho, f);
  error.reset();
  send("POST", kEcho, Json{{"data", "x"}}, &error);
  EXPECT_FALSE(error) << error->description();
  EXPECT_EQ(calls(kEcho).size(), 7u);
}

TEST_F(SignedRequestCloudTest, RedirectsCarryTheirCountAndTheEleventhFails) {
  loginThroughAccountService();
  auto f = fault(-1);
  f.redirectUrl = server_->url();  // the same path and query again
  server_->faults().set(kEcho, f);

  std::optional<platform::Error> error;
  send("GET", kEcho, Json{{"a", "1"}}, &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), lumora::kLMServerErrorDomain);
  EXPECT_EQ(error->code(), lumora::LMSyncAdapter::kInfiniteRedirectCode);

  auto sent = calls(kEcho);
  ASSERT_EQ(sent.size(), 11u);
  EXPECT_EQ(sent[0].redirectCount, "");
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].redirectCount, std::to_string(i - 1));
  }
}

TEST_F(SignedRequestCloudTest, ARedirectedGetKeepsItsSignedParameters) {
  loginThroughAccountService();
  auto f = fault(2);
  f.redirectUrl = url(kEcho);  // a full URL without the query
  server_->faults().set(kEcho, f);

  std::optional<platform::Error> error;
  auto operation = send("GET", kEcho, Json{{"limit", "7"}, {"_json", "true"}}, &error);
  ASSERT_FALSE(error) << error->description();
  auto data = operation->responseObject()->at("data");
  EXPECT_EQ(data["params"], (Json{{"limit", "7"}, {"_json", "true"}}));
  EXPECT_EQ(data["redirectCount"], "1");
}

TEST_F(SignedRequestCloudTest, APermanentRedirectRefreshesTheHostListFirst) {
  loginThroughAccountService();
  std::string moved = "localhost:" + std::to_string(server_->port());
  ASSERT_TRUE(server_->setHostList(Json{{authority(), moved}}));
  auto f = fault(1);
  f.redirectUrl = "http://" + moved;
  f.permanent = true;
  server_->faults().set(kEcho, f);

  std::optional<platform::Error> error;
  auto operation = send("POST", kEcho, Json{{"data", "x"}}, &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(operation->request().url, "http://" + moved + kEcho);
  EXPECT_EQ(adapter_->hostList(), (Json{{authority(), moved}}));
  EXPECT_EQ(adapter_->relocationURL(), "http://" + moved);
  EXPECT_EQ(platform::UserDefaults::standard().dictionaryForKey("LumoraHostList"),
            (Json{{authority(), moved}}));
}

}  // namespace
}  // namespace signedtest
