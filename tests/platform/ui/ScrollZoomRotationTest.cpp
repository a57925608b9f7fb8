// The kit's scrolling stand-ins: the pull-to-refresh header and its insets,
// a drag that an inner scroll view cannot follow turning the outer pager, a
// drag from a control scrolling its list instead of pressing the control,
// the mouse wheel scrolling the list under it, zooming to a rectangle and
// back, and the device turning only the screens that allow it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/Control.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/RefreshHeaderView.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

namespace ui = platform::ui;

namespace {

class ScrollZoomRotationTest : public ::testing::Test {
 protected:
  ScrollZoomRotationTest() { ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667")); }
  ~ScrollZoomRotationTest() override { ui::Screen::main().resetForTesting(); }
  void drag(ui::Point from, ui::Point to) {
    auto& screen = ui::Screen::main();
    screen.sendTouch(ui::TouchPhase::Began, from);
    for (int step = 1; step <= 4; ++step) {
      screen.sendTouch(ui::TouchPhase::Moved,
                       {from.x + (to.x - from.x) * step / 4, from.y + (to.y - from.y) * step / 4});
    }
    screen.sendTouch(ui::TouchPhase::Ended, to);
  }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
};

struct ScrollZoomTarget {
  int refreshes = 0;
  void refresh() { ++refreshes; }
};

TEST_F(ScrollZoomRotationTest, RefreshHeaderStartsOnAPullOrACallAndRestoresItsInsets) {
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window->makeKeyAndVisible();
  auto scroll = std::make_shared<ui::ScrollView>(ui::Rect{0, 0, 375, 667});
  scroll->setContentSize({375, 2000});
  scroll->setAlwaysBounceVertical(true);
  window->addSubview(scroll);
  auto header = ui::RefreshHeaderView::refreshView();
  header->addToScrollView(scroll);
  header->setOriginalEdgeInsets({64, 0, 0, 0});
  auto target = std::make_shared<ScrollZoomTarget>();
  header->addTarget(target, &ScrollZoomTarget::refresh);
  int asked = 0;
  header->setRefreshingTimeOperation([&] {
    ++asked;
    return platform::Clock::current()->now();
  });

  // A short pull springs back; a long one (half the finger's way counts)
  // refreshes and keeps the header shown.
  drag({100, 100}, {100, 200});
  EXPECT_EQ(target->refreshes, 0);
  EXPECT_EQ(scroll->contentOffset().y, -64);
  drag({100, 100}, {100, 400});
  EXPECT_EQ(target->refreshes, 1);
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(header->timeLabel()->text().empty());
  EXPECT_EQ(scroll->contentInset().top, 64 + ui::RefreshHeaderView::kHeight);
  header->beginRefreshing();  // already refreshing
  EXPECT_EQ(target->refreshes, 1);

  // New original insets while refreshing keep the header's room.
  header->setOriginalEdgeInsets({32, 0, 0, 0});
  EXPECT_EQ(scroll->contentInset().top, 32 + ui::RefreshHeaderView::kHeight);
  header->endRefreshing();
  EXPECT_EQ(scroll->contentInset(), (ui::EdgeInsets{32, 0, 0, 0}));
  EXPECT_EQ(scroll->contentOffset().y, -32);
  header->beginRefreshing();
  EXPECT_EQ(target->refreshes, 2);
  EXPECT_EQ(asked, 2);
}

struct ScrollZoomPage : ui::ScrollView, ui::ScrollViewDelegate {
  using ScrollView::ScrollView;
  std::shared_ptr<ui::View> content = std::make_shared<ui::View>(ui::Rect{0, 0, 100, 50});
  std::shared_ptr<ui::View> viewForZoomingInScrollView(ui::ScrollView&) override { return content; }
};

TEST_F(ScrollZoomRotationTest, InnerPagesPassDragsTheyCannotFollowAndZoomToRectangles) {
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window->makeKeyAndVisible();
  auto pager = std::make_shared<ui::ScrollView>(ui::Rect{0, 0, 375, 667});
  pager->setPagingEnabled(true);
  pager->setContentSize({375 * 3, 667});
  window->addSubview(pager);
  auto page = std::make_shared<ScrollZoomPage>(ui::Rect{0, 0, 375, 667});
  page->setDelegate(std::weak_ptr<ui::ScrollViewDelegate>(page));
  page->addSubview(page->content);
  pager->addSubview(page);

  // Unzoomed, the page has nothing to scroll: the pager turns.
  drag({300, 300}, {100, 300});
  EXPECT_EQ(pager->contentOffset().x, 375);
  pager->setContentOffset({0, 0});

  // Zoomed in, the page pans itself and the pager stays.
  page->setMaximumZoomScale(10);
  page->zoomToRect({40, 20, 37.5, 66.7}, false);
  EXPECT_NEAR(page->zoomScale(), 10, 1e-9);
  EXPECT_EQ(page->content->frame().size(), (ui::Size{1000, 500}));
  // The rectangle's centre is in the middle of the page.
  EXPECT_NEAR(page->contentOffset().x, (40 + 18.75) * 10 - 187.5, 1e-9);
  const double before = page->contentOffset().x;
  drag({300, 300}, {200, 300});
  EXPECT_NEAR(page->contentOffset().x, before + 100, 1e-9);
  EXPECT_EQ(pager->contentOffset().x, 0);

  // Zooming out comes back to the size at scale 1 whatever frame was set.
  page->setMinimumZoomScale(0.5);
  page->setZoomScale(0.5);
  EXPECT_EQ(page->content->frame().size(), (ui::Size{50, 25}));
}

TEST_F(ScrollZoomRotationTest, TheWheelMovesTheInnermostListThatCanMoveWithinItsContentNeverAPager) {
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window->makeKeyAndVisible();
  auto pager = std::make_shared<ui::ScrollView>(ui::Rect{0, 0, 375, 667});
  pager->setPagingEnabled(true);
  pager->setContentSize({375 * 2, 667});
  window->addSubview(pager);
  auto list = std::make_shared<ui::ScrollView>(ui::Rect{0, 0, 375, 667});
  list->setContentSize({375, 1000});
  pager->addSubview(list);
  list->addSubview(std::make_shared<ui::Button>(ui::Rect{0, 0, 375, 1000}));

  // Over the button: the list around it moves, up to its end and back to
  // its top; past them, and sideways, nothing moves (the pager turns only
  // by a drag).
  const struct {
    double dx, dy;
    bool moved;
    double listY;
  } turns[] = {{0, 100, true, 100}, {0, 1000, true, 333}, {0, 40, false, 333},
               {0, -2000, true, 0}, {0, -40, false, 0},   {120, 0, false, 0}};
  for (const auto& turn : turns) {
    SCOPED_TRACE(testing::Message() << turn.dx << "," << turn.dy);
    EXPECT_EQ(ui::Screen::main().scrollWheel({200, 300}, turn.dx, turn.dy), turn.moved);
    EXPECT_EQ(list->contentOffset(), (ui::Point{0, turn.listY}));
    EXPECT_EQ(pager->contentOffset(), (ui::Point{0, 0}));
  }
}

TEST_F(ScrollZoomRotationTest, ADragPastTheSlopFromAControlScrollsAndCancelsTheControlsTouch) {
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window->makeKeyAndVisible();
  auto list = std::make_shared<ui::ScrollView>(ui::Rect{0, 0, 375, 667});
  list->setContentSize({375, 2000});
  window->addSubview(list);
  auto button = std::make_shared<ui::Button>(ui::Rect{0, 100, 375, 50});
  list->addSubview(button);
  int presses = 0;
  button->setAction([&] { ++presses; });
  int holds = 0;
  button->addGestureRecognizer(std::make_shared<ui::LongPressGestureRecognizer>([&](ui::GestureRecognizer& r) {
    if (r.state() == ui::GestureRecognizer::State::Began) ++holds;
  }));
  auto& screen = ui::Screen::main();

  // A tap presses, and so does a touch that stays within the slop.
  screen.tap({100, 125});
  drag({100, 125}, {104, 128});
  EXPECT_EQ(presses, 2);
  // Past the slop the list scrolls and the button hears no more of it.
  drag({100, 125}, {100, 25});
  EXPECT_EQ(list->contentOffset().y, 100);
  EXPECT_EQ(presses, 2);
  EXPECT_FALSE(button->isHighlighted());
  // Nor is a press held after the drag began a long press.
  list->setContentOffset({0, 0});
  screen.sendTouch(ui::TouchPhase::Began, {100, 125});
  screen.sendTouch(ui::TouchPhase::Moved, {100, 90});
  clock_->advance(platform::seconds(1));
  platform::MainQueue::main().runUntilIdle();
  screen.sendTouch(ui::TouchPhase::Ended, {100, 90});
  EXPECT_EQ(holds, 0);
  EXPECT_EQ(presses, 2);

  // Sideways, where the list cannot scroll, the button keeps the touch.
  list->setContentOffset({0, 0});
  drag({100, 125}, {300, 125});
  EXPECT_EQ(list->contentOffset(), (ui::Point{0, 0}));
  EXPECT_EQ(presses, 3);
  // A list that does not scroll leaves its controls alone: up and out.
  list->setScrollEnabled(false);
  drag({100, 125}, {100, 60});
  EXPECT_EQ(list->contentOffset(), (ui::Point{0, 0}));
  EXPECT_EQ(presses, 3);
}

struct ScrollZoomScreen : ui::ViewController {
  unsigned mask = ui::kOrientationMaskPortrait;
  bool rotates = false;
  std::vector<std::string> heard;
  unsigned supportedInterfaceOrientations() const override { return mask; }
  bool shouldAutorotate() const override { return rotates; }
  void willRotateToInterfaceOrientation(ui::InterfaceOrientation, double) override {
    heard.push_back("will " + std::to_string(view()->bounds().width));
  }
  void didRotateFromInterfaceOrientation(ui::InterfaceOrientation) override {
    heard.push_back("did " + std::to_string(view()->bounds().width));
  }
};

TEST_F(ScrollZoomRotationTest, OnlyScreensThatAllowLandscapeTurn) {
  auto root = std::make_shared<ScrollZoomScreen>();
  auto navigation = ui::NavigationController::withRoot(root);
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window->setRootViewController(navigation);
  window->makeKeyAndVisible();
  window->layoutIfNeeded();
  auto& screen = ui::Screen::main();

  EXPECT_FALSE(screen.rotateTo(ui::InterfaceOrientation::LandscapeLeft));
  EXPECT_EQ(window->bounds().size(), (ui::Size{375, 667}));
  EXPECT_TRUE(root->heard.empty());

  auto grid = std::make_shared<ScrollZoomScreen>();
  grid->mask = ui::kOrientationMaskAllButUpsideDown;
  grid->rotates = true;
  navigation->pushViewController(grid, false);
  // Still held turned, the device turns the grid as it comes to the front.
  EXPECT_EQ(window->bounds().size(), (ui::Size{667, 375}));
  EXPECT_FALSE(screen.rotateTo(ui::InterfaceOrientation::PortraitUpsideDown));
  EXPECT_EQ(window->bounds().size(), (ui::Size{667, 375}));
  EXPECT_TRUE(screen.rotateTo(ui::InterfaceOrientation::Portrait));
  grid->heard.clear();
  EXPECT_TRUE(screen.rotateTo(ui::InterfaceOrientation::LandscapeLeft));
  EXPECT_EQ(window->bounds().size(), (ui::Size{667, 375}));
  EXPECT_EQ(navigation->view()->bounds().size(), (ui::Size{667, 375}));
  // The navigation bar is lower in landscape and the screen below it follows.
  EXPECT_EQ(grid->view()->frame(), (ui::Rect{0, 32, 667, 343}));
  EXPECT_EQ(screen.bounds().size(), (ui::Size{375, 667}));
  EXPECT_EQ(screen.interfaceBounds().size(), (ui::Size{667, 375}));
  ASSERT_EQ(grid->heard.size(), 2u);
  EXPECT_EQ(grid->heard.back().substr(0, 3), "did");
  EXPECT_TRUE(screen.rotateTo(ui::InterfaceOrientation::Portrait));
  EXPECT_EQ(window->bounds().size(), (ui::Size{375, 667}));
  EXPECT_EQ(grid->view()->frame(), (ui::Rect{0, 64, 375, 603}));
}

}  // namespace
