// The headless UI kit: cell reuse, the batch-update check, alerts pressed by
// title, tap recognisers that wait for each other, the time sources on the
// manual clock, hit testing and the touch path into controls, the bar's back
// item, colours.
#include <gtest/gtest.h>

#include <memory>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/BackBarButton.h"
#include "platform/ui/CollectionView.h"
#include "platform/ui/Control.h"
#include "platform/ui/DisplayLink.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/TableView.h"
#include "platform/ui/Window.h"

namespace ui = platform::ui;

namespace {

class UiKitTest : public ::testing::Test {
 protected:
  void advance(double seconds) {
    clock_->advance(platform::seconds(seconds));
    platform::MainQueue::main().runUntilIdle();
  }
  std::shared_ptr<ui::Window> showWindow() {
    auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
    window->makeKeyAndVisible();
    return window;
  }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
};

struct UiKitRows : ui::TableViewDataSource {
  int made = 0;
  int rows = 100;
  int numberOfRowsInSection(ui::TableView&, int) override { return rows; }
  std::shared_ptr<ui::TableViewCell> cellForRowAtIndexPath(ui::TableView& table, ui::IndexPath path) override {
    auto cell = table.dequeueReusableCell("row");
    if (!cell) {
      ++made;
      cell = std::make_shared<ui::TableViewCell>("row");
    }
    cell->textLabel()->setText(std::to_string(path.row));
    return cell;
  }
};

TEST_F(UiKitTest, TableCellsAreReusedAsRowsScrollOutAndIn) {
  auto rows = std::make_shared<UiKitRows>();
  auto table = std::make_shared<ui::TableView>(ui::Rect{0, 0, 320, 440});
  table->setDataSource(rows);
  table->reloadData();
  EXPECT_EQ(rows->made, 10);
  auto first = table->cellForRowAtIndexPath({0, 0});
  ASSERT_TRUE(first);

  table->setContentOffset({0, 440});
  table->layoutIfNeeded();
  EXPECT_EQ(rows->made, 10) << "the ten rows coming in take the ten cells that left";
  EXPECT_FALSE(table->cellForRowAtIndexPath({0, 0}));
  ASSERT_TRUE(table->cellForRowAtIndexPath({0, 10}));
  EXPECT_EQ(table->cellForRowAtIndexPath({0, 10})->textLabel()->text(), "10");
  EXPECT_EQ(table->indexPathsForVisibleRows().size(), 10u);

  // A drag stops at the end of the content.
  auto window = showWindow();
  window->addSubview(table);
  ui::Screen::main().sendTouch(ui::TouchPhase::Began, {100, 400});
  ui::Screen::main().sendTouch(ui::TouchPhase::Moved, {100, -1e5});
  ui::Screen::main().sendTouch(ui::TouchPhase::Ended, {100, -1e5});
  EXPECT_DOUBLE_EQ(table->contentOffset().y, 100 * 44 - 440);
}

struct UiKitItems : ui::CollectionViewDataSource {
  std::vector<int> counts;
  int asked = 0;
  int numberOfSectionsInCollectionView(ui::CollectionView&) override { return static_cast<int>(counts.size()); }
  int numberOfItemsInSection(ui::CollectionView&, int section) override { return counts[static_cast<std::size_t>(section)]; }
  std::shared_ptr<ui::CollectionViewCell> cellForItemAtIndexPath(ui::CollectionView& view, ui::IndexPath p) override {
    ++asked;
    auto cell = view.dequeueReusableCell("item");
    if (!cell) cell = std::make_shared<ui::CollectionViewCell>("item");
    cell->setTag(p.section * 100 + p.row);
    return cell;
  }
};

TEST_F(UiKitTest, BatchUpdatesAreCheckedAgainstTheDataSourceCounts) {
  struct Case {
    const char* name;
    std::vector<int> after;
    std::function<void(ui::CollectionView&)> updates;
    bool consistent;
    int asked;  // cells asked for after the batch (those of items that stayed in place are kept)
  };
  const std::vector<Case> cases = {
      {"one inserted", {4, 2}, [](auto& v) { v.insertItemsAtIndexPaths({{0, 3}}); }, true, 1},
      {"one inserted in front", {4, 2}, [](auto& v) { v.insertItemsAtIndexPaths({{0, 0}}); }, true, 4},
      {"one reloaded", {3, 2}, [](auto& v) { v.reloadItemsAtIndexPaths({{1, 1}}); }, true, 1},
      {"first deleted", {2, 2}, [](auto& v) { v.deleteItemsAtIndexPaths({{0, 0}}); }, true, 2},
      {"one inserted, two added", {5, 2}, [](auto& v) { v.insertItemsAtIndexPaths({{0, 3}}); }, false, 7},
      {"deleted without telling", {2, 2}, [](auto&) {}, false, 4},
      {"moved across sections", {2, 3}, [](auto& v) { v.moveItemAtIndexPath({0, 0}, {1, 0}); }, true, 5},
      {"section deleted", {2}, [](auto& v) { v.deleteSections({0}); }, true, 2},
      {"section gone untold", {2}, [](auto& v) { v.deleteItemsAtIndexPaths({{0, 0}}); }, false, 2},
      {"section inserted in front", {1, 3, 2}, [](auto& v) { v.insertSections({0}); }, true, 6},
  };
  for (const auto& c : cases) {
    auto items = std::make_shared<UiKitItems>();
    items->counts = {3, 2};
    auto view = std::make_shared<ui::CollectionView>(ui::Rect{0, 0, 320, 480});
    view->setDataSource(items);
    view->reloadData();
    items->counts = c.after;
    items->asked = 0;
    auto status = view->performBatchUpdates([&] { c.updates(*view); });
    EXPECT_EQ(status.ok(), c.consistent) << c.name;
    if (!status.ok()) {
      EXPECT_EQ(status.error().code(), ui::kCollectionViewInconsistentUpdate) << c.name;
    }
    EXPECT_EQ(view->numberOfSections(), static_cast<int>(c.after.size())) << c.name << ": reloaded either way";
    EXPECT_EQ(items->asked, c.asked) << c.name;
    for (const auto& p : view->indexPathsForVisibleItems()) {
      EXPECT_EQ(view->cellForItemAtIndexPath(p)->tag(), p.section * 100 + p.row) << c.name;
      EXPECT_EQ(view->cellForItemAtIndexPath(p)->frame(), view->frameForItemAtIndexPath(p)) << c.name;
    }
  }
}

TEST_F(UiKitTest, FlowLayoutFillsRowsInsideTheSectionInsets) {
  auto items = std::make_shared<UiKitItems>();
  items->counts = {5};
  ui::FlowLayout layout{{100, 100}, 5, 5, {10, 5, 10, 5}};
  auto view = std::make_shared<ui::CollectionView>(ui::Rect{0, 0, 320, 480}, layout);
  view->setDataSource(items);
  view->reloadData();
  EXPECT_EQ(view->frameForItemAtIndexPath({0, 2}), (ui::Rect{215, 10, 100, 100}));
  EXPECT_EQ(view->frameForItemAtIndexPath({0, 3}), (ui::Rect{5, 115, 100, 100}));
  EXPECT_DOUBLE_EQ(view->contentSize().height, 10 + 205 + 10);
}

TEST_F(UiKitTest, AlertsAndActionSheetsArePressedByTitle) {
  int pressed = -1;
  auto alert = ui::AlertView::alert("流量提示", "", std::string("取消"), {"继续"},
                                    [&](ui::AlertView&, int index) { pressed = index; });
  alert->show();
  ASSERT_EQ(ui::AlertView::visibleAlerts().size(), 1u);
  EXPECT_FALSE(alert->pressButtonWithTitle("好"));
  EXPECT_TRUE(alert->pressButtonWithTitle("继续"));
  EXPECT_EQ(pressed, 1);
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  EXPECT_TRUE(ui::Screen::main().windows().empty());

  auto sheet = ui::AlertView::actionSheet("", std::string("取消"), std::string("退出"), {"设置"},
                                          [&](ui::AlertView&, int index) { pressed = index; });
  sheet->show();
  EXPECT_EQ(sheet->cancelButtonIndex(), 2);
  // A touch on the sheet's last row reaches its cancel button.
  ui::Rect screen = ui::Screen::main().bounds();
  ui::Screen::main().tap({screen.width / 2, screen.height - 8 - 20});
  EXPECT_EQ(pressed, 2);
  EXPECT_FALSE(sheet->isVisible());
}

TEST_F(UiKitTest, ADoubleTapBeatsASingleTapThatWaitsForIt) {
  auto window = showWindow();
  auto view = std::make_shared<ui::View>(ui::Rect{0, 0, 320, 480});
  window->addSubview(view);
  int singles = 0;
  int doubles = 0;
  auto single = std::make_shared<ui::TapGestureRecognizer>([&](ui::GestureRecognizer&) { ++singles; });
  auto twice = std::make_shared<ui::TapGestureRecognizer>([&](ui::GestureRecognizer&) { ++doubles; });
  twice->setNumberOfTapsRequired(2);
  single->requireGestureRecognizerToFail(twice);
  view->addGestureRecognizer(single);
  view->addGestureRecognizer(twice);

  ui::Screen::main().tap({100, 100});
  advance(0.1);
  ui::Screen::main().tap({102, 101});
  advance(1);
  EXPECT_EQ(doubles, 1);
  EXPECT_EQ(singles, 0);

  ui::Screen::main().tap({100, 300});
  advance(0.2);
  EXPECT_EQ(singles, 0) << "still waiting for a second tap";
  advance(0.2);
  EXPECT_EQ(singles, 1);

  int presses = 0;
  auto longPress = std::make_shared<ui::LongPressGestureRecognizer>([&](ui::GestureRecognizer& r) {
    if (r.state() == ui::GestureRecognizer::State::Began) ++presses;
  });
  view->addGestureRecognizer(longPress);
  ui::Screen::main().sendTouch(ui::TouchPhase::Began, {50, 50});
  advance(0.6);
  ui::Screen::main().sendTouch(ui::TouchPhase::Ended, {50, 50});
  EXPECT_EQ(presses, 1);
}

TEST_F(UiKitTest, LinksTimersAndAnimationsMoveOnlyWithTheClock) {
  int frames = 0;
  double lastStamp = 0;
  auto link = ui::DisplayLink::create([&](ui::DisplayLink& l) {
    ++frames;
    lastStamp = l.timestamp();
  });
  link->addToMainRunLoop();
  platform::MainQueue::main().runUntilIdle();
  EXPECT_EQ(frames, 0);
  advance(1.0 / 60);
  EXPECT_EQ(frames, 1);
  EXPECT_DOUBLE_EQ(lastStamp, ui::mediaTime());
  link->setPaused(true);
  advance(1);
  EXPECT_EQ(frames, 1);
  link->setPaused(false);
  advance(1.0 / 60);
  EXPECT_EQ(frames, 2);
  link->invalidate();
  advance(1);
  EXPECT_EQ(frames, 2);

  int fired = 0;
  auto timer = ui::Timer::scheduled(0.5, true, [&](ui::Timer&) { ++fired; });
  advance(0.5);
  advance(0.5);
  timer->invalidate();
  advance(5);
  EXPECT_EQ(fired, 2);

  auto view = std::make_shared<ui::View>(ui::Rect{0, 0, 10, 10});
  bool finished = false;
  ui::View::animate(0.5, [&] { view->setAlpha(0); }, [&](bool) { finished = true; });
  EXPECT_DOUBLE_EQ(view->alpha(), 0);
  EXPECT_DOUBLE_EQ(view->presentationAlpha(), 1);
  advance(0.25);
  EXPECT_DOUBLE_EQ(view->presentationAlpha(), 0.5);
  EXPECT_FALSE(finished);
  advance(0.25);
  EXPECT_TRUE(finished);
  EXPECT_DOUBLE_EQ(view->presentationAlpha(), 0);
}

TEST_F(UiKitTest, TouchesGoToTheFrontmostInteractiveViewAndControlsTrackThem) {
  auto window = showWindow();
  auto container = std::make_shared<ui::View>(ui::Rect{20, 40, 200, 200});
  window->addSubview(container);
  auto button = std::make_shared<ui::Button>(ui::Rect{10, 10, 100, 40});
  container->addSubview(button);
  int inside = 0;
  int outside = 0;
  button->addAction(ui::kControlEventTouchUpInside, [&](ui::Control&) { ++inside; });
  button->addAction(ui::kControlEventTouchUpOutside, [&](ui::Control&) { ++outside; });

  EXPECT_EQ(ui::Screen::main().hitTest({30, 50}), button);
  EXPECT_EQ(ui::Screen::main().hitTest({29, 50}), container);
  ui::Screen::main().sendTouch(ui::TouchPhase::Began, {50, 60});
  EXPECT_TRUE(button->isHighlighted());
  ui::Screen::main().sendTouch(ui::TouchPhase::Moved, {200, 60});
  EXPECT_FALSE(button->isHighlighted());
  ui::Screen::main().sendTouch(ui::TouchPhase::Ended, {200, 60});
  // An underlined title stays underlined through a press.
  button->setTitle("link");
  button->titleLabel()->setAttributedText({ui::TextRun{"link", true, 0, 0, ui::Color::white()}});
  ui::Screen::main().tap({129, 89});
  EXPECT_EQ(inside, 1);
  EXPECT_EQ(outside, 1);
  EXPECT_EQ(button->titleLabel()->attributedText().size(), 1u);
  button->setTitle("other");
  EXPECT_TRUE(button->titleLabel()->attributedText().empty()) << "a new title replaces it";

  for (auto hide : std::vector<std::function<void()>>{[&] { button->setHidden(true); },
                                                      [&] { button->setAlpha(0); },
                                                      [&] { button->setUserInteractionEnabled(false); }}) {
    button->setHidden(false);
    button->setAlpha(1);
    button->setUserInteractionEnabled(true);
    hide();
    EXPECT_EQ(ui::Screen::main().hitTest({30, 50}), container);
  }

  // A window above takes the touches where it has views.
  auto front = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  front->setWindowLevel(ui::kWindowLevelStatusBar + 1);
  front->makeKeyAndVisible();
  EXPECT_EQ(ui::Screen::main().hitTest({30, 50}), front);
  front->setHidden(true);
  EXPECT_EQ(ui::Screen::main().keyWindow(), window);
}

struct UiKitScreen : ui::ViewController {
  std::vector<std::string> events;
  void viewDidLoad() override { events.push_back("load"); }
  void viewWillAppear(bool) override { events.push_back("will appear"); }
  void viewDidAppear(bool) override { events.push_back("did appear"); }
  void viewWillDisappear(bool) override { events.push_back("will disappear"); }
  void viewDidDisappear(bool) override { events.push_back("did disappear"); }
};

TEST_F(UiKitTest, ControllersPresentPushAndPopWithTheirAppearances) {
  auto window = showWindow();
  auto root = std::make_shared<UiKitScreen>();
  window->setRootViewController(root);
  window->makeKeyAndVisible();
  EXPECT_EQ(root->events, (std::vector<std::string>{"load", "will appear", "did appear"}));

  auto modal = std::make_shared<UiKitScreen>();
  bool shown = false;
  EXPECT_TRUE(root->presentViewController(modal, true, [&] { shown = true; }));
  EXPECT_FALSE(root->presentViewController(std::make_shared<UiKitScreen>(), true)) << "one at a time";
  EXPECT_EQ(modal->view()->superview(), window) << "a presented screen covers the window";
  EXPECT_FALSE(shown);
  platform::MainQueue::main().runUntilIdle();
  EXPECT_TRUE(shown);
  EXPECT_TRUE(modal->dismissViewController(true));
  EXPECT_FALSE(modal->view()->superview());
  EXPECT_EQ(modal->events.back(), "did disappear");

  auto second = std::make_shared<UiKitScreen>();
  auto navigation = ui::NavigationController::withRoot(root);
  second->navigationItem().title = "第二页";
  window->setRootViewController(navigation);
  navigation->pushViewController(second, true);
  EXPECT_EQ(navigation->topViewController(), second);
  EXPECT_EQ(second->navigationController(), navigation);
  EXPECT_DOUBLE_EQ(second->view()->frame().y, ui::NavigationController::kBarHeight);
  EXPECT_EQ(navigation->popViewController(true), second);
  EXPECT_FALSE(navigation->popViewController(true)) << "the root stays";
  EXPECT_EQ(second->events.back(), "did disappear");

  auto child = std::make_shared<UiKitScreen>();
  root->addChildViewController(child);
  EXPECT_EQ(child->parentViewController(), root);
  EXPECT_EQ(child->navigationController(), navigation);
  child->removeFromParentViewController();
  EXPECT_TRUE(root->childViewControllers().empty());
}

TEST_F(UiKitTest, APushedScreenWithoutALeftItemOfItsOwnGoesBackByTheBarsBackItem) {
  auto window = showWindow();
  auto root = std::make_shared<UiKitScreen>();
  auto navigation = ui::NavigationController::withRoot(root);
  window->setRootViewController(navigation);
  auto back = [&]() -> std::shared_ptr<ui::BackBarButton> {
    for (const auto& item : navigation->navigationBar()->subviews()) {
      if (auto button = std::dynamic_pointer_cast<ui::BackBarButton>(item)) return button;
    }
    return nullptr;
  };
  EXPECT_FALSE(back()) << "the root has nowhere to go back to";

  auto plain = std::make_shared<UiKitScreen>();
  navigation->pushViewController(plain, true);
  ASSERT_TRUE(back());
  ui::DisplayList drawn;
  back()->draw(drawn);
  EXPECT_FALSE(drawn.empty()) << "the chevron";
  EXPECT_FALSE(back()->title().empty());
  EXPECT_GT(back()->frame().width, back()->titleLabel()->sizeThatFits({}).width);

  auto own = std::make_shared<UiKitScreen>();
  own->navigationItem().leftBarButtonItem = ui::BarButtonItem{"取消", [] {}};
  navigation->pushViewController(own, true);
  EXPECT_FALSE(back()) << "a screen's own left item stands instead";
  navigation->pushViewController(std::make_shared<UiKitScreen>(), false);
  navigation->popToViewController(std::make_shared<UiKitScreen>(), true);
  EXPECT_EQ(navigation->viewControllers().size(), 4u) << "a screen not stacked pops nothing";
  navigation->popToViewController(plain, true);
  EXPECT_EQ(navigation->topViewController(), plain);
  EXPECT_EQ(own->events.back(), "did disappear");

  // A tap on the back item pops, animated, as the phone's does.
  ASSERT_TRUE(back());
  window->layoutIfNeeded();
  ui::Screen::main().tap(back()->convertPointToView(back()->bounds().center(), nullptr));
  EXPECT_EQ(navigation->topViewController(), root);
  EXPECT_EQ(plain->events.back(), "did disappear");
  EXPECT_FALSE(back());
}

TEST_F(UiKitTest, ScrollViewsTurnWholePagesAndZoomTheirView) {
  auto window = showWindow();
  auto pages = std::make_shared<ui::ScrollView>(ui::Rect{0, 0, 320, 480});
  pages->setContentSize({960, 480});
  pages->setPagingEnabled(true);
  window->addSubview(pages);
  auto drag = [](double fromX, double toX) {
    ui::Screen::main().sendTouch(ui::TouchPhase::Began, {fromX, 200});
    ui::Screen::main().sendTouch(ui::TouchPhase::Moved, {toX, 200});
    ui::Screen::main().sendTouch(ui::TouchPhase::Ended, {toX, 200});
  };
  drag(300, 200);  // a third of a page: turns it
  EXPECT_DOUBLE_EQ(pages->contentOffset().x, 320);
  drag(200, 170);  // a tenth: stays
  EXPECT_DOUBLE_EQ(pages->contentOffset().x, 320);
  drag(10, 300);
  EXPECT_DOUBLE_EQ(pages->contentOffset().x, 0);

  struct Zoomer : ui::ScrollViewDelegate {
    std::shared_ptr<ui::View> photo = std::make_shared<ui::View>(ui::Rect{0, 0, 320, 240});
    std::shared_ptr<ui::View> viewForZoomingInScrollView(ui::ScrollView&) override { return photo; }
  };
  auto zoomer = std::make_shared<Zoomer>();
  pages->setDelegate(zoomer);
  pages->setMaximumZoomScale(3);
  pages->setZoomScale(5);
  EXPECT_DOUBLE_EQ(pages->zoomScale(), 3);
  EXPECT_EQ(zoomer->photo->frame().size(), (ui::Size{960, 720}));
  pages->setZoomScale(1);
  EXPECT_EQ(pages->contentSize(), (ui::Size{320, 240}));
}

TEST_F(UiKitTest, LabelsMeasureWrapAndRecordTheirRuns) {
  auto label = std::make_shared<ui::Label>(ui::Rect{0, 0, 100, 40});
  label->setFont(ui::Font::systemFont(10));
  label->setText("abcdefghij");  // 5 points a letter with the fixed measurer
  EXPECT_EQ(label->sizeThatFits({0, 0}), (ui::Size{50, 12}));
  label->setNumberOfLines(0);
  label->setText("停止停止停止停止停止停止");
  EXPECT_EQ(label->sizeThatFits({50, 0}), (ui::Size{50, 36}));

  label->setTextAlignment(ui::TextAlignment::Center);
  label->setAttributedText({{"ab", true, 0, 0, std::nullopt}, {"cd", false, 0.2, 3, std::nullopt}});
  EXPECT_EQ(label->text(), "abcd");
  auto list = label->displayList();
  ASSERT_EQ(list.items().size(), 2u);
  const auto& first = std::get<ui::DrawText>(list.items()[0]);
  const auto& second = std::get<ui::DrawText>(list.items()[1]);
  EXPECT_DOUBLE_EQ(first.rect.x, 40);
  EXPECT_DOUBLE_EQ(second.rect.x, 50);
  EXPECT_TRUE(first.style.underline);
  EXPECT_DOUBLE_EQ(second.style.obliqueness, 0.2);
  EXPECT_DOUBLE_EQ(second.style.baselineOffset, 3);

  // A run in a font of its own is measured in it and stands on the line's foot.
  label->setAttributedText({{"ab", false, 0, 0, std::nullopt}, {"cd", false, 0, 0, std::nullopt, ui::Font::systemFont(20)}});
  list = label->displayList();
  const auto& small = std::get<ui::DrawText>(list.items()[0]);
  const auto& large = std::get<ui::DrawText>(list.items()[1]);
  EXPECT_DOUBLE_EQ(small.rect.x, 35);
  EXPECT_DOUBLE_EQ(large.rect.x, 45);
  EXPECT_DOUBLE_EQ(large.style.font.size, 20);
  EXPECT_DOUBLE_EQ(large.rect.maxY(), 20 + 12 / 2.0);

  auto window = showWindow();
  window->addSubview(label);
  std::string tree = window->describe();
  EXPECT_NE(tree.find("cd"), std::string::npos);
  EXPECT_NE(tree.find("Label"), std::string::npos);
}

TEST_F(UiKitTest, ThePreferredLanguageComesFromTheLocale) {
  for (auto [locale, language] : std::vector<std::pair<const char*, const char*>>{{"zh_CN.UTF-8", "zh-Hans"},
                                                                                  {"zh_TW.UTF-8", "zh-Hant"},
                                                                                  {"de_DE@euro", "de"},
                                                                                  {"C.UTF-8", "en"},
                                                                                  {"", "en"},
                                                                                  {nullptr, "en"}}) {
    EXPECT_EQ(platform::UserDefaults::languageFromLocale(locale), language) << (locale ? locale : "(none)");
  }
}

TEST_F(UiKitTest, HexColoursReadAlphaFirstInEightDigits) {
  struct Case {
    const char* text;
    ui::Color color;
  };
  for (const auto& c : std::vector<Case>{{"d0ffffff", {1, 1, 1, 208 / 255.0}},
                                         {"a3a3a3", {163 / 255.0, 163 / 255.0, 163 / 255.0, 1}},
                                         {"#1c65c5", {28 / 255.0, 101 / 255.0, 197 / 255.0, 1}},
                                         {"12345", ui::Color::clear()},
                                         {"zz0000", ui::Color::clear()}}) {
    ui::Color got = ui::colorWithHexString(c.text);
    EXPECT_NEAR(got.red, c.color.red, 1e-9) << c.text;
    EXPECT_NEAR(got.green, c.color.green, 1e-9) << c.text;
    EXPECT_NEAR(got.blue, c.color.blue, 1e-9) << c.text;
    EXPECT_NEAR(got.alpha, c.color.alpha, 1e-9) << c.text;
  }
}

}  // namespace
