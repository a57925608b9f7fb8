#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Semaphore.h"
#include "support/Sanitizers.h"

namespace {

using platform::Operation;
using platform::OperationQueue;
using platform::Semaphore;

// Tracks how many operations run at once.
struct Concurrency {
  std::atomic<int> running{0};
  std::atomic<int> peak{0};
  void enter() {
    int now = running.fetch_add(1) + 1;
    int seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
  }
  void leave() { running.fetch_sub(1); }
};

TEST(OperationQueue, WidthOneRunsOperationsOneAtATimeInOrder) {
  OperationQueue queue("test.ops");
  EXPECT_EQ(queue.maxConcurrentOperationCount(), 1u);
  Concurrency concurrency;
  std::vector<int> order;  // guarded by width 1
  for (int i = 0; i < 60; ++i) {
    queue.addOperation([&, i] {
      concurrency.enter();
      for (int k = 0; k < 200; ++k) std::this_thread::yield();
      order.push_back(i);
      concurrency.leave();
    });
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(concurrency.peak, 1);
  ASSERT_EQ(order.size(), 60u);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueue, WiderQueueRunsUpToItsWidthAtOnce) {
  OperationQueue queue("test.wide", 3);
  Concurrency concurrency;
  Semaphore gate;
  std::mutex mutex;
  std::condition_variable entered;
  for (int i = 0; i < 9; ++i) {
    queue.addOperation([&] {
      {
        std::lock_guard<std::mutex> guard(mutex);
        concurrency.enter();
        entered.notify_all();
      }
      gate.wait();
      concurrency.leave();
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(entered.wait_for(lock, testsupport::scaled(std::chrono::seconds(10)),
                                 [&] { return concurrency.running == 3; }));
  }
  EXPECT_EQ(queue.operationCount(), 9u);
  for (int i = 0; i < 9; ++i) gate.signal();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(concurrency.peak, 3);
}

TEST(OperationQueue, CancelAllDropsPendingAndTellsTheRunningOne) {
  OperationQueue queue("test.cancel");
  Semaphore started, proceed;
  std::atomic<bool> sawCancel{false};
  std::atomic<int> pendingRan{0};
  auto running = queue.addOperation([&](const Operation& op) {
    started.signal();
    proceed.wait();
    sawCancel = op.isCancelled();
  });
  std::vector<std::shared_ptr<Operation>> pending;
  for (int i = 0; i < 4; ++i) pending.push_back(queue.addOperation([&] { pendingRan++; }));
  started.wait();
  EXPECT_TRUE(running->isExecuting());
  EXPECT_EQ(queue.operationCount(), 5u);
  EXPECT_EQ(queue.operations().front(), running);

  queue.cancelAllOperations();
  EXPECT_EQ(queue.operationCount(), 1u);  // only the running one is left
  for (auto& op : pending) {
    EXPECT_TRUE(op->isCancelled());
    EXPECT_TRUE(op->isFinished());
  }
  proceed.signal();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(sawCancel);
  EXPECT_TRUE(running->isFinished());
  EXPECT_EQ(pendingRan, 0);

  // The queue keeps working after a cancel.
  auto after = queue.addOperation([&] { pendingRan++; });
  after->waitUntilFinished();
  EXPECT_EQ(pendingRan, 1);
}

TEST(OperationQueue, SingleCancelledOperationIsSkippedAndAnOperationRunsOnlyOnce) {
  OperationQueue queue("test.single");
  queue.setSuspended(true);
  std::vector<int> ran;
  queue.addOperation([&] { ran.push_back(1); });
  auto skipped = queue.addOperation([&] { ran.push_back(2); });
  auto own = std::make_shared<Operation>([&](const Operation&) { ran.push_back(3); });
  EXPECT_TRUE(queue.addOperation(own));
  EXPECT_FALSE(queue.addOperation(own));  // already queued
  EXPECT_FALSE(queue.addOperation(std::shared_ptr<Operation>()));
  skipped->cancel();
  EXPECT_EQ(queue.operationCount(), 3u);
  EXPECT_TRUE(queue.isSuspended());

  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
  EXPECT_TRUE(skipped->isFinished());
  EXPECT_FALSE(queue.addOperation(own));  // finished operations do not run again
}

TEST(OperationQueue, DestructorCancelsPendingAndWaitsForTheRunningOperation) {
  Semaphore started;
  std::atomic<bool> runningFinished{false};
  std::atomic<int> pendingRan{0};
  std::shared_ptr<Operation> pending;
  {
    OperationQueue queue("test.dtor");
    queue.addOperation([&](const Operation& op) {
      started.signal();
      while (!op.isCancelled()) std::this_thread::yield();
      runningFinished = true;
    });
    pending = queue.addOperation([&] { pendingRan++; });
    started.wait();
  }
  EXPECT_TRUE(runningFinished);
  EXPECT_TRUE(pending->isFinished());
  EXPECT_EQ(pendingRan, 0);
}

}  // namespace
