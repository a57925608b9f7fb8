// The analytics maintenance chain against the local cloud's analytics
// service: packaging, one request per fragment, a refused upload kept for
// the next chain, overlapping upload steps, and the previous run's crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "harbor/BBXUserDefaults.h"
#include "harbor/Harbor.h"
#include "harbor/analytics/BBXAnalyticsController.h"
#include "harbor/analytics/BBXTallyCustomEvent.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Semaphore.h"
#include "server/CloudServer.h"
#include "support/ClockMover.h"
#include "support/PlantedFiles.h"
#include "support/TestHome.h"

namespace {

using lumora::BBXAnalyticsController;

class AnalyticsUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Clock::setCurrent(clock_);
    server_ = localcloud::CloudServer::create(home_.root() / "cloud");
    ASSERT_TRUE(server_ && server_->start(0));
    harbor_.setAPIKey("key-1");
  }
  void TearDown() override {
    controllers_.clear();
    platform::Clock::setCurrent(nullptr);
  }
  std::shared_ptr<BBXAnalyticsController> make(const std::string& session) {
    BBXAnalyticsController::Collaborators collaborators;
    collaborators.harbor = &harbor_;
    collaborators.defaults = &defaults_;
    auto controller = BBXAnalyticsController::make(session, root_, std::nullopt, collaborators);
    controller->setSettings(platform::Json{
        {"features", {{"collect_analytics", true}}},
        {"analytics", {{"url", server_->url() + localcloud::AnalyticsService::kPath}, {"track_custom_events", true}}}});
    controllers_.push_back(controller);
    return controller;
  }
  // Runs `step` and waits for its completion.
  static platform::Status await(const std::function<void(BBXAnalyticsController::Completion)>& step) {
    auto done = std::make_shared<platform::Semaphore>(0);
    auto result = std::make_shared<platform::Status>();
    step([done, result](const platform::Status& status) {
      *result = status;
      done->signal();
    });
    done->wait();
    return *result;
  }
  std::size_t fragments(const std::string& state) const {
    std::size_t count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root_ / "v1" / state, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); ++it) {
      count += it.depth() == 1 ? 1 : 0;
    }
    return count;
  }
  std::vector<std::string> keys(const std::string& session) const {
    std::vector<std::string> list;
    for (const auto& record : server_->analytics().events(session)) list.push_back(record.key);
    return list;
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  std::unique_ptr<localcloud::CloudServer> server_;
  lumora::BBXUserDefaults defaults_{home_.root() / "defaults"};
  lumora::Harbor harbor_{&defaults_};
  std::filesystem::path root_ = home_.root() / "analytics";
  std::vector<std::shared_ptr<BBXAnalyticsController>> controllers_;
};

TEST_F(AnalyticsUploadTest, ChainsUploadClosedFragmentsAndKeepRefusedOnes) {
  auto controller = make("run-1");
  const std::string session = harbor_.executionIdentifier();
  controller->logCustomEvent(lumora::BBXTallyCustomEvent::make("first"));
  controller->logAppLaunched();
  EXPECT_TRUE(await([&](auto done) { controller->maintainSessionFragments(done); }).ok());
  EXPECT_EQ(server_->analytics().uploads().size(), 1u);
  EXPECT_EQ(server_->analytics().uploads()[0].fileNames, (std::vector<std::string>{"1.log.zip", "2.log.zip"}));
  EXPECT_EQ(keys(session), (std::vector<std::string>{"app_launched", "custom"}));
  EXPECT_EQ(fragments("ACTIVE"), 1u);  // only the open one
  EXPECT_EQ(fragments("PACKAGED"), 0u);

  // Refused on every attempt (the retries wait only the least wait, which
  // the clock is moved over): kept for the next chain, which sends it.
  localcloud::Fault overloaded;
  overloaded.status = 503;
  overloaded.retryAfterHeader = "0";
  overloaded.times = 11;
  server_->faults().set(localcloud::AnalyticsService::kPath, overloaded);
  controller->logCustomEvent(lumora::BBXTallyCustomEvent::make("second"));
  controller->priorityEventLoggingQueue(2).sync([] {});
  std::promise<platform::Status> refused;
  controller->maintainSessionFragments([&refused](const platform::Status& status) { refused.set_value(status); });
  auto refusedDone = refused.get_future();
  ASSERT_TRUE(testsupport::waitMovingClock(refusedDone, *clock_));
  EXPECT_TRUE(refusedDone.get().ok());
  EXPECT_EQ(server_->analytics().uploads().size(), 1u);
  EXPECT_EQ(fragments("PACKAGED"), 1u);
  EXPECT_TRUE(await([&](auto done) { controller->maintainSessionFragments(done); }).ok());
  EXPECT_EQ(server_->analytics().uploads().size(), 2u);
  EXPECT_EQ(fragments("PACKAGED"), 0u);

  // Two upload steps back to back: the second finds the first under way.
  controller->logCustomEvent(lumora::BBXTallyCustomEvent::make("third"));
  controller->priorityEventLoggingQueue(2).sync([] {});
  EXPECT_TRUE(await([&](auto done) { controller->openNewSessionFragment(done); }).ok());
  EXPECT_TRUE(await([&](auto done) { controller->packageClosedSessionFragments(done); }).ok());
  auto firstDone = std::make_shared<platform::Semaphore>(0);
  controller->transmitPackagedSessionFragments([firstDone](const platform::Status& status) {
    EXPECT_TRUE(status.ok());
    firstDone->signal();
  });
  const platform::Status second = await([&](auto done) { controller->transmitPackagedSessionFragments(done); });
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().code(), -1);
  firstDone->wait();
  EXPECT_EQ(server_->analytics().uploads().size(), 3u);
}

// A pipe among a fragment's logs holds no maintenance: it is left out and
// the fragment's logs go.
TEST_F(AnalyticsUploadTest, APipeAmongTheLogsIsLeftOut) {
  auto controller = make("run-1");
  controller->logCustomEvent(lumora::BBXTallyCustomEvent::make("first"));
  controller->logAppLaunched();
  controller->priorityEventLoggingQueue(2).sync([] {});
  const auto fragment = controller->currentSessionFragmentDirectoryURL();
  ASSERT_TRUE(fragment);
  const auto pipe = *fragment / "0.log";
  ASSERT_FALSE(std::filesystem::exists(pipe));
  ASSERT_TRUE(testsupport::plant(testsupport::Planted::Pipe, pipe, {}));
  platform::Status maintained;
  EXPECT_TRUE(testsupport::endsWithoutWaitingOn(
      pipe, [&] { maintained = await([&](auto done) { controller->maintainSessionFragments(done); }); }));
  EXPECT_TRUE(maintained.ok());
  ASSERT_EQ(server_->analytics().uploads().size(), 1u);
  EXPECT_EQ(server_->analytics().uploads()[0].fileNames, (std::vector<std::string>{"1.log.zip", "2.log.zip"}));
}

TEST_F(AnalyticsUploadTest, PreviousRunCrashIsUploadedUnderThatRun) {
  auto first = make("run-1");
  const std::string firstSession = harbor_.executionIdentifier();
  first->sessionMaintenanceQueue().sync([] {});
  controllers_.clear();
  first.reset();

  clock_->advance(std::chrono::hours(1));
  auto second = make("run-2");
  second->logPreviousSessionCrashedOnDate(
      std::chrono::duration<double>(clock_->now().time_since_epoch()).count() - 60);
  EXPECT_TRUE(await([&](auto done) { second->maintainSessionFragments(done); }).ok());
  const auto events = server_->analytics().events(firstSession);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].key, "app_crashed");
}

}  // namespace
