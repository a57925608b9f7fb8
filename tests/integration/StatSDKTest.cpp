// The statistics controller against the local cloud under the test clock:
// when points are committed, what the documents hold, the crash record
// that rides along, and the timing of the app's own requests.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "platform/app/Application.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/device/Reachability.h"
#include "platform/http/Connection.h"
#include "platform/http/SynchronousReply.h"
#include "server/CloudServer.h"
#include "stats/KoAPointStore.h"
#include "stats/KoStatCoreParam.h"
#include "stats/KoStatPreferenceUtil.h"
#include "stats/KoStatSDKController.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

using lumora::KoStatSDKController;
using platform::Json;

constexpr std::int64_t kNoon = 1577880000;  // 2020-01-01 12:00 UTC

class StatSDK : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MainQueue::main().resetForTesting();
    platform::MainQueue::main().bindToCurrentThread();
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    platform::Bundle::setInfoValue("KoSDKAppID", "2882303761517");
    platform::Bundle::setInfoValue("KoSDKAppKey", "5601751");
    platform::Bundle::setInfoValue("CFBundleIdentifier", "com.quenby.lumora");
    platform::Bundle::setInfoValue("CFBundleVersion", "1.0");
    lumora::KoStatCoreParam::setChannel(std::nullopt);
    server_ = localcloud::CloudServer::create(home_.root() / "cloud");
    ASSERT_TRUE(server_ && server_->start(0));
    transport_ = std::make_unique<lumora::KoANetworkUtils>(server_->url());
    upload_ = std::make_unique<lumora::KoAPointUpload>(*transport_);
    crashUpload_ = std::make_unique<lumora::KoACrashReportUpload>(*transport_);
    crash_ = std::make_unique<lumora::KoStatCrashController>(*crashUpload_);
    // The SDK's own controller, once an earlier test of this process counted
    // an event through it, hears the same app notifications and keeps its
    // pool in the same file as ours: each test starts with its pool empty.
    lumora::KoStatSDKController::shareKoStatSDKSingletion();
    auto& shared = lumora::KoAPointStore::shareSingletion();
    shared.cleanSendPoint(shared.getSendPoint().nUploadID);
    shared.getTaskQueue().sync([] {});
  }
  void TearDown() override {
    controller_.reset();
    crash_.reset();
    crashUpload_.reset();
    platform::MainQueue::main().resetForTesting();
    server_->stop();
    platform::Bundle::reset();
  }

  KoStatSDKController& launch(std::int32_t sendType, std::int32_t intervalSeconds = 0) {
    controller_.reset();
    controller_ = std::make_unique<KoStatSDKController>(pool_, *upload_, *crash_);
    controller_->setSendInterval(intervalSeconds);
    controller_->setSendType(sendType);
    settle();
    return *controller_;
  }
  // Lets every queued upload and its outcome run.
  void settle() {
    for (int i = 0; i < 2; ++i) {
      pool_.getTaskQueue().sync([] {});
      upload_->getTaskQueue().sync([] {});
      crashUpload_->getTaskQueue().sync([] {});
      platform::MainQueue::main().runUntilIdle();
    }
  }
  void advance(double seconds) {
    clock_->advance(platform::seconds(seconds));
    settle();
  }
  void count(const std::string& key) { controller_->setPointWithKey(key, std::int64_t{1}, "ui", 3, 1, std::nullopt); }
  std::vector<localcloud::StatsService::Received> forms(const char* path = "/kostats") {
    return server_->stats().received(path);
  }
  static Json packages(const localcloud::StatsService::Received& form) { return Json::parse(form.field("stat_value")); }
  static std::set<std::string> keys(const Json& package, const std::string& category) {
    std::set<std::string> out;
    for (const auto& c : package["content"]) {
      if (c["category"] != category) continue;
      for (const auto& item : c["values"]) {
        out.insert(item["key"].get<std::string>() + "=" + item["value"].get<std::string>());
      }
    }
    return out;
  }

  std::shared_ptr<platform::ManualClock> clock_ =
      std::make_shared<platform::ManualClock>(platform::Clock::TimePoint(std::chrono::seconds(kNoon)));
  platform::ScopedClock scoped_{clock_};
  testsupport::TestHome home_;
  std::unique_ptr<localcloud::CloudServer> server_;
  std::unique_ptr<lumora::KoANetworkUtils> transport_;
  std::unique_ptr<lumora::KoAPointUpload> upload_;
  std::unique_ptr<lumora::KoACrashReportUpload> crashUpload_;
  std::unique_ptr<lumora::KoStatCrashController> crash_;
  lumora::KoAPointStore pool_;
  std::unique_ptr<KoStatSDKController> controller_;
};

TEST_F(StatSDK, LaunchesAddBasicPointsOnceAndCommitOnce) {
  launch(0);
  auto sent = forms();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_FALSE(sent[0].has("channel"));
  std::set<std::string> basic;
  for (const auto& key : keys(packages(sent[0])[0], "kostat_basic")) basic.insert(key.substr(0, key.find('=')));
  // "operator" has no value without a carrier, so no item.
  basic.erase("operator");
  EXPECT_EQ(basic, (std::set<std::string>{"model", "OS", "IMEI", "new", "locale"}));

  // Under type 0 a point waits for the next launch, which commits once.
  count("tap");
  settle();
  EXPECT_EQ(forms().size(), 1u);
  launch(0);
  ASSERT_EQ(forms().size(), 2u);
  EXPECT_EQ(keys(packages(forms()[1])[0], "ui"), (std::set<std::string>{"tap=1"}));

  platform::Bundle::setInfoValue("CFBundleVersion", "1.1");
  launch(0);
  ASSERT_EQ(forms().size(), 3u);
  EXPECT_EQ(keys(packages(forms()[2])[0], "kostat_basic"), (std::set<std::string>{"upgrade=1"}));
}

TEST_F(StatSDK, SendTypesDecideWhenPointsGoUp) {
  auto& controller = launch(0);
  count("tap");
  settle();
  EXPECT_EQ(forms().size(), 1u);
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(platform::kApplicationDidEnterBackgroundNotification);
  center.post(platform::kApplicationWillEnterForegroundNotification);
  settle();
  ASSERT_EQ(forms().size(), 2u);
  EXPECT_EQ(keys(packages(forms()[1])[0], "ui"), (std::set<std::string>{"tap=1"}));

  // Type 3, two minutes: a commit every 120 s, the first 120 s on.
  controller.setSendInterval(120);
  controller.setSendType(3);
  count("tick");
  advance(119);
  EXPECT_EQ(forms().size(), 2u);
  advance(1);
  EXPECT_EQ(forms().size(), 3u);
  count("tock");
  advance(120);
  EXPECT_EQ(forms().size(), 4u);

  // A period of 0 arms no timer (one would fire without end).
  launch(3, 0);
  count("never");
  advance(3600 * 24 * 10);
  EXPECT_EQ(forms().size(), 4u);
  EXPECT_EQ(platform::MainQueue::main().runUntilIdle(), 0u);
}

TEST_F(StatSDK, DocumentsCarryEveryPointOnceAndTheCrashRecordRidesAlong) {
  auto& controller = launch(4);
  server_->stats().clearReceived();
  clock_->setTime(platform::Clock::TimePoint(std::chrono::seconds(kNoon + 12 * 3600 - 60)));  // 23:59
  for (int i = 0; i < 3; ++i) count("tap");
  for (long v : {4, 5, 6}) controller.setPointWithKey("size", std::int64_t{v}, "ui", 2, 1, std::nullopt);
  controller.setPointWithKey("0", std::string("New York"), std::nullopt, 5, 1, std::nullopt);
  advance(120);  // 00:01 the next day
  count("late");
  crash_->enabledCrashReportWithMode(1);
  lumora::KoACrashMessage message;
  message.objAppInfo = lumora::KoACMAppInfo::current();
  message.objException.strType = "signal:11 -->segmentation violation";
  message.objException.arrCallStack = {{"0   lumora 0x1 main + 1"}};
  lumora::KoACrashReportStore::shareSingletion().saveCrashMessage(message);
  controller.commit();
  settle();
  ASSERT_EQ(forms().size(), 1u);
  EXPECT_EQ(forms("/kocrash").size(), 1u);
  Json sent = packages(forms()[0]);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(keys(sent[0], "ui"), (std::set<std::string>{"tap=3", "size=4", "size=5", "size=6"}));
  bool page = false;
  for (const auto& c : sent[0]["content"]) page |= c["category"] == "kostat_pv" && c["index"] == "New York";
  EXPECT_TRUE(page);
  EXPECT_EQ(keys(sent[1], "ui"), (std::set<std::string>{"late=1"}));

  // A point dated after tomorrow's midnight (the clock was set back since)
  // goes with today's and hides nothing; all leave the pool once sent.
  clock_->stepWallTime(platform::seconds(3 * 86400));
  count("ahead");
  clock_->stepWallTime(-platform::seconds(3 * 86400));
  count("back");
  controller.commit();
  settle();
  ASSERT_EQ(forms().size(), 2u);
  sent = packages(forms()[1]);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(keys(sent[0], "ui"), (std::set<std::string>{"ahead=1", "back=1"}));
  controller.commit();
  settle();
  EXPECT_EQ(forms().size(), 2u);
}

TEST_F(StatSDK, TheAppsRequestsAreTimedAndSampledUnderTheServicesLimits) {
  using Pref = lumora::KoStatPreferenceUtil;
  auto& controller = launch(4);
  std::uint32_t draw = 0;
  controller.setRandomSource([&] { return draw; });
  controller.enableAnalyticsNetwork(true, {});
  platform::http::Request ok;
  ok.url = server_->url() + "/_admin/stats";
  EXPECT_EQ(platform::http::sendSynchronousRequest(ok).response->statusCode(), 200);
  platform::http::Request refused;
  refused.url = "http://127.0.0.1:1/x";
  EXPECT_FALSE(platform::http::sendSynchronousRequest(refused).ok());
  bool done = false;
  platform::http::Connection::Callbacks callbacks;
  callbacks.didFinishLoading = [&] { done = true; };
  platform::http::Connection connection(ok, callbacks, [](auto task) { platform::MainQueue::main().async(task); });
  connection.start();
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return done; },
                                                   testsupport::scaled(std::chrono::seconds(10))));
  controller.enableAnalyticsNetwork(false, {});
  EXPECT_EQ(platform::http::sendSynchronousRequest(ok).response->statusCode(), 200);

  server_->stats().setReplyData("/realtime_network",
                                Json{{"sample_rate", 1}, {"delay", 61000}, {"ban_time", kNoon + 1000}});
  controller.commitNetRequestList();
  settle();
  auto sent = forms("/realtime_network");
  ASSERT_EQ(sent.size(), 1u);
  Json samples = Json::parse(sent[0].field("net_value"));
  std::multiset<std::int64_t> codes;
  for (const auto& entry : samples) {
    for (const auto& sample : entry["data"]) {
      codes.insert(sample["code"].get<std::int64_t>());
      if (sample["code"] == 200) {
        EXPECT_EQ(sample["dns"], "127.0.0.1");
      }
    }
  }
  EXPECT_EQ(codes, (std::multiset<std::int64_t>{0, 200, 200}));
  EXPECT_EQ(Pref::getIntWithKey(KoStatSDKController::kSampleKey), 1);

  // Banned until kNoon + 1000; then a draw above the rate stops it.
  controller.commitNetRequestList();
  settle();
  EXPECT_EQ(forms("/realtime_network").size(), 1u);
  draw = 2;
  advance(1000);  // the 300 s timer's ticks too
  controller.commitNetRequestList();
  draw = 0xFFFFFFFF;  // remainder 7295, not -1 (which passed every rate)
  controller.commitNetRequestList();
  settle();
  EXPECT_EQ(forms("/realtime_network").size(), 1u);
  // An empty list goes up at most once a day.
  draw = 10001;  // remainder 1
  controller.commitNetRequestList();
  settle();
  controller.commitNetRequestList();
  settle();
  EXPECT_EQ(forms("/realtime_network").size(), 2u);

  // The period follows the stored delay: 61 s from 61000, 300 s below it.
  server_->stats().setReplyData("/realtime_network", Json::object());
  Pref::setKeyIntValue(KoStatSDKController::kSampleKey, 0);
  for (auto [delay, period] : {std::pair{61000, 61.0}, std::pair{60999, 300.0}}) {
    Pref::setKeyIntValue(KoStatSDKController::kDelayKey, delay);
    Pref::setKeyDoubleValue(KoStatSDKController::kUploadTimeKey, 0);
    auto before = forms("/realtime_network").size();
    launch(4);
    advance(period - 1);
    EXPECT_EQ(forms("/realtime_network").size(), before) << delay;
    advance(1);
    EXPECT_EQ(forms("/realtime_network").size(), before + 1) << delay;
  }
}

}  // namespace
