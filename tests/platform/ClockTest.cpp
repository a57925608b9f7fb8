#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/dispatch/Cancellation.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"
#include "support/Sanitizers.h"

namespace {

using namespace std::chrono_literals;
using platform::Clock;
using platform::ManualClock;

TEST(ManualClock, SleepWaitsForAdvanceAndTimedWaitsEndAtTheirDeadline) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  auto start = clock->now();

  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    Clock::current()->sleepFor(300s);
    woke = true;
  });
  ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(10s)));
  clock->advance(299s);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(woke);
  clock->advance(1s);
  sleeper.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(clock->now() - start, 300s);
}

TEST(ManualClock, AutoAdvanceMakesSleepsInstantAndCountsThem) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  clock->setAutoAdvanceSleeps(true);
  auto start = clock->now();
  Clock::current()->sleepFor(24s);
  Clock::current()->sleepFor(24s);
  EXPECT_EQ(clock->now() - start, 48s);
  EXPECT_EQ(clock->sleptTotal(), 48s);
}

// A held clock keeps auto-advancing sleeps waiting, not their callers'
// locks: the thread that holds it can still cancel a sleeper (which ends at
// once, the clock unmoved), and a plain sleeper goes on once it is let go.
TEST(ManualClock, AHeldSleepLetsGoOfItsCallersLockAndEndsWhenCancelled) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  clock->setAutoAdvanceSleeps(true);
  clock->setHeld(true);
  platform::Cancellation cancellation;
  std::promise<bool> sleptWhole;
  std::thread sleeper([&] { sleptWhole.set_value(cancellation.waitFor(60s)); });
  std::thread plain([&] { Clock::current()->sleepFor(5s); });
  clock->waitForWaiters(2, testsupport::scaled(3s));
  auto cancelled = std::async(std::launch::async, [&] { cancellation.cancel(); });
  const bool cancelledAtOnce = cancelled.wait_for(testsupport::scaled(3s)) == std::future_status::ready;
  auto whole = sleptWhole.get_future();
  const bool endedHeld = whole.wait_for(testsupport::scaled(3s)) == std::future_status::ready;
  const auto sleptWhileHeld = clock->sleptTotal();
  clock->setHeld(false);  // lets an old-style sleeper go, so that the test ends either way
  sleeper.join();
  plain.join();
  EXPECT_TRUE(cancelledAtOnce);
  EXPECT_TRUE(endedHeld);
  EXPECT_FALSE(whole.get());
  EXPECT_EQ(sleptWhileHeld, 0s);
  EXPECT_EQ(clock->sleptTotal(), 5s);
}

TEST(ManualClock, PredicateEndsWaitBeforeDeadline) {
  auto clock = std::make_shared<ManualClock>();
  std::mutex m;
  std::condition_variable cv;
  bool ready = false;
  std::thread setter([&] {
    ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(10s)));
    std::lock_guard<std::mutex> g(m);
    ready = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(m);
  EXPECT_TRUE(clock->waitFor(lock, cv, 1h, [&] { return ready; }));
  lock.unlock();
  setter.join();
}

TEST(ManualClock, WallTimeSetBackNeitherStretchesNorCutsDurations) {
  auto clock = std::make_shared<ManualClock>();
  platform::ScopedClock scoped(clock);
  const auto wallStart = clock->now();
  const auto steadyStart = clock->steadyNow();

  std::atomic<bool> slept{false};
  std::atomic<bool> semaphoreTimedOut{false};
  platform::Semaphore never;
  std::thread sleeper([&] {
    Clock::current()->sleepFor(300s);
    slept = true;
  });
  std::thread waiter([&] { semaphoreTimedOut = !never.waitFor(300s); });
  platform::SerialQueue queue("test.steady");
  platform::Semaphore fired;
  queue.asyncAfter(300s, [&] { fired.signal(); });
  ASSERT_TRUE(clock->waitForWaiters(3, testsupport::scaled(10s)));

  // The device's time is set back a day, then forward a year: no wait moves.
  clock->stepWallTime(-24h);
  clock->stepWallTime(24h * 365);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(slept);
  EXPECT_FALSE(semaphoreTimedOut);
  EXPECT_EQ(clock->steadyNow(), steadyStart);
  EXPECT_EQ(clock->now() - wallStart, 24h * 364);

  clock->advance(300s);  // what passes is what counts
  sleeper.join();
  waiter.join();
  EXPECT_TRUE(semaphoreTimedOut);
  fired.wait();
  EXPECT_EQ(clock->steadyNow() - steadyStart, 300s);
}

TEST(Clock, ScopedClockRestoresThePreviousClock) {
  auto before = Clock::current();
  {
    platform::ScopedClock scoped(std::make_shared<ManualClock>());
    EXPECT_NE(Clock::current(), before);
  }
  EXPECT_EQ(Clock::current(), before);
}

}  // namespace
