// The overlay login dialog: where it lays itself out, its bounce-in on the
// clock, rotation, and how it ends.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "account/KPAuthorizeDialog.h"
#include "account/LoginTestSupport.h"
#include "platform/app/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"

namespace {

using lumora::KPAuthorizeDialog;
using platform::Application;
using platform::Json;
using platform::MainQueue;

struct Delegate : lumora::KPAuthorizeDialogDelegate {
  std::vector<Json> infos;
  int cancels = 0;
  void authorizeDialog(KPAuthorizeDialog&, const Json& info) override { infos.push_back(info); }
  void authorizeDialogDidCancel(KPAuthorizeDialog&) override { ++cancels; }
};

class LoginAuthorizeDialogTest : public logintest::ScreenTest {
 protected:
  std::shared_ptr<KPAuthorizeDialog> make() {
    return KPAuthorizeDialog::create("https://account.test/oauth2/authorize", Json{{"client_id", "7"}},
                                     {}, std::string("app://back"), delegate);
  }
  bool inWindow(const std::shared_ptr<KPAuthorizeDialog>& dialog) {
    return dialog->superview() == dialog->modalBackgroundView() &&
           dialog->modalBackgroundView()->superview() == Application::shared().keyWindow();
  }
  std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
};

TEST_F(LoginAuthorizeDialogTest, ShowsOverTheWindowAndBouncesInOnTheClock) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  auto dialog = make();
  dialog->show();

  EXPECT_TRUE(inWindow(dialog));
  EXPECT_EQ(dialog->frame(), (platform::ui::Rect{0, 20, 320, 460}));
  EXPECT_EQ(dialog->webView()->frame(), (platform::ui::Rect{1, 1, 318, 459}));
  EXPECT_EQ(dialog->closeButton()->frame(), (platform::ui::Rect{290, 1, 29, 29}));
  EXPECT_EQ(dialog->webView()->request()->url, "https://account.test/oauth2/authorize?client_id=7");
  EXPECT_TRUE(dialog->indicatorView()->isAnimating());

  EXPECT_DOUBLE_EQ(dialog->transform().scale, 1.1);
  clock->advance(platform::seconds(0.2));
  MainQueue::main().runUntilIdle();
  EXPECT_DOUBLE_EQ(dialog->transform().scale, 0.9);
  clock->advance(platform::seconds(0.3));
  MainQueue::main().runUntilIdle();
  clock->advance(platform::seconds(0.2));
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(dialog->transform(), platform::ui::Transform::identity());

  // Turning the device lays the panel out for the new orientation.
  Application::shared().setStatusBarOrientation(platform::InterfaceOrientation::LandscapeRight);
  platform::NotificationCenter::defaultCenter().post(KPAuthorizeDialog::kOrientationNotification);
  EXPECT_EQ(dialog->previousOrientation(), platform::InterfaceOrientation::LandscapeRight);
  EXPECT_DOUBLE_EQ(dialog->frame().width, 460);
  EXPECT_DOUBLE_EQ(dialog->transform().rotation, std::numbers::pi / 2);
  // The web view keeps its margins; the close button its place from the top left.
  dialog->layoutIfNeeded();
  EXPECT_EQ(dialog->webView()->frame(), (platform::ui::Rect{1, 1, 458, dialog->frame().height - 1}));
  EXPECT_EQ(dialog->closeButton()->frame(), (platform::ui::Rect{290, 1, 29, 29}));
  EXPECT_FALSE(dialog->shouldRotateToOrientation(platform::InterfaceOrientation::LandscapeRight));
  dialog->updateWebOrientation();
  EXPECT_EQ(dialog->webView()->evaluatedScripts().back(),
            "document.body.setAttribute('orientation', 90);");
  dialog->_hide();
}

TEST_F(LoginAuthorizeDialogTest, RedirectHandsBackAndCloseCancelsThenBothLeaveTheWindow) {
  auto dialog = make();
  dialog->show();
  EXPECT_TRUE(dialog->webView()->navigate("https://account.test/step"));
  EXPECT_FALSE(dialog->webView()->navigate("app://back?code=9"));
  ASSERT_EQ(delegate->infos.size(), 1u);
  EXPECT_EQ(delegate->infos[0], (Json{{"url", "app://back?code=9"}, {"query", "code=9"}}));
  EXPECT_TRUE(inWindow(dialog));  // leaves on the main queue
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(dialog->superview(), nullptr);
  EXPECT_TRUE(Application::shared().keyWindow()->subviews().empty());

  auto second = make();
  second->show();
  EXPECT_TRUE(second->closeButton()->tap());
  EXPECT_EQ(delegate->cancels, 1);
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(second->superview(), nullptr);
}

}  // namespace
