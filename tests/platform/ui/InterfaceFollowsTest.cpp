// The interface follows the front screen: whatever brings a page that
// stays upright to the front of a turned interface (a pop, a pop to the
// root, a dismissal, a push, a presentation, a window going) turns the
// interface upright, the page laid out whole below a full bar; a page that
// rotates coming back to the front turns with the device still held
// turned; an upright page opened while the device is held turned stays
// upright.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

namespace ui = platform::ui;

namespace {

struct TurnScreen : ui::ViewController {
  explicit TurnScreen(unsigned mask = ui::kOrientationMaskPortrait, bool rotates = false)
      : mask(mask), rotates(rotates) {}
  unsigned mask;
  bool rotates;
  int turnsHeard = 0;
  unsigned supportedInterfaceOrientations() const override { return mask; }
  bool shouldAutorotate() const override { return rotates; }
  void willRotateToInterfaceOrientation(ui::InterfaceOrientation, double) override { ++turnsHeard; }
};

std::shared_ptr<TurnScreen> rotating() {
  return std::make_shared<TurnScreen>(ui::kOrientationMaskAllButUpsideDown, true);
}

class InterfaceFollowsTest : public ::testing::Test {
 protected:
  InterfaceFollowsTest() { ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667")); }
  ~InterfaceFollowsTest() override { ui::Screen::main().resetForTesting(); }

  std::shared_ptr<ui::Window> show(const std::shared_ptr<ui::ViewController>& root) {
    auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    window->layoutIfNeeded();
    return window;
  }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
};

// The upright page in front, drawn whole in the window as it is upright:
// under a bar with room for the status bar above its items.
void expectUprightAndWhole(const ui::Window& window, ui::NavigationController& navigation, ui::ViewController& page) {
  EXPECT_EQ(ui::Screen::main().interfaceOrientation(), ui::InterfaceOrientation::Portrait);
  EXPECT_EQ(window.bounds().size(), (ui::Size{375, 667}));
  EXPECT_EQ(navigation.view()->frame(), (ui::Rect{0, 0, 375, 667}));
  EXPECT_EQ(navigation.navigationBar()->frame(), (ui::Rect{0, 0, 375, ui::NavigationController::kBarHeight}));
  EXPECT_EQ(page.view()->frame(), (ui::Rect{0, 64, 375, 603}));
}

TEST_F(InterfaceFollowsTest, AnUprightPageBroughtToTheFrontOfATurnedInterfaceTurnsItUpright) {
  struct Row {
    const char* how;
    // Given the upright page's navigation, the app's window and a turned
    // grid pushed on it, brings an upright page to the front; returns it.
    std::function<std::shared_ptr<ui::ViewController>(ui::NavigationController&, std::shared_ptr<TurnScreen>)> act;
    // The navigation the page is in, when not the app's own.
    bool ownNavigation = false;
  };
  std::shared_ptr<ui::NavigationController> presented;
  const std::vector<Row> rows = {
      {"Back", [](ui::NavigationController& nav, auto) {
         nav.popViewController(true);
         return nav.topViewController();
       }},
      {"pop to the root past another turned page", [](ui::NavigationController& nav, auto) {
         nav.pushViewController(rotating(), true);
         nav.popToRootViewController(true);
         return nav.topViewController();
       }},
      {"push of an upright page", [](ui::NavigationController& nav, auto) {
         auto page = std::make_shared<TurnScreen>();
         nav.pushViewController(page, true);
         return std::static_pointer_cast<ui::ViewController>(page);
       }},
      {"push of a page naming no orientation", [](ui::NavigationController& nav, auto) {
         auto page = std::make_shared<TurnScreen>(0u);
         nav.pushViewController(page, true);
         return std::static_pointer_cast<ui::ViewController>(page);
       }},
      {"presentation of an upright page", [&](ui::NavigationController&, std::shared_ptr<TurnScreen> grid) {
         presented = ui::NavigationController::withRoot(std::make_shared<TurnScreen>());
         grid->presentViewController(presented, true);
         return presented->topViewController();
       }, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.how);
    auto upright = std::make_shared<TurnScreen>();
    auto navigation = ui::NavigationController::withRoot(upright);
    auto window = show(navigation);
    auto grid = rotating();
    navigation->pushViewController(grid, true);
    ASSERT_TRUE(ui::Screen::main().rotateTo(ui::InterfaceOrientation::LandscapeLeft));
    ASSERT_EQ(window->bounds().size(), (ui::Size{667, 375}));
    upright->turnsHeard = 0;

    auto page = row.act(*navigation, grid);
    ASSERT_TRUE(page);
    expectUprightAndWhole(*window, row.ownNavigation ? *presented : *navigation, *page);
    if (page == upright) {
      EXPECT_EQ(upright->turnsHeard, 1) << "the interface turned once";
    }
    // The device row turned upright and back: the page stays upright.
    EXPECT_FALSE(ui::Screen::main().rotateTo(ui::InterfaceOrientation::Portrait));
    EXPECT_FALSE(ui::Screen::main().rotateTo(ui::InterfaceOrientation::LandscapeLeft));
    EXPECT_EQ(window->bounds().size(), (ui::Size{375, 667}));
    window->setHidden(true);
    ui::Screen::main().resetForTesting();
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
  }
}

TEST_F(InterfaceFollowsTest, ADismissalOrAWindowGoingUncoversAnUprightPageThatTurnsItUpright) {
  for (const bool dismiss : {true, false}) {
    SCOPED_TRACE(dismiss ? "dismissal" : "window hidden");
    auto upright = std::make_shared<TurnScreen>();
    auto navigation = ui::NavigationController::withRoot(upright);
    auto window = show(navigation);
    auto turned = ui::NavigationController::withRoot(rotating());
    std::shared_ptr<ui::Window> over;
    if (dismiss) {
      ASSERT_TRUE(upright->presentViewController(turned, true));
    } else {
      over = show(turned);
    }
    ASSERT_TRUE(ui::Screen::main().rotateTo(ui::InterfaceOrientation::LandscapeLeft));
    if (dismiss) {
      ASSERT_TRUE(turned->topViewController()->dismissViewController(true));
    } else {
      over->setHidden(true);
    }
    expectUprightAndWhole(*window, *navigation, *upright);
    window->setHidden(true);
    ui::Screen::main().rotateTo(ui::InterfaceOrientation::Portrait);
  }
}

TEST_F(InterfaceFollowsTest, ARotatingPageTurnsWithTheDeviceHeldTurnedAndAnUprightOneOpenedSoStaysUpright) {
  auto& screen = ui::Screen::main();
  auto upright = std::make_shared<TurnScreen>();
  auto navigation = ui::NavigationController::withRoot(upright);
  auto window = show(navigation);
  // Held turned over the upright page: it stays upright, and so does an
  // upright page opened now.
  EXPECT_FALSE(screen.rotateTo(ui::InterfaceOrientation::LandscapeLeft));
  EXPECT_EQ(screen.deviceOrientation(), ui::InterfaceOrientation::LandscapeLeft);
  auto list = std::make_shared<TurnScreen>();
  navigation->pushViewController(list, true);
  expectUprightAndWhole(*window, *navigation, *list);
  // A page that rotates turns with the device as it comes to the front;
  // an upright one over it turns the interface back, and gone, the page
  // below turns with the device again.
  auto grid = rotating();
  navigation->pushViewController(grid, true);
  EXPECT_EQ(screen.interfaceOrientation(), ui::InterfaceOrientation::LandscapeLeft);
  EXPECT_EQ(grid->view()->frame(), (ui::Rect{0, 32, 667, 343}));
  navigation->pushViewController(std::make_shared<TurnScreen>(), true);
  EXPECT_EQ(screen.interfaceOrientation(), ui::InterfaceOrientation::Portrait);
  navigation->popViewController(true);
  EXPECT_EQ(screen.interfaceOrientation(), ui::InterfaceOrientation::LandscapeLeft);
  EXPECT_EQ(window->bounds().size(), (ui::Size{667, 375}));
  // Turned back upright by the device, the grid follows it.
  EXPECT_TRUE(screen.rotateTo(ui::InterfaceOrientation::Portrait));
  EXPECT_EQ(grid->view()->frame(), (ui::Rect{0, 64, 375, 603}));
  window->setHidden(true);
}

}  // namespace
