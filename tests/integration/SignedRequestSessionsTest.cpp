// Sessions of signed requests: two accounts signed in at once in one
// process, each adapter signing with its own passports manager and each
// reply decrypted with the key its request was signed with, also when a
// relogin changes the key while the request is under way; all with the
// device's clock set back in the middle.
#include <gtest/gtest.h>

#include <thread>

#include "SignedRequestFixture.h"
#include "cloud/passport/QBPassportsManager.h"
#include "support/SteppedClock.h"

namespace signedtest {
namespace {

using lumora::QBPassportsManager;

// Base64 of "fedcba9876543210" and of "abcdefghijklmnop".
constexpr const char* kOtherKey = "ZmVkY2JhOTg3NjU0MzIxMA==";
constexpr const char* kRotatedKey = "YWJjZGVmZ2hpamtsbW5vcA==";

class TwoAccountsTest : public SignedRequestCloudTest {
 protected:
  struct Account {
    std::string userId;
    std::shared_ptr<QBPassportsManager> passports;
    std::shared_ptr<lumora::LMSyncAdapter> adapter;
  };

  // A service token of `key` issued for the user, in a passports manager of
  // the account's own.
  std::string issue(std::int64_t userId, const std::string& key) {
    localcloud::LoginGrant grant;
    grant.userId = userId;
    grant.serviceId = "lumora";
    grant.ssecurity = key;
    return server_->store().issueServiceToken(grant);
  }
  Account signIn(std::int64_t userId, const std::string& key) {
    Account account{std::to_string(userId), QBPassportsManager::create(), nullptr};
    account.passports->setUserId(account.userId);
    auto passport = account.passports->passportForSid("lumora", account.userId);
    passport->setServiceToken(issue(userId, key));
    passport->setSSecurity(key);
    account.adapter = std::make_shared<lumora::LMSyncAdapter>(account.passports);
    return account;
  }
  // One signed POST of the account to its echo endpoint; the echoed "n".
  std::string echo(const Account& account, int n) {
    auto operation = account.adapter->requestWithMethod(
        "POST", url("/test/echo/" + account.userId), Json{{"n", std::to_string(n)}}, "lumora");
    auto reply = operation->result();
    if (!reply.ok()) return reply.error().description();
    return (*reply)["data"]["params"].value("n", "");
  }
};

TEST_F(TwoAccountsTest, EachRequestIsSignedAndDecryptedWithItsOwnAccountsKey) {
  auto clock = std::make_shared<testsupport::SteppedClock>();
  platform::ScopedClock scoped(clock);
  Account alice = signIn(10001, kKnownKey);
  Account bob = signIn(10002, kOtherKey);

  constexpr int kEach = 20;
  std::vector<std::string> aliceSaw(kEach), bobSaw(kEach);
  std::thread aliceSends([&] {
    for (int i = 0; i < kEach; ++i) aliceSaw[i] = echo(alice, i);
  });
  std::thread bobSends([&] {
    for (int i = 0; i < kEach; ++i) {
      bobSaw[i] = echo(bob, 100 + i);
      if (i == kEach / 2) clock->stepWallTime(-std::chrono::hours(24));
    }
  });
  aliceSends.join();
  bobSends.join();
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(aliceSaw[i], std::to_string(i));
    EXPECT_EQ(bobSaw[i], std::to_string(100 + i));
  }
  std::map<std::int64_t, int> accepted;
  for (const auto& call : server_->signedEndpoints().recentCalls()) {
    if (call.status == 200) ++accepted[call.userId];
  }
  EXPECT_EQ(accepted[10001], kEach);
  EXPECT_EQ(accepted[10002], kEach);

  // A relogin on another thread changes Alice's key after her request was
  // signed: the reply, encrypted under the key the request was signed with,
  // is still read with that key.
  auto pending = alice.adapter->httpRequestManager()->POST(url("/test/echo/10001"),
                                                           Json{{"n", "late"}}, "lumora");
  auto passport = alice.passports->passportForSid("lumora");
  passport->setServiceToken(issue(10001, kRotatedKey));
  passport->setSSecurity(kRotatedKey);
  std::thread([&] { pending->start(); }).join();
  auto reply = pending->result();
  ASSERT_TRUE(reply.ok()) << reply.error().description();
  EXPECT_EQ((*reply)["data"]["params"]["n"], "late");
  EXPECT_EQ(echo(alice, 7), "7");  // the next request uses the new key
}

}  // namespace
}  // namespace signedtest
