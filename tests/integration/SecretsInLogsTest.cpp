// No secret reaches a log line: a password login, signed requests (one of
// them failing, one after a relogin that a revoked token forces) and the
// decoded replies, with the SDK's log sink at its most detailed level; and
// no secret reaches the app's log files (those the user is pointed to and
// feedback sends) over a sign-in and the push registration the app starts.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "SignedRequestFixture.h"
#include "account/AccountTestSupport.h"
#include "app/AppBundle.h"
#include "applog/AppLogDelegate.h"
#include "applog/LoggerRegistry.h"
#include "cloud/passport/QBPassportsManager.h"
#include "feedback/QBLogUtil.h"
#include "platform/app/Application.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/CookieStorage.h"
#include "push/KoPushNetWorkUtils.h"
#include "push/KoPushSDKController.h"
#include "push/KoPushSDKPreferenceUtil.h"
#include "screens/shell/AppDelegate.h"
#include "utils/LMLogUtil.h"
#include "support/Sanitizers.h"

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

class AppLogFilesTest : public SignedRequestCloudTest {
 protected:
  void SetUp() override {
    SignedRequestCloudTest::SetUp();
    resetPush();
    lumora::installAppBundle();
    std::string error;
    ASSERT_TRUE(server_->registerLumoraApp(&error)) << error;
  }
  void TearDown() override {
    delegate_.reset();
    lumora::LMLogUtil::setLogDelegate(nullptr);
    lumora::QBLogUtil::stopLog();
    resetPush();
    platform::Bundle::reset();
    SignedRequestCloudTest::TearDown();
  }
  static void resetPush() {
    lumora::KoPushSDKController::sharedKoPushSDKSingleton().resetForTesting();
    lumora::KoPushNetWorkUtils::sharedNetworkSingleton().resetForTesting();
  }
  static std::string pushValue(const char* key) {
    return lumora::KoPushSDKPreferenceUtil::getStringWithKey(key).value_or("");
  }

  std::shared_ptr<lumora::AppDelegate> delegate_;
};

TEST_F(AppLogFilesTest, NoFileOfTheLogFolderHoldsASecretOfTheSignInOrThePushRegistration) {
  // The app as its window starts it, with the services that log and push.
  const auto standard = lumora::AppDelegate::Services::standard();
  lumora::AppDelegate::Services services;
  services.setLogDelegate = standard.setLogDelegate;
  services.startLog = standard.startLog;
  services.registerKoPush = standard.registerKoPush;
  services.bindDeviceToken = standard.bindDeviceToken;
  services.setAlias = standard.setAlias;
  services.signedInUserId = standard.signedInUserId;
  lumora::QBLogUtil::startLog();
  lumora::LMLogUtil::setLogDelegate(std::make_shared<lumora::AppLogDelegate>());
  loginThroughAccountService();
  delegate_ = lumora::AppDelegate::create(std::move(services));
  auto& app = platform::Application::shared();
  app.setIssuedDeviceToken(platform::Bytes(32, 0x5A));
  app.setDelegate(delegate_);
  ASSERT_TRUE(app.finishLaunching());
  // Registered, bound, and the alias of the signed-in user set.
  ASSERT_TRUE(platform::MainQueue::main().runUntil(
      [&] { return !server_->push().received("/v1/ios/command/set-alias").empty(); },
      testsupport::scaled(std::chrono::seconds(60))));
  lumora::KoPushSDKController::sharedKoPushSDKSingleton().getTaskQueue().sync([] {});
  platform::MainQueue::main().runUntilIdle();
  lumora::LoggerRegistry::flushLog();

  std::set<std::string> secrets;
  auto passport = lumora::QBPassportsManager::sharedManager()->passportForSid("lumora");
  ASSERT_TRUE(passport);
  for (const auto& value : {passport->passToken(), passport->serviceToken(), passport->sSecurity()}) {
    secrets.insert(value.value_or(""));
  }
  for (const char* key : {lumora::KOPUSH_SDK_S_ASSIGNED_USER_SECURITY, lumora::KOPUSH_SDK_S_ASSIGNED_USER_TOKEN,
                          lumora::KOPUSH_SDK_S_ASSIGNED_REG_SECRET, lumora::KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN}) {
    secrets.insert(pushValue(key));
  }
  for (const auto& cookie : platform::http::CookieStorage::shared().cookies()) {
    if (cookie.value.size() >= 8) secrets.insert(cookie.value);  // shorter ones are user ids
  }
  for (const auto& secret : secrets) ASSERT_GE(secret.size(), 8u) << "a secret the session did not get";

  std::string all;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(*lumora::QBLogUtil::getLogDir())) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    for (const auto& secret : secrets) {
      EXPECT_EQ(text.find(secret), std::string::npos) << "\"" << secret << "\" in " << entry.path();
    }
    all += text;
  }
  // Each outcome is still told, its secrets as the logs show them.
  for (const char* told : {"APNS Success(客户端注册设备): {", "\"ssecurity\":\"(hidden)\"", "\"token\":\"(hidden)\"",
                           "APNS Success(绑定 PushDeviceToken): {", "\"regsecret\":\"(hidden)\"",
                           "APNS Success(客户端设置别名)", "APNS token: (hidden)"}) {
    EXPECT_NE(all.find(told), std::string::npos) << told;
  }
}

}  // namespace
}  // namespace signedtest
