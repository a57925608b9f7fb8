// No secret reaches a log line: a password login, signed requests (one of
// them failing, one after a relogin that a revoked token forces) and the
// decoded replies, with the SDK's log sink at its most detailed level.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "SignedRequestFixture.h"
#include "account/AccountTestSupport.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/http/CookieStorage.h"
#include "utils/LMLogUtil.h"

namespace signedtest {
namespace {

TEST_F(SignedRequestCloudTest, NoTokenKeyPasswordOrCookieValueIsLogged) {
  auto sink = std::make_shared<accounttest::LogCapture>();  // every level
  lumora::LMLogUtil::setLogDelegate(sink);
  std::set<std::string> secrets{"secret"};  // alice's password
  auto remember = [&] {
    auto passport = lumora::QBPassportsManager::sharedManager()->passportForSid("lumora");
    for (const auto& value : {passport->passToken(), passport->serviceToken(), passport->sSecurity()}) {
      if (value && !value->empty()) secrets.insert(*value);
    }
    for (const auto& cookie : platform::http::CookieStorage::shared().cookies()) {
      // Values as short as a user id name nothing secret.
      if (cookie.value.size() >= 8) secrets.insert(cookie.value);
    }
  };

  loginThroughAccountService();
  remember();
  std::optional<platform::Error> error;
  send("GET", "/test/echo/10001", Json{{"limit", "200"}, {"_json", "true"}}, &error);
  EXPECT_FALSE(error) << error->description();
  // The reply echoes what it received, tokens among it, as a cloud reply
  // may hold tokens and keys of its own.
  auto passToken = lumora::QBPassportsManager::sharedManager()->passportForSid("lumora")->passToken();
  send("POST", "/test/echo/10001", Json{{"passToken", passToken.value_or("")}, {"data", "x"}}, &error);
  EXPECT_FALSE(error) << error->description();
  send("GET", "/test/echo/10001?x=1", Json{{"a", "b"}}, &error);  // refused: 403
  EXPECT_TRUE(error);
  server_->store().revokeServiceTokens(kUserId, "lumora");
  send("POST", "/test/echo/10001", Json{{"data", "y"}}, &error);  // 401, relogin, again
  EXPECT_FALSE(error) << error->description();
  remember();
  lumora::LMLogUtil::setLogDelegate(nullptr);

  auto lines = sink->lines();
  EXPECT_GT(lines.size(), 5u);
  for (const auto& line : lines) {
    for (const auto& secret : secrets) {
      EXPECT_EQ(line.find(secret), std::string::npos) << "\"" << secret << "\" in: " << line;
    }
  }
}

}  // namespace
}  // namespace signedtest
