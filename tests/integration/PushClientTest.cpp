// The push client against the local cloud's push service: the
// registration ladder, commands and their lists, the 66007 reset, and the
// server-side sends.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/app/Application.h"
#include "platform/device/Bundle.h"
#include "platform/device/Device.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/device/Reachability.h"
#include "push/KoPushAndroidMessage.h"
#include "push/KoPushIOSMessage.h"
#include "push/KoPushNetworkServerUtils.h"
#include "push/KoPushSDK.h"
#include "push/KoPushSDKController.h"
#include "push/KoPushSDKPreferenceUtil.h"
#include "push/KoPushServerSDK.h"
#include "server/CloudServer.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "utils/ServiceHosts.h"

namespace {

using lumora::KoPushSDK;
using lumora::KoPushSDKPreferenceUtil;
using localcloud::PushService;
using platform::Json;
using namespace std::chrono_literals;

struct PushReport {
  std::string selector;
  std::int32_t code = 0;
  Json data;
};

const platform::Bytes kToken{0xAB, 0x01, 0xFF, 0x00};

class PushClient : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    server_ = localcloud::CloudServer::create(home_.root() / "cloud");
    ASSERT_TRUE(server_ && server_->start(0));
    ASSERT_TRUE(server_->push().addApp({"2882303761517", "5111", "com.quenby.lumora", "ios-secret", "android-secret"}));
    std::string port = std::to_string(server_->port());
    lumora::ServiceHosts::set(lumora::ServiceHosts::kPush, "http://127.0.0.1:" + port);
    lumora::ServiceHosts::set(lumora::ServiceHosts::kPushSandbox, "http://localhost:" + port);
    platform::Bundle::setInfoValue("KoSDKAppID", "2882303761517");
    platform::Bundle::setInfoValue("KoSDKAppKey", "5111");
    platform::Bundle::setInfoValue("KoSDKAppSecretIOS", "ios-secret");
    platform::Bundle::setInfoValue("KoSDKAppSecretANDROID", "android-secret");
    platform::MainQueue::main().bindToCurrentThread();
    platform::Application::shared().resetForTesting();
    resetPush();
    delegate_->koPushRequestSuccWithSelector = [this](const std::string& selector, const Json& data) {
      reports_.push_back({selector, 0, data});
    };
    delegate_->koPushRequestErrWithSelector = [this](const std::string& selector, std::int32_t code, const Json& data) {
      reports_.push_back({selector, code, data});
    };
  }
  void TearDown() override {
    resetPush();
    server_->stop();
    lumora::ServiceHosts::reset();
    platform::Bundle::reset();
    platform::Device::configure({});
    platform::Application::shared().resetForTesting();
  }
  static void resetPush() {
    lumora::KoPushSDKController::sharedKoPushSDKSingleton().resetForTesting();
    lumora::KoPushServerSDKController::sharedKoPushServerSDKSingleton().resetForTesting();
    lumora::KoPushNetWorkUtils::sharedNetworkSingleton().resetForTesting();
    lumora::KoPushNetworkServerUtils::sharedNetworkSingleton().resetForTesting();
  }

  void waitForReports(std::size_t count) {
    ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return reports_.size() >= count; },
                                                     testsupport::scaled(20s)))
        << reports_.size() << " reports";
  }
  // Lets every queued request end and its outcome run, also those that
  // outcomes queue.
  static void settle() {
    for (int round = 0; round < 3; ++round) {
      lumora::KoPushSDKController::sharedKoPushSDKSingleton().getTaskQueue().sync([] {});
      platform::MainQueue::main().runUntilIdle();
    }
  }
  std::vector<localcloud::PushReceived> sent(const std::string& path) { return server_->push().received(path); }
  static std::string stored(const char* key) { return KoPushSDKPreferenceUtil::getStringWithKey(key).value_or(""); }
  void expectLast(const std::string& selector, std::int32_t code) {
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().selector, selector);
    EXPECT_EQ(reports_.back().code, code) << reports_.back().data.dump();
  }
  // Registers the app user and binds kToken.
  void registerAndBind() {
    KoPushSDK::registerKoPush(delegate_);
    waitForReports(reports_.size() + 1);
    expectLast("registerKoPush:", 0);
    KoPushSDK::bindDeviceToken(kToken);
    waitForReports(reports_.size() + 1);
    expectLast("bindDeviceToken:", 0);
    ASSERT_FALSE(stored(lumora::KOPUSH_SDK_S_ASSIGNED_REG_ID).empty());
  }
  void failNext(const std::string& path) {
    localcloud::Fault fault;
    fault.code = 500;
    fault.times = 1;
    server_->faults().set(path, fault);
  }

  testsupport::TestHome home_;
  std::unique_ptr<localcloud::CloudServer> server_;
  std::shared_ptr<lumora::KoPushSDKDelegate> delegate_ = std::make_shared<lumora::KoPushSDKDelegate>();
  std::vector<PushReport> reports_;
};

TEST_F(PushClient, RegistrationClimbsTheLadderOnceAndAsksThePlatform) {
  KoPushSDK::bindDeviceToken(std::nullopt);
  KoPushSDK::registerKoPush(delegate_);
  EXPECT_TRUE(reports_.empty()) << "no data: nothing at all; the registration waits for its reply";
  KoPushSDK::registerKoPush(delegate_);
  expectLast("registerKoPush:", lumora::KoPushSDKController::kBusy);
  KoPushSDK::bindDeviceToken(kToken);
  expectLast("bindDeviceToken:", lumora::KoPushSDKController::kNoUser);
  waitForReports(3);
  expectLast("registerKoPush:", 0);
  std::string userId = reports_.back().data.value("userId", Json()).dump();
  auto registers = sent("/pass/register");
  ASSERT_EQ(registers.size(), 1u);
  EXPECT_EQ(registers[0].env, PushService::kSandbox) << "without \"KoSDKRun\" the sandbox is used";
  auto& app = platform::Application::shared();
  EXPECT_TRUE(app.isRegisteredForRemoteNotifications());
  EXPECT_EQ(app.currentUserNotificationTypes(), 7u);

  // The platform's token reaches the client through the app delegate.
  auto appDelegate = std::make_shared<platform::ApplicationDelegate>();
  appDelegate->didRegisterForRemoteNotificationsWithDeviceToken = [](const platform::Bytes& token) {
    KoPushSDK::bindDeviceToken(token);
  };
  app.setDelegate(appDelegate);
  ASSERT_TRUE(app.deliverDeviceToken(kToken));
  waitForReports(4);
  expectLast("bindDeviceToken:", 0);
  std::string regid = reports_.back().data.value("regid", "");
  EXPECT_FALSE(regid.empty());
  auto binds = sent("/v1/ios/register");
  ASSERT_EQ(binds.size(), 1u);
  EXPECT_EQ(binds[0].field("devicetoken"), "ab01ff00");
  EXPECT_FALSE(binds[0].has("regid"));

  // Each rung once: the same token and a second start send nothing.
  KoPushSDK::bindDeviceToken(kToken);
  expectLast("bindDeviceToken:", 0);
  EXPECT_EQ(reports_.back().data.value("regid", ""), regid);
  KoPushSDK::registerKoPush(delegate_, 2);
  expectLast("registerKoPush:type:", 0);
  EXPECT_EQ(reports_.back().data.value("userId", Json()).dump(), "\"" + userId + "\"");
  EXPECT_EQ(sent("/pass/register").size(), 1u);
  EXPECT_EQ(sent("/v1/ios/register").size(), 1u);
  EXPECT_EQ(app.remoteNotificationRegistrationCount(), 2);
  EXPECT_EQ(app.currentUserNotificationTypes(), 2u);

  // Below system version 8.0 the older call asks for the types.
  platform::DeviceFacts facts;
  facts.systemVersion = "7.1";
  platform::Device::configure(facts);
  KoPushSDK::registerKoPush(delegate_, 0);
  EXPECT_EQ(app.enabledRemoteNotificationTypes(), 7u);
  EXPECT_EQ(app.remoteNotificationRegistrationCount(), 3);
}

TEST_F(PushClient, ARunModeSwitchWipesTheLadderAndMovesToTheOtherHost) {
  registerAndBind();
  KoPushSDK::setAlias("u1");
  waitForReports(reports_.size() + 1);
  platform::Bundle::setInfoValue("KoSDKRun", "ONLINE");
  lumora::KoPushNetWorkUtils::sharedNetworkSingleton().resetForTesting();  // a new launch
  KoPushSDK::registerKoPush(delegate_);
  EXPECT_EQ(stored(lumora::KOPUSH_SDK_S_ASSIGNED_REG_ID), "");
  EXPECT_EQ(stored(lumora::KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN), "");
  EXPECT_FALSE(KoPushSDK::getAllAlias());
  waitForReports(reports_.size() + 1);
  expectLast("registerKoPush:", 0);
  auto registers = sent("/pass/register");
  ASSERT_EQ(registers.size(), 2u);
  EXPECT_EQ(registers[1].env, PushService::kProduction);
  KoPushSDK::bindDeviceToken(kToken);
  waitForReports(reports_.size() + 1);
  expectLast("bindDeviceToken:", 0);
  EXPECT_EQ(sent("/v1/ios/register").back().env, PushService::kProduction);
}

TEST_F(PushClient, CommandsNeedARegistrationAndListOnlyWhatTheServiceAccepted) {
  KoPushSDK::registerKoPush(delegate_);
  waitForReports(1);
  for (auto command : {+[] { KoPushSDK::setAlias("u1"); }, +[] { KoPushSDK::subscribe("news"); },
                       +[] { KoPushSDK::openAppNotify("m1"); }}) {
    command();
    EXPECT_EQ(reports_.back().code, lumora::KoPushSDKController::kNoRegistration) << reports_.back().selector;
  }
  KoPushSDK::setAlias("");
  expectLast("setAlias:", lumora::KoPushSDKController::kBadArgument);
  KoPushSDK::unregisterKoPush();
  expectLast("unregisterKoPush", 0);
  EXPECT_TRUE(sent("/v1/ios/unregister").empty());
  KoPushSDK::bindDeviceToken(kToken);
  waitForReports(reports_.size() + 1);

  KoPushSDK::subscribe("news");
  waitForReports(reports_.size() + 1);
  expectLast("subscribe:", 0);
  KoPushSDK::subscribe("news");
  expectLast("subscribe:", 0);
  EXPECT_EQ(reports_.back().data, (Json{{"topic", "news"}}));
  EXPECT_EQ(sent("/v1/ios/subscribe").size(), 1u);
  for (int i = 0; i < 2; ++i) {
    KoPushSDK::setAlias("u1");
    waitForReports(reports_.size() + 1);
    expectLast("setAlias:", 0);
  }
  EXPECT_EQ(sent("/v1/ios/command/set-alias").size(), 2u);
  EXPECT_EQ(KoPushSDK::getAllAlias(), std::vector<std::string>{"u1"});

  // A failed command changes no list: a failed unset keeps the alias, so
  // that logging out can unset it again.
  failNext("/v1/ios/command/unset-alias");
  KoPushSDK::unsetAlias("u1");
  waitForReports(reports_.size() + 1);
  expectLast("unsetAlias:", -5);
  EXPECT_EQ(reports_.back().data.value("alias", ""), "u1");
  EXPECT_EQ(KoPushSDK::getAllAlias(), std::vector<std::string>{"u1"});
  failNext("/v1/ios/command/set-alias");
  KoPushSDK::setAlias("u2");
  failNext("/v1/ios/unsubscribe");
  KoPushSDK::unsubscribe("news");
  waitForReports(reports_.size() + 2);
  EXPECT_EQ(KoPushSDK::getAllAlias(), std::vector<std::string>{"u1"});
  EXPECT_EQ(KoPushSDK::getAllTopic(), std::vector<std::string>{"news"});
  KoPushSDK::unsetAlias("u1");
  KoPushSDK::unsetAlias("never-set");
  waitForReports(reports_.size() + 2);
  expectLast("unsetAlias:", 0);
  EXPECT_EQ(KoPushSDK::getAllAlias(), std::vector<std::string>{});

  KoPushSDK::openAppNotify(std::nullopt);
  KoPushSDK::openAppNotify("m1");
  waitForReports(reports_.size() + 2);
  auto reports = sent("/v1/ios/notify");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_FALSE(reports[0].has("messageid"));
  EXPECT_EQ(reports[1].field("messageid"), "m1");
  EXPECT_EQ(reports[1].field("type"), "bar:click");

  // Unbinding clears the registration even when the service failed.
  failNext("/v1/ios/unregister");
  KoPushSDK::unregisterKoPush();
  waitForReports(reports_.size() + 1);
  expectLast("unregisterKoPush", -5);
  EXPECT_EQ(stored(lumora::KOPUSH_SDK_S_ASSIGNED_REG_ID), "");
  EXPECT_EQ(stored(lumora::KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN), "");
  EXPECT_FALSE(KoPushSDK::getAllTopic());
  EXPECT_FALSE(stored(lumora::KOPUSH_SDK_S_ASSIGNED_USER_ID).empty());
  EXPECT_FALSE(platform::Application::shared().isRegisteredForRemoteNotifications());
}

TEST_F(PushClient, A66007ReplyDropsTheRegistrationAndBindsAgainSilently) {
  registerAndBind();
  std::string regid = stored(lumora::KOPUSH_SDK_S_ASSIGNED_REG_ID);
  KoPushSDK::subscribe("news");
  waitForReports(reports_.size() + 1);
  std::size_t heard = reports_.size();
  server_->push().expireNextCommand();
  KoPushSDK::setAlias("u1");
  settle();
  ASSERT_EQ(reports_.size(), heard + 1) << "only the command's failure is reported";
  expectLast("setAlias:", -5);
  EXPECT_EQ(reports_.back().data.value("code", 0), lumora::KoPushSDKController::kRegistrationResetCode);
  EXPECT_EQ(sent("/v1/ios/register").size(), 2u);
  EXPECT_NE(stored(lumora::KOPUSH_SDK_S_ASSIGNED_REG_ID), regid);
  EXPECT_FALSE(sent("/v1/ios/register").back().has("regid"));
  EXPECT_FALSE(KoPushSDK::getAllTopic());
  EXPECT_FALSE(KoPushSDK::getAllAlias());

  // When the silent binding fails, the app's next binding of the same
  // token is sent rather than answered from the empty registration.
  server_->push().expireNextCommand();
  failNext("/v1/ios/register");
  KoPushSDK::subscribe("news");
  settle();
  EXPECT_EQ(stored(lumora::KOPUSH_SDK_S_ASSIGNED_REG_ID), "");
  EXPECT_EQ(stored(lumora::KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN), "ab01ff00");
  KoPushSDK::bindDeviceToken(kToken);
  waitForReports(reports_.size() + 1);
  expectLast("bindDeviceToken:", 0);
  EXPECT_EQ(sent("/v1/ios/register").size(), 3u);
  EXPECT_FALSE(stored(lumora::KOPUSH_SDK_S_ASSIGNED_REG_ID).empty());
}

TEST_F(PushClient, ServerSideSendsCarryTheSecretOfTheirPlatform) {
  std::vector<PushReport> outcomes;
  auto serverDelegate = std::make_shared<lumora::KoPushServerSDKDelegate>();
  serverDelegate->koPushServerSendWithResult = [&](std::int32_t code, const Json& data) {
    outcomes.push_back({"send", code, data});
  };
  serverDelegate->koPushServerStatsWithResult = [&](std::int32_t code, const Json& data) {
    outcomes.push_back({"stats", code, data});
  };
  lumora::KoPushServerSDK::registerKoPushServer(serverDelegate);
  auto wait = [&](std::size_t count) {
    ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return outcomes.size() >= count; },
                                                     testsupport::scaled(20s)));
  };
  auto ios = std::make_shared<lumora::KoPushIOSMessage>("Title", "Hello");
  auto android = std::make_shared<lumora::KoPushAndroidMessage>("Title", "Hello");

  lumora::KoPushServerSDK::sendWithRegids({}, ios);
  lumora::KoPushServerSDK::sendWithAlias("u1", nullptr);
  lumora::KoPushServerSDK::getSendStatsWithStart("20150301", "20150302");  // debug mode
  ASSERT_EQ(outcomes.size(), 3u);
  for (const PushReport& outcome : outcomes) EXPECT_EQ(outcome.code, -5);

  lumora::KoPushServerSDK::sendWithRegids({"a", "b", "c"}, ios);
  wait(4);
  EXPECT_EQ(outcomes.back().code, 0);
  EXPECT_EQ(outcomes.back().data.value("regid", ""), "a,b,c");
  lumora::KoPushServerSDK::sendWithAlias("u1", android);
  wait(5);
  EXPECT_EQ(outcomes.back().code, 0);
  auto byIds = sent("/v2/message/regid");
  ASSERT_EQ(byIds.size(), 1u);
  EXPECT_EQ(byIds[0].field("registration_id"), "a,b,c");
  EXPECT_EQ(byIds[0].authorization, "key=ios-secret");
  auto byAlias = sent("/v2/message/alias");
  ASSERT_EQ(byAlias.size(), 1u);
  EXPECT_EQ(byAlias[0].authorization, "key=android-secret");
  for (const char* field : {"notify_type", "pass_through", "notify_id", "time_to_live"}) {
    EXPECT_EQ(byAlias[0].field(field), "0") << field;
  }
  EXPECT_FALSE(byAlias[0].has("platform"));
  EXPECT_TRUE(sent("/v1/stats/message/counters").empty());

  platform::Bundle::setInfoValue("KoSDKRun", "online");
  lumora::KoPushNetworkServerUtils::sharedNetworkSingleton().resetForTesting();  // a new launch
  lumora::KoPushServerSDK::getSendStatsWithStart("20000101", "29991231");
  wait(6);
  EXPECT_EQ(outcomes.back().selector, "stats");
  EXPECT_EQ(outcomes.back().code, 0) << outcomes.back().data.dump();
  EXPECT_TRUE(outcomes.back().data.contains("counters"));
  auto queries = sent("/v1/stats/message/counters");
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].env, PushService::kProduction);
  EXPECT_EQ(queries[0].method, "GET");
  EXPECT_EQ(queries[0].field("restricted_package_name"), "com.quenby.lumora");

  // Without a secret the request goes without the header, and is refused.
  platform::Bundle::removeInfoValue("KoSDKAppSecretIOS");
  lumora::KoPushServerSDK::sendWithTopic("news", ios);
  wait(7);
  EXPECT_EQ(outcomes.back().code, -5);
  EXPECT_EQ(outcomes.back().data.value("code", 0), PushService::kCodeUnauthorized);
  EXPECT_EQ(sent("/v2/message/topic").back().authorization, "");
}

TEST_F(PushClient, RepliesAreJudgedByTheirResult) {
  lumora::KoPushNetWorkUtils network(server_->url());
  const lumora::KoPushNetWorkUtils::Form form{{"regid", "r"}};
  struct Case {
    std::string body;
    std::int32_t code;
    Json output;
  } cases[] = {
      {R"({"result":"ok","data":{"regid":"r"}})", 0, {{"regid", "r"}}},
      {R"({"status":"ok"})", -5, {{"status", "ok"}}},
      {R"({"result":"error","code":66007})", -5, {{"result", "error"}, {"code", 66007}}},
      {"[]", -6, nullptr},
  };
  for (const Case& c : cases) {
    localcloud::Fault fault;
    fault.body = c.body;
    fault.times = 1;
    server_->faults().set("/v1/ios/notify", fault);
    Json output;
    EXPECT_EQ(network.doPerformRequest(&lumora::KoPushNetWorkUtils::requestNotify, form, output), c.code) << c.body;
    EXPECT_EQ(output, c.output) << c.body;
  }
  Json output;
  EXPECT_EQ(network.doPerformRequest(&lumora::KoPushNetworkServerUtils::sendWithTopic, form, output), -5)
      << "an operation of another transport";
  EXPECT_EQ(network.doPerformRequest(&lumora::KoPushNetWorkUtils::requestNotify, {}, output), -5);
}

}  // namespace
