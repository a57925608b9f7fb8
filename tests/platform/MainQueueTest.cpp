#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"
#include "support/Sanitizers.h"

namespace {

using namespace std::chrono_literals;
using platform::MainQueue;
using platform::ManualClock;

// The main queue is process-wide: every test leaves it empty.
class MainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { main.runUntilIdle(); }
  void TearDown() override { main.runUntilIdle(); }
  MainQueue& main = MainQueue::main();
};

TEST_F(MainQueueTest, RunUntilIdleRunsTasksPostedDuringThePump) {
  std::vector<std::string> trail;
  bool onMain = false;
  main.async([&] {
    trail.push_back("a");
    onMain = MainQueue::isMainThread() && main.isCurrent();
    main.async([&] {
      trail.push_back("c");
      main.async([&] { trail.push_back("e"); });
    });
    trail.push_back("b");
  });
  main.async([&] { trail.push_back("d"); });
  EXPECT_TRUE(trail.empty());  // nothing runs until pumped

  EXPECT_EQ(main.runUntilIdle(), 4u);
  EXPECT_EQ(trail, (std::vector<std::string>{"a", "b", "d", "c", "e"}));
  EXPECT_TRUE(onMain);
  EXPECT_EQ(main.runUntilIdle(), 0u);
}

TEST_F(MainQueueTest, TasksFromOtherThreadsRunOnThePumpingThreadInOrder) {
  platform::SerialQueue worker("test.worker");
  std::vector<int> order;
  std::atomic<bool> workerIsMain{true};
  bool allOnPump = true;
  auto pump = std::this_thread::get_id();
  worker.async([&] {
    workerIsMain = MainQueue::isMainThread();
    for (int i = 0; i < 100; ++i) {
      main.async([&, i] {
        order.push_back(i);
        allOnPump = allOnPump && std::this_thread::get_id() == pump;
      });
    }
  });
  EXPECT_TRUE(main.runUntil([&] { return order.size() == 100; }, testsupport::scaled(10s)));
  EXPECT_FALSE(workerIsMain);
  EXPECT_TRUE(allOnPump);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST_F(MainQueueTest, SyncFromAWorkerWaitsForThePumpAndRunsInlineOnMain) {
  platform::SerialQueue worker("test.worker");
  std::atomic<bool> returned{false};
  int value = 0;
  int seenByWorker = 0;
  worker.async([&] {
    main.sync([&] { value = 7; });
    seenByWorker = value;  // sync returned after the pump ran the task
    returned = true;
  });
  EXPECT_TRUE(main.runUntil([&] { return returned.load(); }, testsupport::scaled(10s)));
  worker.sync([] {});
  EXPECT_EQ(seenByWorker, 7);

  bool ran = false;
  main.async([&] {
    main.sync([&] { ran = true; });  // on the main thread: inline, no deadlock
  });
  main.runUntilIdle();
  EXPECT_TRUE(ran);
}

TEST_F(MainQueueTest, RunUntilGivesUpAfterItsRealTimeout) {
  bool never = false;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(main.runUntil([&] { return never; }, 20ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);

  bool already = true;
  bool ran = false;
  main.async([&] { ran = true; });
  EXPECT_TRUE(main.runUntil([&] { return already; }, testsupport::scaled(10s)));
  EXPECT_FALSE(ran);  // pred held before any task was needed
  main.runUntilIdle();
  EXPECT_TRUE(ran);
}

TEST_F(MainQueueTest, DelayedTasksRunWhenDueOnTheManualClockAndBeforeLaterPosts) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  std::vector<std::string> trail;
  main.asyncAfter(5s, [&] { trail.push_back("5s"); });
  main.asyncAfter(1s, [&] { trail.push_back("1s"); });
  main.asyncAfter(3s, [&] { trail.push_back("3s"); });

  EXPECT_EQ(main.runUntilIdle(), 0u);
  clock->advance(3s);
  main.async([&] { trail.push_back("posted"); });
  EXPECT_EQ(main.runUntilIdle(), 3u);
  EXPECT_EQ(trail, (std::vector<std::string>{"1s", "3s", "posted"}));

  clock->advance(2s);
  main.runUntilIdle();
  EXPECT_EQ(trail.back(), "5s");
}

TEST_F(MainQueueTest, RunUntilWakesForDelayedWorkWhenAnotherThreadMovesTheClock) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  bool fired = false;
  main.asyncAfter(10min, [&] { fired = true; });
  std::thread mover([&] { clock->advance(10min); });
  EXPECT_TRUE(main.runUntil([&] { return fired; }, testsupport::scaled(10s)));
  mover.join();
}

TEST_F(MainQueueTest, BoundThreadIsMainOutsideThePump) {
  // The test thread is the one that pumps in every test, so binding it keeps
  // the picture consistent for the rest of the run.
  main.bindToCurrentThread();
  EXPECT_TRUE(MainQueue::isMainThread());
  std::atomic<bool> otherIsMain{true};
  std::thread other([&] { otherIsMain = MainQueue::isMainThread(); });
  other.join();
  EXPECT_FALSE(otherIsMain);
}

}  // namespace
