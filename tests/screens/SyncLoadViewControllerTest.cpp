// The contacts sync progress screen on the manual clock: an end shows only
// when the pulse ends; a failure hides first and then runs its block; a
// success plays the arrow, the status line 0.2 s later and the button after
// both; a cancel tells the delegate at once.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/DisplayLink.h"
#include "platform/ui/Window.h"
#include "screens/contacts/LMSyncLoadViewController.h"
#include "support/TestHome.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

class SyncLoadViewControllerTest : public ::testing::Test {
 protected:
  SyncLoadViewControllerTest() {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    screen_->loadViewIfNeeded();
    delegate_->didSyncLoadViewControllerCompleted = [this](ui::ViewController&) { events_.push_back("completed"); };
    screen_->setDelegate(delegate_);
  }
  void advance(double seconds) {
    const double frame = ui::DisplayLink::kFrameInterval;
    for (double t = 0; t < seconds - 1e-9; t += frame) {
      clock_->advance(platform::seconds(std::min(frame, seconds - t)));
      platform::MainQueue::main().runUntilIdle();
    }
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::shared_ptr<LMSyncLoadViewController> screen_ = std::make_shared<LMSyncLoadViewController>();
  std::shared_ptr<LMSyncLoadViewControllerDelegate> delegate_ = std::make_shared<LMSyncLoadViewControllerDelegate>();
  std::vector<std::string> events_;
};

TEST_F(SyncLoadViewControllerTest, FailureHidesAndTellsTheDelegateBeforeItsBlockAtThePulseEnd) {
  screen_->beginSyncAnimation();
  advance(0.5);
  screen_->endSyncAnimationWithSuccess([&] { events_.push_back("success"); }, [&] { events_.push_back("fail"); });
  advance(1.0);
  EXPECT_TRUE(events_.empty()) << "nothing before the pulse ends";
  EXPECT_FALSE(screen_->view()->isHidden());
  advance(0.6);
  EXPECT_EQ(events_, (std::vector<std::string>{"completed", "fail"}));
  EXPECT_TRUE(screen_->view()->isHidden());
  EXPECT_TRUE(screen_->finishSyncButton()->isHidden());
  EXPECT_EQ(screen_->arrowImageView()->alpha(), 0);
  advance(3);
  EXPECT_EQ(events_.size(), 2u) << "the pulse stopped";
}

TEST_F(SyncLoadViewControllerTest, SuccessPlaysArrowThenStatusThenButton) {
  const std::string running = screen_->statusLabel()->text();
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    events_.clear();
    screen_->view()->setHidden(false);
    screen_->beginSyncAnimation();
    screen_->beginSyncAnimation();  // a second start changes nothing
    EXPECT_EQ(screen_->processLabel()->progress(), 0);
    EXPECT_TRUE(screen_->finishSyncButton()->isHidden());
    // Runs while the sync runs: two pulses without an end.
    advance(4.0);
    EXPECT_FALSE(screen_->processLabel()->isHidden());
    screen_->endSyncAnimationWithSuccess(run == 0 ? LMSyncLoadViewController::Block([&] { events_.push_back("success"); })
                                                  : nullptr,
                                         nullptr);
    // The end shows when the running pulse ends, within one pulse.
    double waited = 0;
    while (!screen_->processLabel()->isHidden() && waited < 2.1) {
      advance(ui::DisplayLink::kFrameInterval);
      waited += ui::DisplayLink::kFrameInterval;
    }
    ASSERT_TRUE(screen_->processLabel()->isHidden());
    const ui::Rect arrowPlace = screen_->arrowImageView()->frame();
    EXPECT_NEAR(screen_->arrowImageView()->presentationFrame().y, arrowPlace.y + 15, 1) << "the arrow rises at once";
    EXPECT_EQ(screen_->statusLabel()->presentationAlpha(), 0);
    advance(0.1);
    EXPECT_GT(screen_->arrowImageView()->presentationAlpha(), 0);
    EXPECT_EQ(screen_->statusLabel()->presentationAlpha(), 0) << "the status waits 0.2 s";
    advance(0.15);
    EXPECT_GT(screen_->statusLabel()->presentationAlpha(), 0);
    EXPECT_TRUE(screen_->finishSyncButton()->isHidden());
    advance(0.5);
    EXPECT_FALSE(screen_->finishSyncButton()->isHidden()) << "after three ends";
    EXPECT_EQ(events_, run == 0 ? std::vector<std::string>{"success"} : std::vector<std::string>{});
    EXPECT_FALSE(screen_->view()->isHidden());
    screen_->finishSyncButton()->tap();
    EXPECT_TRUE(screen_->view()->isHidden());
    EXPECT_EQ(events_.back(), "completed");
  }
}

TEST_F(SyncLoadViewControllerTest, CancelHidesAtOnceAndRunsNoBlock) {
  bool cancelledHeard = false;
  delegate_->didSyncLoadViewControllerCancelled = [&](ui::ViewController&) { cancelledHeard = true; };
  screen_->beginSyncAnimation();
  advance(0.3);
  screen_->cancelSyncAnimation();
  EXPECT_TRUE(screen_->view()->isHidden());
  EXPECT_EQ(events_, std::vector<std::string>{"completed"});
  advance(3);
  EXPECT_EQ(events_.size(), 1u);
  EXPECT_FALSE(cancelledHeard);
  EXPECT_TRUE(screen_->finishSyncButton()->isHidden());
}

}  // namespace
}  // namespace lumora
