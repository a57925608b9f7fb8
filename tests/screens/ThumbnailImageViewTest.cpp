// The thumbnail loader against a scripted network: one request at a time
// for all views, a view's waiting requests dropped and its running one
// cancelled when it asks again, and the floor a successful request keeps
// on the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/JsonParse.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/UrlError.h"
#include "screens/gallery/LMThumbnailImageView.h"
#include "support/Sanitizers.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;

// The network: records what is sent, holds sends while `hold` is set (until
// they are cancelled), answers each after `delay` on the clock.
struct ThumbnailNetwork {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::int64_t> sent;
  bool hold = false;
  double delay = 0;
  bool fail = false;

  LMThumbnailImageView::Transport transport() {
    LMThumbnailImageView::Transport t;
    t.make = [](std::int64_t id, platform::ui::Size) -> platform::Result<platform::http::Request> {
      platform::http::Request request;
      request.url = "http://127.0.0.1/thumbnails?ids=" + std::to_string(id);
      return request;
    };
    t.send = [this](const platform::http::Request& request, const platform::http::SendControl& control) {
      std::unique_lock<std::mutex> lock(mutex);
      std::int64_t id = std::stoll(request.url.substr(request.url.find('=') + 1));
      sent.push_back(id);
      changed.notify_all();
      // A gate, not a pause: released by the test or by the cancel.
      while (hold && !control.cancelled->load()) changed.wait_for(lock, 2ms);
      platform::http::SynchronousReply reply;
      if (control.cancelled->load()) {
        reply.error = platform::http::makeUrlError(platform::http::kUrlErrorCancelled, request.url);
        return reply;
      }
      const double wait = delay;
      const bool failing = fail;
      lock.unlock();
      platform::Clock::current()->sleepFor(platform::seconds(wait));
      if (failing) {
        reply.error = platform::http::makeUrlError(platform::http::kUrlErrorTimedOut, request.url);
      } else {
        std::string body = R"({"data":{"content":{")" + std::to_string(id) + R"(":{"isUrl":true,"data":"u"}}}})";
        reply.data = platform::Bytes(body.begin(), body.end());
      }
      return reply;
    };
    t.decode = [](const platform::http::SynchronousReply& reply) -> platform::Result<platform::Json> {
      return platform::parseJson(std::string(reply.data.begin(), reply.data.end()));
    };
    return t;
  }
  void waitForSent(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, testsupport::scaled(10s), [&] { return sent.size() >= count; }));
  }
  void script(bool holding, double wait = 0, bool failing = false) {
    std::lock_guard<std::mutex> lock(mutex);
    hold = holding;
    delay = wait;
    fail = failing;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    hold = false;
    changed.notify_all();
  }
};

class ThumbnailImageViewTest : public ::testing::Test {
 protected:
  ThumbnailImageViewTest() {
    clock_->setAutoAdvanceSleeps(true);
    LMThumbnailImageView::setTransportForTesting(network_.transport());
  }
  ~ThumbnailImageViewTest() override { LMThumbnailImageView::setTransportForTesting(std::nullopt); }
  void pumpUntil(const std::function<bool()>& done) {
    ASSERT_TRUE(platform::MainQueue::main().runUntil(done, testsupport::scaled(10s)));
  }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  ThumbnailNetwork network_;
};

TEST_F(ThumbnailImageViewTest, AViewThatAsksAgainDropsWaitingRequestsAndCancelsTheRunningOne) {
  auto busy = std::make_shared<LMThumbnailImageView>();
  auto view = std::make_shared<LMThumbnailImageView>();
  std::vector<std::string> finished;
  auto record = [&](std::string name) {
    return [&finished, name](platform::Result<platform::Json> content) {
      finished.push_back(name + (content.ok() ? " ok" : platform::http::isCancelledError(content.error())
                                                            ? " cancelled"
                                                            : " failed"));
    };
  };
  network_.script(true);
  busy->requestThumbnailUrl(1, {10, 10}, record("1"));
  network_.waitForSent(1);
  // Three quick calls while the queue is busy: only the last one is sent.
  for (std::int64_t id : {2, 3, 4}) view->requestThumbnailUrl(id, {10, 10}, record(std::to_string(id)));
  EXPECT_EQ(view->enqueueTimes(), 3);
  network_.release();
  pumpUntil([&] { return finished.size() == 2; });
  EXPECT_EQ(finished, (std::vector<std::string>{"1 ok", "4 ok"}));

  // A call while the view's request is on the network cancels it.
  network_.script(true);
  view->requestThumbnailUrl(5, {10, 10}, record("5"));
  network_.waitForSent(3);
  ASSERT_NE(view->operation(), nullptr);
  view->requestThumbnailUrl(6, {10, 10}, record("6"));
  network_.release();
  pumpUntil([&] { return finished.size() == 4 && view->enqueueTimes() == 0; });
  EXPECT_EQ(finished, (std::vector<std::string>{"1 ok", "4 ok", "5 cancelled", "6 ok"}));
  EXPECT_EQ(network_.sent, (std::vector<std::int64_t>{1, 4, 5, 6}));
  EXPECT_EQ(view->operation(), nullptr);

  // No id: nothing at all.
  view->requestThumbnailUrl(std::nullopt, {10, 10}, record("none"));
  EXPECT_EQ(view->enqueueTimes(), 0);
}

TEST_F(ThumbnailImageViewTest, ASuccessfulRequestHoldsTheQueueForTheFloorAndAFailureDoesNot) {
  struct Case {
    double delay;
    bool fail;
    double held;
  };
  auto view = std::make_shared<LMThumbnailImageView>();
  for (const auto& c : std::vector<Case>{{0.2, false, 0.6}, {0.8, false, 0.8}, {0.2, true, 0.2}}) {
    network_.script(false, c.delay, c.fail);
    const auto before = clock_->sleptTotal();
    std::optional<bool> ok;
    view->requestThumbnailUrl(7, {90.5, 90.5}, [&](platform::Result<platform::Json> content) {
      ok = content.ok();
      if (content.ok()) {
        EXPECT_EQ((*content)["7"]["data"], "u");
      }
    });
    pumpUntil([&] { return ok.has_value() && view->enqueueTimes() == 0; });
    EXPECT_EQ(*ok, !c.fail) << c.delay;
    const double held = std::chrono::duration<double>(clock_->sleptTotal() - before).count();
    EXPECT_NEAR(held, c.held, 1e-6) << c.delay << " " << c.fail;
  }
}

}  // namespace
}  // namespace lumora
