#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "platform/dispatch/Semaphore.h"
#include "support/Sanitizers.h"

namespace {

using namespace std::chrono_literals;
using platform::ManualClock;
using platform::Semaphore;

TEST(Semaphore, TimedWaitEndsOnlyWhenTheManualClockPassesItsDeadline) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  Semaphore semaphore;
  auto waiter = std::async(std::launch::async, [&] { return semaphore.waitFor(30s); });
  ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(10s)));
  clock->advance(29s);
  // Short bounded check that the waiter is still waiting a moment later.
  EXPECT_EQ(waiter.wait_for(30ms), std::future_status::timeout);
  clock->advance(1s);
  EXPECT_FALSE(waiter.get());

  // The timeout consumed nothing: a later signal is still there to take.
  semaphore.signal();
  EXPECT_TRUE(semaphore.waitFor(0s));
  EXPECT_FALSE(semaphore.waitFor(0s));
}

TEST(Semaphore, SignalWakesATimedWaiterBeforeItsDeadline) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  Semaphore semaphore;
  auto waiter = std::async(std::launch::async, [&] { return semaphore.waitFor(1h); });
  ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(10s)));
  semaphore.signal();
  EXPECT_TRUE(waiter.get());
  EXPECT_FALSE(semaphore.waitFor(0s));  // the one signal was taken once
}

TEST(Semaphore, CountsSignalsAndInitialCount) {
  Semaphore semaphore(2);
  semaphore.wait();
  semaphore.signal();
  semaphore.signal();
  EXPECT_TRUE(semaphore.waitFor(0s));
  EXPECT_TRUE(semaphore.waitFor(0s));
  EXPECT_TRUE(semaphore.waitFor(0s));
  EXPECT_FALSE(semaphore.waitFor(0s));

  // Blocking waiters each take one signal.
  auto first = std::async(std::launch::async, [&] { semaphore.wait(); return 1; });
  auto second = std::async(std::launch::async, [&] { semaphore.wait(); return 2; });
  semaphore.signal();
  semaphore.signal();
  EXPECT_EQ(first.get() + second.get(), 3);
}

}  // namespace
