// The animated widgets and the HUD on the manual clock: the pulse rings at
// their phases, the percentage label's legs, the bar's fill and its weak
// link, the HUD's timing and replacement, the navigation bar's layout and
// the custom button's looks; the HUD and an alert shown over a turned page
// whole on the screen, before and after it turns back.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Control.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "screens/common/LMCustomButton.h"
#include "screens/common/LMCustomNavigationBar.h"
#include "screens/common/LMProcessLabel.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMProgressView.h"
#include "screens/common/LMSyncAnimationView.h"
#include "support/TestHome.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

class ProgressWidgetsTest : public ::testing::Test {
 protected:
  ~ProgressWidgetsTest() override {
    LMProgressHUD::sharedHUD().resetForTesting();
    platform::Application::shared().resetForTesting();
  }
  // Time passes in display-link frames, the main queue pumped after each.
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
};

TEST_F(ProgressWidgetsTest, PulseRingsFollowTheirPhases) {
  ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
  auto pulse = LMSyncAnimationView::create({0, 0, 300, 300});
  const double s = 2;
  struct Case {
    double phase;
    double small, smallAlpha, big, bigAlpha;
  };
  // The outer ring's factor 19 leaves it a little above its begin radius at
  // the end of the pulse: 100 + 130 + 30 * 19 * (0.050625) ... = 201.6 px.
  for (const auto& c : std::vector<Case>{{0, 90 * s, 0.55, 100 * s, 0.15},
                                         {0.25, (90 + 127) * s / 2, 0.275, -1, -1},
                                         {0.5, 127 * s, 0, 130 * s, 0},
                                         {1, 90 * s, 0.55, (100 + 130) * s / 2 - 0.050625 * 30 * s * 19 / 2, 0.15},
                                         {1.5, 90 * s, 0.55, -1, -1}}) {
    auto small = pulse->smallCircleAt(c.phase);
    EXPECT_NEAR(small.radius, c.small, 1e-9) << c.phase;
    EXPECT_NEAR(small.alpha, c.smallAlpha, 1e-9) << c.phase;
    if (c.big < 0) continue;
    auto big = pulse->bigCircleAt(c.phase);
    EXPECT_NEAR(big.radius, c.big, 1e-9) << c.phase;
    EXPECT_NEAR(big.alpha, c.bigAlpha, 1e-9) << c.phase;
  }
  for (double p = 0.45; p <= 0.55; p += 0.025) EXPECT_EQ(pulse->bigCircleAt(p).alpha, 0) << p;

  // One pulse runs its two seconds; a second start meanwhile changes nothing.
  struct Listener : LMSyncAnimationViewDelegate {
    int ends = 0;
    void syncAnimationDidFinish() override { ++ends; }
  };
  auto listener = std::make_shared<Listener>();
  pulse->setDelegate(listener);
  pulse->startSyncAnimation();
  double started = pulse->startTime();
  advance(1);
  pulse->startSyncAnimation();
  EXPECT_EQ(pulse->startTime(), started);
  EXPECT_FALSE(pulse->isStop());
  advance(1.05);
  EXPECT_TRUE(pulse->isStop());
  EXPECT_EQ(listener->ends, 1);
  EXPECT_FALSE(pulse->displayLink());
  ASSERT_TRUE(pulse->image() && pulse->image()->picture());
  EXPECT_EQ(pulse->image()->pixelSize(), (ui::Size{600, 600}));
}

TEST_F(ProgressWidgetsTest, PercentageLabelMovesInLegsAndTellsItsDelegateNearTheEnd) {
  struct Listener : LMProcessLabelDelegate {
    int told = 0;
    void processAnimationDidFinish() override { ++told; }
  };
  auto listener = std::make_shared<Listener>();
  auto label = std::make_shared<LMProcessLabel>();
  label->awakeFromNib();
  label->setDelegate(listener);
  label->setProgress(0.2f);
  label->setProgress(0.8f, true);
  std::vector<std::string> shown{label->text()};
  for (int i = 0; i < 40; ++i) {
    advance(1.0 / 60);
    if (shown.empty() || shown.back() != label->text()) shown.push_back(label->text());
  }
  ASSERT_GE(shown.size(), 3u);
  EXPECT_EQ(shown.front(), "20%");
  EXPECT_EQ(shown.back(), "80%");
  EXPECT_FALSE(label->displayLink());

  // A re-aim starts from the value shown, with a fresh duration.
  label->setProgress(0.0f);
  label->setProgress(1.0f, true);
  advance(0.25);
  float shownNow = label->progress();
  label->setProgress(0.5f, true);
  EXPECT_FLOAT_EQ(label->fromProgress(), shownNow);
  advance(0.45);
  EXPECT_TRUE(label->displayLink()) << "the second leg lasts a whole duration";
  advance(0.1);
  EXPECT_EQ(label->text(), "50%");
  // The same value again does nothing.
  label->setProgress(0.5f, true);
  EXPECT_FALSE(label->displayLink());

  label->setPrefixStr(std::string("已同步"));
  label->setProgress(0.999f);
  EXPECT_EQ(label->text(), "已同步99%");
  EXPECT_EQ(listener->told, 1);
  for (float odd : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    EXPECT_EQ(LMProcessLabel::textFor(std::nullopt, odd), "0%");
  }
  EXPECT_EQ(LMProcessLabel::textFor(std::nullopt, 1e30f), std::to_string(std::numeric_limits<int>::max()) + "%");
  // Every value k/100 shows k (in double, 0.9f showed 89 and 50 others k - 1).
  for (int k = 0; k <= 100; ++k) {
    EXPECT_EQ(LMProcessLabel::textFor(std::nullopt, static_cast<float>(k) / 100), std::to_string(k) + "%") << k;
  }
}

TEST_F(ProgressWidgetsTest, ProgressBarFillsFromElevenPointsAndItsLinkDoesNotKeepItAlive) {
  auto bar = LMProgressView::create({0, 0, 111, 9.5});
  EXPECT_DOUBLE_EQ(bar->animationDuration(), 0.5);
  EXPECT_DOUBLE_EQ(LMProgressView::create()->animationDuration(), 0.3);
  for (auto [value, width] : std::vector<std::pair<double, double>>{{0, 11}, {0.5, 61}, {1, 111}, {1.5, 161}}) {
    bar->setProgress(value);
    EXPECT_DOUBLE_EQ(bar->progressView()->frame().width, width) << value;
  }
  bar->setProgress(0.0);
  bar->setProgress(1.0f, true);
  advance(0.25);
  EXPECT_NEAR(bar->progress(), 0.5, 0.04);
  bar->setProgress(0.2);  // stops the animation at once
  advance(1);
  EXPECT_DOUBLE_EQ(bar->progress(), 0.2);

  bar->setProgress(1.0f, true);
  std::weak_ptr<LMProgressView> weak = bar;
  auto link = bar->displayLink();
  bar.reset();
  EXPECT_TRUE(weak.expired()) << "the running link holds the bar only through its proxy";
  advance(0.1);
  EXPECT_FALSE(link->isValid()) << "the first frame without a target ends the link";
}

TEST_F(ProgressWidgetsTest, HudRunsItsBlocksOnTheClockAndAnOverlayReplacesTheLast) {
  auto& hud = LMProgressHUD::sharedHUD();
  bool started = false;
  hud.showWithTitle("正在登录", [&] { started = true; });
  ASSERT_TRUE(hud.window());
  EXPECT_EQ(hud.window()->windowLevel(), ui::kWindowLevelStatusBar + 1);
  EXPECT_TRUE(hud.viewController()->indicatorView->isAnimating());
  EXPECT_GT(hud.viewController()->titleLabel->frame().height, 0);
  advance(0.75);
  EXPECT_FALSE(started);
  advance(0.1);
  EXPECT_TRUE(started) << "0.5 s of fade-in, then 0.3 s";

  // A second overlay replaces the first at once; the stop button runs the
  // cancel block and leaves the overlay up.
  auto first = hud.window();
  int cancels = 0;
  hud.showProgressWithTitle("", 2048, ui::kOrientationMaskPortrait, [&] { ++cancels; }, nullptr);
  EXPECT_TRUE(first->isHidden());
  EXPECT_FALSE(hud.viewController());
  auto progress = hud.progressViewController();
  ASSERT_TRUE(progress);
  EXPECT_EQ(progress->titleLabel->frame().height, 0);
  EXPECT_EQ(progress->processLabel->text(), "0B/2.00KB");
  progress->button->tap();
  EXPECT_EQ(cancels, 1);
  EXPECT_TRUE(hud.window());
  hud.setProgressWithTotalBytesRead(0, 0);
  EXPECT_EQ(progress->processLabel->text(), "0B/0B");
  EXPECT_DOUBLE_EQ(progress->progressView->progress(), 0);

  // The success ending: 0.5 s, the success panel, 0.5 s, the fade.
  bool succeeded = false;
  hud.dismissProgressWithFileSize(2048, [&] { succeeded = true; });
  EXPECT_EQ(progress->processLabel->text(), "2.00KB/2.00KB");
  advance(0.55);
  EXPECT_FALSE(progress->successBgView->isHidden());
  advance(0.55);
  EXPECT_FALSE(succeeded);
  advance(0.5);
  EXPECT_TRUE(succeeded);
  EXPECT_FALSE(hud.window());

  // In the background a dismissal is immediate; a fade-out does not take
  // down an overlay shown while it ran.
  hud.showWithTitle("x");
  platform::Application::shared().setApplicationState(platform::ApplicationState::Background);
  bool dismissed = false;
  hud.dismissWithBlock([&] { dismissed = true; });
  EXPECT_TRUE(dismissed);
  EXPECT_FALSE(hud.window());
  platform::Application::shared().setApplicationState(platform::ApplicationState::Active);
  hud.showWithTitle("a");
  hud.dismiss();
  advance(0.2);
  hud.showWithTitle("b");
  advance(0.5);
  EXPECT_TRUE(hud.window());
  EXPECT_EQ(hud.viewController()->titleLabel->text(), "b");
}

// The controls of the windows over the app's (the HUD's, the alerts') that
// reach out of the screen as it is turned now.
int controlsOffScreen(const std::shared_ptr<ui::View>& view) {
  if (view->isHidden()) return 0;
  int off = 0;
  if (dynamic_cast<ui::Control*>(view.get())) {
    const ui::Point at = view->convertPointToView({0, 0}, nullptr);
    const ui::Rect screen = ui::Screen::main().interfaceBounds();
    off += at.x < 0 || at.y < 0 || at.x + view->frame().width > screen.width ||
           at.y + view->frame().height > screen.height;
  }
  for (const auto& child : view->subviews()) off += controlsOffScreen(child);
  return off;
}

TEST_F(ProgressWidgetsTest, TheHudAndAnAlertOverATurnedPageStayWholeOnScreenAsItTurns) {
  struct Turning : ui::ViewController {
    unsigned supportedInterfaceOrientations() const override { return ui::kOrientationMaskAllButUpsideDown; }
    bool shouldAutorotate() const override { return true; }
  };
  auto& screen = ui::Screen::main();
  screen.setProfile(*ui::DeviceProfile::named("375x667"));
  auto window = std::make_shared<ui::Window>(screen.bounds());
  window->setRootViewController(std::make_shared<Turning>());
  window->makeKeyAndVisible();
  ASSERT_TRUE(screen.rotateTo(ui::InterfaceOrientation::LandscapeLeft));
  LMProgressHUD::sharedHUD().showProgressWithTitle("", 2048, ui::kOrientationMaskAllButUpsideDown, [] {}, nullptr);
  ui::AlertView::alert("Delete this photo?", "It goes from the cloud.", "Cancel", {"Delete"})->show();
  ui::AlertView::actionSheet("", "Cancel", std::nullopt, {"Save", "Share"})->show();
  for (const auto turn : {ui::InterfaceOrientation::LandscapeLeft, ui::InterfaceOrientation::Portrait}) {
    screen.rotateTo(turn);
    ASSERT_EQ(screen.interfaceOrientation(), turn);
    int over = 0;
    int off = 0;
    for (const auto& shown : screen.windows()) {
      if (shown->windowLevel() == ui::kWindowLevelNormal) continue;
      ++over;
      shown->layoutIfNeeded();
      EXPECT_EQ(shown->bounds(), screen.interfaceBounds());
      off += controlsOffScreen(shown);
    }
    EXPECT_EQ(over, 3);
    EXPECT_EQ(off, 0) << static_cast<int>(turn);
    const auto panel = LMProgressHUD::sharedHUD().progressViewController()->processView;
    EXPECT_DOUBLE_EQ(panel->frame().midX(), screen.interfaceBounds().width / 2);
  }
  ui::AlertView::resetForTesting();
  window->setHidden(true);
  screen.resetForTesting();
}

TEST_F(ProgressWidgetsTest, NavigationBarCentresItsItemsAndDrawsItsLine) {
  auto bar = LMCustomNavigationBar::create();
  bar->setFrame({0, 0, 320, 64});
  auto left = std::make_shared<ui::View>(ui::Rect{0, 0, 44, 44});
  auto right = std::make_shared<ui::View>(ui::Rect{0, 0, 30, 20});
  auto title = std::make_shared<ui::Label>();
  title->setText("3/10");
  bar->setLeftItem(left);
  bar->setRightItem(right);
  bar->setTitleView(title);
  bar->layoutIfNeeded();
  EXPECT_EQ(left->center(), (ui::Point{27, 41}));
  EXPECT_EQ(right->center(), (ui::Point{300, 41}));
  EXPECT_EQ(title->center(), (ui::Point{160, 42}));
  EXPECT_GT(title->frame().width, 0);
  EXPECT_EQ(bar->shadowBar()->frame(), (ui::Rect{0, 63, 320, 1}));
  bar->setNavigationBarPotrait(false);
  bar->layoutIfNeeded();
  EXPECT_EQ(left->center(), (ui::Point{27, 32}));
  std::size_t subviews = bar->subviews().size();
  bar->setLeftItem(left);
  EXPECT_EQ(bar->subviews().size(), subviews);
}

TEST_F(ProgressWidgetsTest, CustomButtonFollowsItsHighlightAndFixedRectangles) {
  auto button = LMCustomButton::create({0, 0, 200, 40});
  EXPECT_EQ(button->normalBackgroundColor(), ui::Color::clear());
  EXPECT_FALSE(std::make_shared<LMCustomButton>()->normalBackgroundColor()) << "a scene's button has none";
  button->setNormalBackgroundColor(ui::Color::white());
  button->setHighlightedBackgroundColor(ui::colorWithHexString("ebebeb"));
  EXPECT_EQ(button->backgroundColor(), ui::Color::white()) << "the highlight colour waits for a highlight";
  button->setHighlighted(true);
  EXPECT_EQ(button->backgroundColor(), ui::colorWithHexString("ebebeb"));
  button->setHighlighted(false);
  EXPECT_EQ(button->backgroundColor(), ui::Color::white());

  button->setTitle(std::string("停止"));
  button->setTitleRect({5, 6, 70, 20});
  button->layoutIfNeeded();
  EXPECT_EQ(button->titleLabel()->frame(), (ui::Rect{5, 6, 70, 20}));
  button->setTitleRect({});
  button->layoutIfNeeded();
  EXPECT_EQ(button->titleLabel()->frame(), button->Button::titleRectForContentRect(button->bounds()));

  auto custom = std::make_shared<ui::Label>();
  button->setCustomTitleEdgeInsets({2, 10, 4, 10});
  button->setCustomTitleLabel(custom);
  std::size_t subviews = button->subviews().size();
  button->setCustomTitleLabel(custom);
  EXPECT_EQ(button->subviews().size(), subviews);
  button->layoutIfNeeded();
  EXPECT_EQ(custom->frame(), (ui::Rect{10, 2, 180, 34}));
}

}  // namespace
}  // namespace lumora
