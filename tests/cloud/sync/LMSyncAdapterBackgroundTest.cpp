// Background jobs of the sync adapters run inside a platform background task:
// the stand-in's own rules, then how the adapter's task queue holds and
// releases a task for each background job.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <memory>
#include <vector>

#include "cloud/sync/LMSyncAdapter.h"
#include "platform/app/BackgroundTask.h"
#include "platform/dispatch/Clock.h"
#include "support/TestHome.h"

namespace {

using platform::BackgroundTask;

class BackgroundTaskTest : public ::testing::Test {
 protected:
  void SetUp() override { BackgroundTask::resetForTesting(); }
  void TearDown() override { BackgroundTask::resetForTesting(); }
};

TEST_F(BackgroundTaskTest, TasksBeginAndEndOnceAndTimeCountsDownFromTheOldest) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  EXPECT_TRUE(std::isinf(BackgroundTask::timeRemaining()));

  auto first = BackgroundTask::begin("upload", nullptr);
  clock->advance(platform::seconds(30));
  auto second = BackgroundTask::begin("sync", nullptr);
  EXPECT_NE(first, BackgroundTask::kInvalid);
  EXPECT_NE(second, first);
  EXPECT_EQ(BackgroundTask::runningNames(), (std::vector<std::string>{"upload", "sync"}));
  EXPECT_DOUBLE_EQ(BackgroundTask::timeRemaining(), 150.0);

  BackgroundTask::end(first);
  BackgroundTask::end(first);                    // already ended
  BackgroundTask::end(BackgroundTask::kInvalid);  // never a task
  EXPECT_EQ(BackgroundTask::runningCount(), 1u);
  EXPECT_DOUBLE_EQ(BackgroundTask::timeRemaining(), 180.0);
  clock->advance(platform::seconds(500));
  EXPECT_DOUBLE_EQ(BackgroundTask::timeRemaining(), 0.0);
}

TEST_F(BackgroundTaskTest, ExpiryCallsEveryHandlerAndEndsWhatTheyLeaveRunning) {
  std::vector<std::string> called;
  BackgroundTask::Identifier polite = BackgroundTask::kInvalid;
  polite = BackgroundTask::begin("polite", [&] {
    called.push_back("polite");
    BackgroundTask::end(polite);
  });
  BackgroundTask::begin("careless", [&] { called.push_back("careless"); });

  EXPECT_EQ(BackgroundTask::expireAll(), 1u);
  EXPECT_EQ(called, (std::vector<std::string>{"polite", "careless"}));
  EXPECT_EQ(BackgroundTask::runningCount(), 0u);
  EXPECT_EQ(BackgroundTask::expireAll(), 0u);
}

class LMSyncAdapterBackgroundTest : public BackgroundTaskTest {
 protected:
  testsupport::TestHome home;
  std::shared_ptr<lumora::LMSyncAdapter> adapter = std::make_shared<lumora::LMSyncAdapter>();
};

TEST_F(LMSyncAdapterBackgroundTest, ABackgroundJobHoldsATaskFromQueuedToDone) {
  std::promise<void> startFirst;
  std::shared_future<void> firstMayRun = startFirst.get_future().share();
  std::promise<std::size_t> seenInside;

  adapter->performTaskBlock([firstMayRun] { firstMayRun.wait(); });  // a foreground job first
  adapter->performTaskBlock([&] { seenInside.set_value(BackgroundTask::runningCount()); }, true);
  // Held while it waits behind the foreground job, which holds none.
  EXPECT_EQ(BackgroundTask::runningCount(), 1u);
  EXPECT_EQ(BackgroundTask::runningNames().front(), adapter->taskOperationQueue().name());

  startFirst.set_value();
  EXPECT_EQ(seenInside.get_future().get(), 1u);
  adapter->taskOperationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(BackgroundTask::runningCount(), 0u);
}

TEST_F(LMSyncAdapterBackgroundTest, ADroppedBackgroundJobReleasesItsTask) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  bool ran = false;
  adapter->performTaskBlock([released] { released.wait(); });
  adapter->performTaskBlock([&] { ran = true; }, true);
  ASSERT_EQ(BackgroundTask::runningCount(), 1u);

  adapter->taskOperationQueue().cancelAllOperations();
  release.set_value();
  adapter->taskOperationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(ran);
  EXPECT_EQ(BackgroundTask::runningCount(), 0u);
}

TEST_F(LMSyncAdapterBackgroundTest, WhenTheTimeRunsOutTheJobEndsItsTaskAndGoesOn) {
  std::promise<void> expired;
  std::shared_future<void> afterExpiry = expired.get_future().share();
  bool finished = false;
  adapter->performTaskBlock(
      [&, afterExpiry] {
        afterExpiry.wait();
        finished = true;
      },
      true);
  ASSERT_EQ(BackgroundTask::runningCount(), 1u);

  // The adapter's handler ends the task itself: nothing is left running.
  EXPECT_EQ(BackgroundTask::expireAll(), 0u);
  EXPECT_EQ(BackgroundTask::runningCount(), 0u);
  expired.set_value();
  adapter->taskOperationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(finished);
  // A later background job takes a task of its own.
  adapter->performTaskBlock([] {}, true);
  adapter->taskOperationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(BackgroundTask::runningCount(), 0u);
}

}  // namespace
