#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cloud/sync/LMSyncAdapter.h"
#include "utils/LMErrors.h"
#include "utils/ServiceHosts.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

using namespace lumora;
using namespace std::chrono_literals;
using platform::Error;
using platform::Json;

// What the fake server answers, one outcome per send, and what was sent.
struct Script {
  std::mutex mutex;
  std::deque<std::optional<Error>> outcomes;
  std::vector<platform::http::Request> sent;
  std::vector<std::string> sids;

  std::optional<Error> next(const platform::http::Request& request, const std::string& sid) {
    std::lock_guard<std::mutex> guard(mutex);
    sent.push_back(request);
    sids.push_back(sid);
    if (outcomes.empty()) return std::nullopt;
    auto outcome = outcomes.front();
    outcomes.pop_front();
    return outcome;
  }
};

class FakeOperation : public LMHTTPRequestOperation {
 public:
  FakeOperation(platform::http::Request request, std::string sid, std::shared_ptr<Script> script)
      : LMHTTPRequestOperation(std::move(request), std::move(sid)), script_(std::move(script)) {}

 protected:
  void main() override { setError(script_->next(request(), passportSid())); }

 private:
  std::shared_ptr<Script> script_;
};

class TestAdapter : public LMSyncAdapter {
 public:
  explicit TestAdapter(std::shared_ptr<Script> script) : script_(std::move(script)) {}

 protected:
  std::shared_ptr<LMHTTPRequestOperation> operationWithRequest(
      platform::http::Request request, const std::string& sid,
      const std::optional<LMSignedSession>&) override {
    return std::make_shared<FakeOperation>(std::move(request), sid, script_);
  }

 private:
  std::shared_ptr<Script> script_;
};

Error retriable(std::int64_t code = 7) {
  return Error(kLMServerErrorDomain, code, {{kLMRetriableKey, true}});
}

Error redirect(const std::string& url, bool permanent = false) {
  Json data{{"redirectUrl", url}};
  if (permanent) data["isPermanent"] = true;
  return Error(kLMServerErrorDomain, 308, {{"code", 308}, {"data", data}});
}

class LMSyncAdapterTest : public ::testing::Test {
 protected:
  LMSyncAdapterTest() : adapter(std::make_shared<TestAdapter>(script)) {}

  std::shared_ptr<LMHTTPRequestOperation> run(const std::string& method, const std::string& url,
                                              std::optional<Error>* error,
                                              const std::string& sid = "lumora") {
    platform::http::Request request;
    request.method = method;
    request.url = url;
    auto last = adapter->performRequestOperation(
        [&] { return std::make_shared<FakeOperation>(request, sid, script); });
    *error = last->error();
    return last;
  }

  testsupport::TestHome home;
  std::shared_ptr<Script> script = std::make_shared<Script>();
  std::shared_ptr<TestAdapter> adapter;
};

// ---- Flags and queues ----

TEST_F(LMSyncAdapterTest, SyncingChangesClearCancelledAndSuspended) {
  adapter->setSyncing(true);
  adapter->setCancelled(true);
  adapter->setSuspended(true);
  adapter->setSyncing(true);  // same value: nothing cleared
  EXPECT_TRUE(adapter->isCancelled());
  EXPECT_TRUE(adapter->isSuspended());
  adapter->setSyncing(false);
  EXPECT_FALSE(adapter->isSyncing());
  EXPECT_FALSE(adapter->isCancelled());
  EXPECT_FALSE(adapter->isSuspended());
  EXPECT_FALSE(adapter->suspendSync());
  EXPECT_FALSE(adapter->resumeSync());
  EXPECT_FALSE(adapter->cancelSync());
}

TEST_F(LMSyncAdapterTest, TaskQueueRunsJobsOneAtATimeAndReportsTheLastJobsTag) {
  EXPECT_FALSE(adapter->backgroundTaskIsRunning());

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> running{0}, maxRunning{0};
  std::vector<int> order;
  std::mutex orderMutex;
  auto job = [&](int n) {
    return [&, n] {
      int now = ++running;
      maxRunning = std::max(maxRunning.load(), now);
      if (n == 0) released.wait();
      {
        std::lock_guard<std::mutex> guard(orderMutex);
        order.push_back(n);
      }
      --running;
    };
  };
  adapter->performTaskBlock(job(0), true);
  adapter->performTaskBlock(nullptr);  // ignored
  EXPECT_TRUE(adapter->backgroundTaskIsRunning());
  adapter->performTaskBlock(job(1));
  EXPECT_FALSE(adapter->backgroundTaskIsRunning());
  adapter->performTaskBlock(job(2), true);
  EXPECT_TRUE(adapter->backgroundTaskIsRunning());
  EXPECT_EQ(adapter->taskOperationQueue().operationCount(), 3u);

  release.set_value();
  adapter->taskOperationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(maxRunning.load(), 1);
  EXPECT_FALSE(adapter->backgroundTaskIsRunning());
  EXPECT_EQ(adapter->dataRequestOperationQueue().maxConcurrentOperationCount(), 1u);
}

TEST_F(LMSyncAdapterTest, FileCallsTakeAtLeastTheirProtectionTime) {
  auto clock = std::make_shared<platform::ManualClock>();
  clock->setAutoAdvanceSleeps(true);
  platform::ScopedClock scoped(clock);

  // The device's clock set back an hour during the call changes nothing.
  LMSyncAdapter::fileAPIProtectionTime(0.4, [&] {
    clock->stepWallTime(-1h);
    clock->advance(platform::seconds(0.1));
  });
  EXPECT_NEAR(std::chrono::duration<double>(clock->sleptTotal()).count(), 0.3, 1e-6);

  // A call that took longer than the time given does not sleep.
  LMSyncAdapter::fileAPIProtectionTime(0.15, [&] { clock->advance(platform::seconds(1)); });
  EXPECT_NEAR(std::chrono::duration<double>(clock->sleptTotal()).count(), 0.3, 1e-6);
}

TEST_F(LMSyncAdapterTest, MainThreadBlocksRunOnTheMainThreadAndWait) {
  // On the main thread the block runs at once, inside the caller.
  bool ranInside = false;
  platform::MainQueue::main().async([&] {
    bool ran = false;
    LMSyncAdapter::performMainThreadBlock([&] { ran = true; });
    ranInside = ran;
  });
  platform::MainQueue::main().runUntilIdle();
  EXPECT_TRUE(ranInside);

  // Off the main thread, the caller waits until the main queue ran it.
  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    LMSyncAdapter::performMainThreadBlock([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  EXPECT_TRUE(platform::MainQueue::main().runUntil([&] { return returned.load(); }, testsupport::scaled(10s)));
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

// ---- The request loop ----

TEST_F(LMSyncAdapterTest, RetryRuleAllowsAtMostFourSends) {
  script->outcomes = {retriable(), retriable(), retriable(), retriable(), std::nullopt};
  std::optional<Error> error;
  auto last = run("POST", "http://cloud.example/lum/x", &error);
  EXPECT_EQ(script->sent.size(), 4u);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 7);
  EXPECT_EQ(last->error(), error);
}

TEST_F(LMSyncAdapterTest, ARetryWaitsItsDelayOnSteadyTimeAndACancelEndsTheWait) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  const Error badReply(kLMServerErrorDomain, -1011);  // retried after 24 s
  std::optional<Error> error;
  auto runAside = [&] {
    return std::async(std::launch::async, [&] { return run("GET", "http://cloud.example/lum/x", &error); });
  };

  script->outcomes = {badReply, std::nullopt};
  auto waited = runAside();
  ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(10s)));
  clock->stepWallTime(-24h);  // the wall clock set back a day
  clock->advance(23s);
  EXPECT_EQ(waited.wait_for(50ms), std::future_status::timeout);
  clock->advance(1s);
  waited.get();
  EXPECT_FALSE(error);
  EXPECT_EQ(script->sent.size(), 2u);

  // A cancel ends the wait at once; the run ends cancelled without sending again.
  script->sent.clear();
  script->outcomes = {badReply, std::nullopt};
  auto cancelled = runAside();
  ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(10s)));
  adapter->requestLoop()->cancel();
  cancelled.get();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -999);
  EXPECT_EQ(script->sent.size(), 1u);

  // Later runs go ahead.
  script->outcomes = {std::nullopt};
  run("GET", "http://cloud.example/lum/x", &error);
  EXPECT_FALSE(error);
}

TEST_F(LMSyncAdapterTest, RetryStopsOnSuccessOrAnErrorTheRuleRefuses) {
  script->outcomes = {retriable(), std::nullopt};
  std::optional<Error> error;
  run("GET", "http://cloud.example/lum/x", &error);
  EXPECT_EQ(script->sent.size(), 2u);
  EXPECT_FALSE(error);

  script->sent.clear();
  script->outcomes = {Error(kLMServerErrorDomain, 10008)};
  run("GET", "http://cloud.example/lum/x", &error);
  EXPECT_EQ(script->sent.size(), 1u);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 10008);
}

TEST_F(LMSyncAdapterTest, RedirectsCarryTheirCountAndTheEleventhFails) {
  for (int i = 0; i < 11; ++i) {
    script->outcomes.push_back(redirect("http://r" + std::to_string(i) + ".example/lum/x"));
  }
  std::optional<Error> error;
  auto last = run("POST", "http://cloud.example/lum/x", &error, "deviceinfo");
  // The first send and ten redirected ones; the eleventh is never sent.
  ASSERT_EQ(script->sent.size(), 11u);
  EXPECT_FALSE(script->sent[0].headers.contains(LMSyncAdapter::kRedirectCountHeader));
  for (std::size_t i = 1; i < 11; ++i) {
    EXPECT_EQ(script->sent[i].headers.value(LMSyncAdapter::kRedirectCountHeader), std::to_string(i - 1));
    EXPECT_EQ(script->sent[i].url, "http://r" + std::to_string(i - 1) + ".example/lum/x");
    // The redirected request decodes with the caller's service, not always "lumora".
    EXPECT_EQ(script->sids[i], "deviceinfo");
  }
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kLMServerErrorDomain);
  EXPECT_EQ(error->code(), LMSyncAdapter::kInfiniteRedirectCode);
  EXPECT_EQ(error->userInfo()[kLMErrorReasonKey], "Infinite redirect error");
  EXPECT_EQ(last->request().url, "http://r10.example/lum/x");
}

TEST_F(LMSyncAdapterTest, RedirectCountIsKeptAcrossTries) {
  script->outcomes = {redirect("http://a.example/x"), redirect("http://b.example/x"), retriable(),
                      redirect("http://c.example/x"), std::nullopt};
  std::optional<Error> error;
  run("POST", "http://cloud.example/x", &error);
  EXPECT_FALSE(error);
  ASSERT_EQ(script->sent.size(), 5u);
  EXPECT_EQ(script->sent[1].headers.value(LMSyncAdapter::kRedirectCountHeader), "0");
  EXPECT_EQ(script->sent[2].headers.value(LMSyncAdapter::kRedirectCountHeader), "1");
  EXPECT_FALSE(script->sent[3].headers.contains(LMSyncAdapter::kRedirectCountHeader));
  EXPECT_EQ(script->sent[4].headers.value(LMSyncAdapter::kRedirectCountHeader), "2");
}

TEST_F(LMSyncAdapterTest, RedirectedGetKeepsItsSignedQueryAndPostItsBody) {
  script->outcomes = {redirect("http://r.example/lum/x"), std::nullopt};
  std::optional<Error> error;
  run("GET", "http://cloud.example/lum/x?data=abc%2B&signature=s", &error);
  ASSERT_EQ(script->sent.size(), 2u);
  EXPECT_EQ(script->sent[1].url, "http://r.example/lum/x?data=abc%2B&signature=s");

  // A redirect URL with a query of its own is taken as it is.
  script->sent.clear();
  script->outcomes = {redirect("http://r.example/lum/x?t=1"), std::nullopt};
  run("GET", "http://cloud.example/lum/x?data=abc", &error);
  EXPECT_EQ(script->sent[1].url, "http://r.example/lum/x?t=1");

  script->sent.clear();
  script->outcomes = {redirect("http://r.example/lum/x"), std::nullopt};
  platform::http::Request post;
  post.method = "POST";
  post.url = "http://cloud.example/lum/x";
  post.body = platform::toBytes("data=abc");
  adapter->performRequestOperation([&] { return std::make_shared<FakeOperation>(post, "lumora", script); });
  EXPECT_EQ(script->sent[1].url, "http://r.example/lum/x");
  EXPECT_EQ(script->sent[1].body, platform::toBytes("data=abc"));
}

TEST_F(LMSyncAdapterTest, A308WithoutDataIsAnOrdinaryError) {
  script->outcomes = {Error(kLMServerErrorDomain, 308, {{"code", 308}})};
  std::optional<Error> error;
  run("GET", "http://cloud.example/x", &error);
  EXPECT_EQ(script->sent.size(), 1u);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 308);

  auto finished = std::make_shared<FakeOperation>(platform::http::Request{}, "lumora", script);
  finished->setError(Error(kLMServerErrorDomain, 308, {{"data", Json::object()}}));
  EXPECT_FALSE(adapter->redirectRequestOperationForOperation(finished, 0));
  finished->setError(Error("elsewhere", 308, {{"data", {{"redirectUrl", "http://x/"}}}}));
  EXPECT_FALSE(adapter->redirectRequestOperationForOperation(finished, 0));
}

// ---- Hosts ----

TEST_F(LMSyncAdapterTest, HostListReplacesDefaultHostsWhenItNamesThem) {
  ServiceHosts::set(ServiceHosts::kRelocation, "http://reloc.example:81");
  ServiceHosts::set(ServiceHosts::kRelocationPreview, "http://preview.example");
  ServiceHosts::set(ServiceHosts::kDeviceInfo, "http://udi.example");

  adapter->setHostList(std::nullopt);
  EXPECT_EQ(adapter->hostList(), Json::object());
  EXPECT_EQ(adapter->relocationURL(), "http://reloc.example:81");
  adapter->setForTest(true);
  EXPECT_EQ(adapter->relocationURL(), "http://preview.example");
  adapter->setForTest(false);

  adapter->setHostList(Json{{"reloc.example:81", "moved.example:82"}, {"other", "x"}});
  EXPECT_EQ(adapter->relocationURL(), "http://moved.example:82");
  EXPECT_EQ(adapter->deviceInfoURL(), "http://udi.example");
  // One list for every adapter.
  TestAdapter other(script);
  EXPECT_EQ(other.hostList()["other"], "x");

  adapter->setHostList(Json::array());
  EXPECT_EQ(adapter->hostList(), Json::object());
  ServiceHosts::reset();
}

}  // namespace
