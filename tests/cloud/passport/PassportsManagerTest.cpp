// The passports manager without a server: the session table, the user id in
// the defaults, argument failures, and completions that run once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "account/LoginTestSupport.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMHTTPErrorHandler.h"
#include "utils/LMErrors.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "support/Sanitizers.h"

namespace {

using namespace std::chrono_literals;
using lumora::QBPassportsManager;
using platform::MainQueue;
using Result = platform::Status;

class PassportsManagerTest : public logintest::LoginTest {
 protected:
  void SetUp() override { startClean("http://127.0.0.1:1"); }
  void TearDown() override { finishClean(); }

  // A completion that records every call.
  QBPassportsManager::Completion recorder(std::vector<Result>& calls) {
    return [&calls](const Result& result) { calls.push_back(result); };
  }

  std::shared_ptr<QBPassportsManager> manager = QBPassportsManager::create();
};

TEST_F(PassportsManagerTest, UserIdLivesInTheDefaults) {
  EXPECT_FALSE(manager->userId().has_value());
  manager->setUserId(std::string("10001"));
  EXPECT_EQ(platform::UserDefaults::standard().stringForKey("QBPassportUserId"), "10001");
  EXPECT_EQ(QBPassportsManager::create()->userId(), "10001");  // as after a restart

  manager->setUserId(std::string(""));
  EXPECT_FALSE(manager->userId().has_value());
  EXPECT_FALSE(platform::UserDefaults::standard().hasKey("QBPassportUserId"));
}

TEST_F(PassportsManagerTest, OnePassportPerSidForItsUser) {
  manager->setUserId(std::string("1"));
  EXPECT_EQ(manager->passportForSid(""), nullptr);
  EXPECT_EQ(manager->passportForSid("lumora", std::string("")), manager->passportForSid("lumora", std::nullopt));
  auto mine = manager->passportForSid("lumora", std::nullopt);
  EXPECT_EQ(mine->userId(), "1");
  EXPECT_EQ(manager->passportForSid("lumora"), mine);

  auto other = manager->passportForSid("lumora", std::string("2"));
  EXPECT_NE(other, mine);
  EXPECT_EQ(manager->passportForSid("lumora"), other);
  EXPECT_NE(manager->newPassportForSid("lumora", std::string("2")), other);

  manager->setForTest(true);
  manager->setNeedVerifyPhone(true);
  EXPECT_TRUE(manager->passportForSid("lumora")->forTest());
  EXPECT_TRUE(manager->passportForSid("lumora")->needVerifyPhone());
  EXPECT_TRUE(manager->passportForSid("photos", std::nullopt)->forTest());  // new ones too

  // Logging out with passports clears everything; a user id kept without
  // a stored login is signed out too.
  manager->logOut();
  EXPECT_TRUE(manager->passportDic().empty());
  EXPECT_FALSE(manager->userId().has_value());
  manager->setUserId(std::string("3"));
  manager->logOut();
  EXPECT_FALSE(manager->userId().has_value());
  EXPECT_FALSE(platform::UserDefaults::standard().stringForKey(QBPassportsManager::kUserIdDefaultsKey).has_value());
}

TEST_F(PassportsManagerTest, AnAttachedPassportBringsItsUserDeviceAndFlagsToTheSharedManager) {
  auto shared = QBPassportsManager::sharedManager();
  struct Restore {
    std::shared_ptr<QBPassportsManager> manager;
    ~Restore() {
      manager->setPassportDic({});
      manager->setUserId(std::nullopt);
      manager->setDeviceId(std::nullopt);
      manager->setForTest(false);
      manager->setNeedVerifyPhone(false);
    }
  } restore{shared};

  EXPECT_FALSE(QBPassportsManager::attachPassport(nullptr));
  EXPECT_FALSE(QBPassportsManager::attachPassport(
      lumora::QBLoginPassport::create(std::string("5"), std::string(""), {})));
  EXPECT_FALSE(shared->userId().has_value());

  auto passport = lumora::QBLoginPassport::create(std::string("42"), std::string("deviceinfo"), {});
  passport->setDeviceId(std::string("device-1"));
  passport->setForTest(true);
  passport->setNeedVerifyPhone(true);
  ASSERT_TRUE(QBPassportsManager::attachPassport(passport));
  EXPECT_EQ(shared->passportForSid("deviceinfo"), passport);
  EXPECT_EQ(shared->userId(), "42");
  EXPECT_EQ(platform::UserDefaults::standard().stringForKey("QBPassportUserId"), "42");
  EXPECT_EQ(shared->deviceId(), "device-1");
  EXPECT_TRUE(shared->forTest());
  EXPECT_TRUE(shared->needVerifyPhone());
}

TEST_F(PassportsManagerTest, ArgumentFailuresOfPasswordLoginsAreReportedAtOnce) {
  std::vector<Result> calls;
  manager->loginForSid("lumora", "", "", false, recorder(calls));
  manager->loginForSid("lumora", "u", "", false, std::string("code"), recorder(calls));
  ASSERT_EQ(calls.size(), 2u);  // on the calling thread, before returning
  EXPECT_EQ(calls[0].error().code(), QBPassportsManager::kErrorNoUserOrPassport);
  EXPECT_EQ(calls[1].error().code(), QBPassportsManager::kErrorNoPassword);
  EXPECT_EQ(calls[1].error().domain(), "com.quenby.vantri.error.server");
  EXPECT_TRUE(manager->passportDic().empty());
  manager->loginForSid("lumora", "", "", false, QBPassportsManager::Completion());  // dropped quietly
}

TEST_F(PassportsManagerTest, CodeAndTicketOperationsNeedAStoredPassport) {
  std::vector<Result> calls;
  manager->checkOTPCode("123456", "lumora", true, recorder(calls));
  manager->verifyPhoneTicket("123456", "lumora", true, recorder(calls));
  manager->sendPhoneTicketForSid("lumora", recorder(calls));
  EXPECT_TRUE(calls.empty());  // reported on the main queue
  MainQueue::main().runUntilIdle();
  ASSERT_EQ(calls.size(), 3u);
  for (const auto& call : calls) EXPECT_EQ(call.error().code(), QBPassportsManager::kErrorNoUserOrPassport);
}

TEST_F(PassportsManagerTest, ACompletionRunsOnceEvenWhenThePassportReportsTwice) {
  manager->setUserId(std::string("1"));
  std::vector<Result> calls;
  manager->reLoginForSid("lumora", recorder(calls));
  MainQueue::main().runUntilIdle();
  ASSERT_EQ(calls.size(), 1u);  // no pass token: expired
  EXPECT_EQ(calls[0].error().code(), -103);

  auto passport = manager->passportForSid("lumora");
  passport->failWithError(platform::Error("QBPassportErrorDomain", -2004));
  passport->dispatchPassportDidLoginMessage();
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(calls.size(), 1u);

  // A newer operation replaces the callback; the older one hears nothing.
  std::vector<Result> first;
  std::vector<Result> second;
  manager->checkOTPCode("1", "lumora", true, recorder(first));
  manager->checkOTPCode("2", "lumora", true, recorder(second));
  MainQueue::main().runUntilIdle();
  EXPECT_TRUE(first.empty());
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].error().code(), -100);  // no login page values
}

TEST_F(PassportsManagerTest, ALoginSavesTheSessionAndTheUserId) {
  auto passport = manager->passportForSid("lumora", std::string("7"));
  passport->setPassToken(std::string("p"));
  passport->setServiceToken(std::string("s"));
  std::vector<Result> calls;
  lumora::setResultBlock(passport, recorder(calls));
  passport->dispatchPassportDidLoginMessage();
  MainQueue::main().runUntilIdle();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].ok());
  EXPECT_EQ(manager->userId(), "7");
  auto restored = QBPassportsManager::create()->passportForSid("lumora", std::nullopt);
  EXPECT_TRUE(restored->isSessionValid());
}

TEST_F(PassportsManagerTest, SynchronousCallsRefuseTheMainThreadAndWaitElsewhere) {
  MainQueue::main().bindToCurrentThread();
  auto onMain = manager->reLoginForSid("lumora");
  ASSERT_FALSE(onMain.ok());
  EXPECT_EQ(onMain.error().domain(), "com.quenby.lumora.sdk.error");
  MainQueue::main().runUntilIdle();

  manager->setUserId(std::string("1"));
  std::atomic<bool> done{false};
  Result result;
  std::thread worker([&] {
    result = manager->sendPhoneTicketForSid("unknown");
    done = true;
  });
  EXPECT_TRUE(MainQueue::main().runUntil([&] { return done.load(); }, testsupport::scaled(10s)));
  worker.join();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code(), QBPassportsManager::kErrorNoUserOrPassport);
}

}  // namespace

namespace {

TEST_F(PassportsManagerTest, LogoutUnblocksEveryHostButAnEmptyLogoutChangesNothing) {
  auto& handler = lumora::LMHTTPErrorHandler::defaultHandler();
  handler.clearAllErrors();
  const std::string url = "http://127.0.0.1:1/lum/contact";
  platform::Error overload(lumora::kLMServerErrorDomain, 500);

  ASSERT_TRUE(handler.handleServerError(overload, url));
  manager->logOut();  // nothing signed in: the block stays
  EXPECT_TRUE(!handler.serverErrorWithURL(url).ok());

  manager->setUserId(std::string("10001"));
  ASSERT_NE(manager->passportForSid("lumora", std::string("10001")), nullptr);
  manager->logOutForSid("lumora");
  EXPECT_FALSE(!handler.serverErrorWithURL(url).ok());

  ASSERT_TRUE(handler.handleServerError(overload, url));
  manager->setUserId(std::string("10001"));
  ASSERT_NE(manager->passportForSid("lumora", std::string("10001")), nullptr);
  manager->logOut();
  EXPECT_FALSE(!handler.serverErrorWithURL(url).ok());
}

}  // namespace
