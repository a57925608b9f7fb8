#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"
#include "support/Sanitizers.h"

namespace {

using namespace std::chrono_literals;
using platform::ManualClock;
using platform::Semaphore;
using platform::SerialQueue;

TEST(SerialQueue, RunsTasksOneAtATimeInPostingOrderUnderConcurrentPosting) {
  SerialQueue queue("test.serial");
  constexpr int kThreads = 4;
  constexpr int kPerThread = 400;
  std::vector<std::pair<int, int>> seen;  // touched only by the queue's worker
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};

  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        queue.async([&, t, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          seen.emplace_back(t, i);
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  queue.sync([] {});

  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int> next(kThreads, 0);
  for (auto [t, i] : seen) {
    EXPECT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
  }
}

TEST(SerialQueue, SyncRunsOnTheTargetQueueAndInlineOnItsOwnQueue) {
  SerialQueue a("test.a");
  SerialQueue b("test.b");
  std::vector<std::string> trail;
  std::mutex trailMutex;
  auto note = [&](std::string what) {
    std::lock_guard<std::mutex> guard(trailMutex);
    trail.push_back(std::move(what));
  };

  Semaphore done;
  a.async([&] {
    b.sync([&] { note(b.isCurrent() && !a.isCurrent() ? "on b" : "not on b"); });
    note("after b");
    // On its own serial queue sync must not wait for itself.
    a.sync([&] { note(a.isCurrent() ? "inline on a" : "not on a"); });
    note("after a");
    done.signal();
  });
  done.wait();
  EXPECT_EQ(trail, (std::vector<std::string>{"on b", "after b", "inline on a", "after a"}));
  EXPECT_FALSE(a.isCurrent());

  int value = 0;
  a.sync([&] { value = 42; });
  EXPECT_EQ(value, 42);  // sync returns only after the task ran
}

TEST(SerialQueue, DestructorRunsQueuedWorkAndDropsDelayedWork) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  std::atomic<int> ran{0};
  auto delayedCapture = std::make_shared<int>(0);
  std::weak_ptr<int> watch = delayedCapture;
  {
    SerialQueue queue("test.drain");
    Semaphore gate;
    queue.async([&] { gate.wait(); });
    for (int i = 0; i < 100; ++i) {
      queue.async([&] {
        ran.fetch_add(1);
        if (ran == 50) queue.async([&] { ran.fetch_add(1000); });  // queued while draining
      });
    }
    queue.asyncAfter(1h, [&, keep = std::move(delayedCapture)] { ran.fetch_add(100000); });
    gate.signal();
  }
  EXPECT_EQ(ran, 1100);
  EXPECT_TRUE(watch.expired());  // the dropped task's captures were released
}

TEST(SerialQueue, MayBeDestroyedByItsOwnTask) {
  auto queue = std::make_shared<SerialQueue>("test.self");
  Semaphore gate;
  Semaphore finished;
  std::weak_ptr<SerialQueue> watch = queue;
  queue->async([&] { gate.wait(); });
  queue->async([&, last = queue]() mutable {
    last.reset();  // the queue's destructor runs on its own worker
    finished.signal();
  });
  queue.reset();
  gate.signal();
  EXPECT_TRUE(finished.waitFor(testsupport::scaled(platform::seconds(10))));
  EXPECT_TRUE(watch.expired());
}

TEST(SerialQueue, DelayedWorkWaitsForTheManualClockAndRunsInDueOrder) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  SerialQueue queue("test.delayed");
  std::vector<int> fired;  // worker only; read after a sync barrier
  auto snapshot = [&] {
    std::vector<int> copy;
    queue.sync([&] { copy = fired; });
    return copy;
  };

  queue.asyncAfter(30s, [&] { fired.push_back(30); });
  queue.asyncAfter(10s, [&] { fired.push_back(10); });
  queue.asyncAfter(20s, [&] { fired.push_back(20); });
  queue.asyncAfter(10s, [&] { fired.push_back(11); });  // same time, scheduled later
  queue.asyncAfter(0s, [&] { fired.push_back(0); });
  EXPECT_EQ(snapshot(), std::vector<int>{0});

  clock->advance(9s);
  EXPECT_EQ(snapshot(), std::vector<int>{0});
  clock->advance(6s);
  EXPECT_EQ(snapshot(), (std::vector<int>{0, 10, 11}));
  clock->advance(1min);  // both remaining ones due at once: still in due order
  EXPECT_EQ(snapshot(), (std::vector<int>{0, 10, 11, 20, 30}));
}

TEST(SerialQueue, DelayedWorkFiresWhenTheClockMovesWithNothingElsePosted) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  SerialQueue queue("test.timer");
  Semaphore fired;
  queue.asyncAfter(5min, [&] { fired.signal(); });
  ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(10s)));  // the worker waits on the clock
  clock->advance(5min);
  fired.wait();
}

TEST(ConcurrentQueue, RunsTasksSideBySide) {
  platform::ConcurrentQueue queue("test.concurrent", 2);
  // Each task waits for the other to start: on one thread they could not
  // both succeed (the wait is a bounded safety net, not a timing device).
  Semaphore firstIn, secondIn, done;
  std::atomic<bool> firstSawSecond{false}, secondSawFirst{false};
  queue.async([&] {
    firstIn.signal();
    firstSawSecond = secondIn.waitFor(testsupport::scaled(platform::seconds(10)));
    done.signal();
  });
  queue.async([&] {
    secondIn.signal();
    secondSawFirst = firstIn.waitFor(testsupport::scaled(platform::seconds(10)));
    done.signal();
  });
  done.wait();
  done.wait();
  EXPECT_TRUE(firstSawSecond);
  EXPECT_TRUE(secondSawFirst);
}

TEST(ConcurrentQueue, GlobalQueueHasAPoolAndSyncFromItsOwnThreadsRunsInline) {
  auto& global = platform::globalQueue();
  EXPECT_GE(global.threadCount(), 2u);
  EXPECT_EQ(&global, &platform::globalQueue());
  std::atomic<bool> nestedInline{false};
  global.sync([&] {
    std::thread::id outer = std::this_thread::get_id();
    global.sync([&] { nestedInline = std::this_thread::get_id() == outer; });
  });
  EXPECT_TRUE(nestedInline);
  EXPECT_FALSE(global.isCurrent());
}

}  // namespace
