// Layouts that follow the room a screen gets: a list below a navigation
// bar can show its last row (its view follows the room below the bar) on
// every device either way up, and a collection flows its items again when
// its width changes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/ui/CollectionView.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

namespace ui = platform::ui;

namespace {

constexpr int kListRows = 60;

// A prompt line over a list, made at the screen's size as the app's list
// screens are; the list follows its view.
class PromptListScreen : public ui::ViewController, public ui::TableViewDataSource, public ui::CollectionViewDataSource {
 public:
  explicit PromptListScreen(bool grid) : grid_(grid) {}
  void loadView() override {
    const ui::Rect screen = ui::Screen::main().interfaceBounds();
    auto root = std::make_shared<ui::View>(screen);
    auto prompt = std::make_shared<ui::Label>(ui::Rect{15, 0, screen.width - 30, 36});
    prompt->setAutoresizingMask(ui::kAutoresizingFlexibleWidth);
    const ui::Rect rest{0, 36, screen.width, screen.height - 36};
    if (grid_) {
      ui::FlowLayout layout;
      layout.itemSize = {100, 100};
      list_ = collection_ = std::make_shared<ui::CollectionView>(rest, layout);
    } else {
      list_ = table_ = std::make_shared<ui::TableView>(rest);
    }
    list_->setAutoresizingMask(ui::kAutoresizingFlexibleWidth | ui::kAutoresizingFlexibleHeight);
    setView(root);
    root->addSubview(prompt);
    root->addSubview(list_);
  }
  void viewDidLoad() override {
    auto self = std::static_pointer_cast<PromptListScreen>(shared_from_this());
    if (table_) {
      table_->setDataSource(std::weak_ptr<ui::TableViewDataSource>(self));
      table_->reloadData();
    } else {
      collection_->registerCell("c", [] { return std::make_shared<ui::CollectionViewCell>("c"); });
      collection_->setDataSource(std::weak_ptr<ui::CollectionViewDataSource>(self));
      collection_->reloadData();
    }
  }
  unsigned supportedInterfaceOrientations() const override { return ui::kOrientationMaskAll; }
  bool shouldAutorotate() const override { return true; }

  int numberOfRowsInSection(ui::TableView&, int) override { return kListRows; }
  std::shared_ptr<ui::TableViewCell> cellForRowAtIndexPath(ui::TableView&, ui::IndexPath) override {
    return std::make_shared<ui::TableViewCell>();
  }
  int numberOfItemsInSection(ui::CollectionView&, int) override { return kListRows; }
  std::shared_ptr<ui::CollectionViewCell> cellForItemAtIndexPath(ui::CollectionView& view, ui::IndexPath) override {
    return view.dequeueReusableCell("c");
  }

  // The last row's or item's place in the window.
  ui::Rect lastInWindow() const {
    const ui::Rect r = table_ ? table_->rectForRowAtIndexPath({0, kListRows - 1})
                              : collection_->frameForItemAtIndexPath({0, kListRows - 1});
    const ui::Point origin = list_->convertPointToView(r.origin(), nullptr);
    return {origin.x, origin.y, r.width, r.height};
  }
  std::shared_ptr<ui::ScrollView> list_;
  std::shared_ptr<ui::TableView> table_;
  std::shared_ptr<ui::CollectionView> collection_;

 private:
  bool grid_;
};

class LayoutFollowsTest : public ::testing::Test {
 protected:
  ~LayoutFollowsTest() override { ui::Screen::main().resetForTesting(); }
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
};

TEST_F(LayoutFollowsTest, TheLastRowOfAListBelowTheBarScrollsWhollyIntoViewOnEveryDeviceEitherWayUp) {
  for (const char* device : {"320x480", "320x568", "375x667", "414x736"}) {
    for (bool landscape : {false, true}) {
      for (bool grid : {false, true}) {
        SCOPED_TRACE(std::string(device) + (landscape ? " landscape" : " portrait") + (grid ? " grid" : " table"));
        auto& screen = ui::Screen::main();
        screen.resetForTesting();
        screen.setProfile(*ui::DeviceProfile::named(device));
        auto window = std::make_shared<ui::Window>(screen.bounds());
        auto list = std::make_shared<PromptListScreen>(grid);
        auto navigation = ui::NavigationController::withRoot(list);
        window->setRootViewController(navigation);
        window->makeKeyAndVisible();
        if (landscape) {
          ASSERT_TRUE(screen.rotateTo(ui::InterfaceOrientation::LandscapeLeft));
        }
        window->layoutIfNeeded();
        const ui::Rect shown = window->bounds();
        const double bar = navigation->navigationBar()->frame().maxY();
        // The wheel, over the list, as far as it goes.
        const ui::Point middle = list->list_->convertPointToView(
            {list->list_->bounds().midX(), list->list_->bounds().midY()}, nullptr);
        for (int notch = 0; notch < 400 && screen.scrollWheel(middle, 0, 40); ++notch) window->layoutIfNeeded();
        const ui::Rect last = list->lastInWindow();
        EXPECT_GE(last.y, bar);
        EXPECT_LE(last.maxY(), shown.maxY() + 1e-9) << "the last row ends below the window";
        EXPECT_LE(last.maxX(), shown.maxX() + 1e-9);
      }
    }
  }
}

TEST_F(LayoutFollowsTest, ACollectionFlowsItsItemsAgainWhenItsWidthChanges) {
  ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  auto grid = std::make_shared<PromptListScreen>(true);
  window->setRootViewController(grid);
  window->makeKeyAndVisible();
  window->layoutIfNeeded();
  auto& view = *grid->collection_;
  const auto column = [&](int item) { return view.frameForItemAtIndexPath({0, item}).x; };
  // Three to a row upright; six when the view is as wide as a turned phone.
  EXPECT_GT(column(1), column(0));
  EXPECT_EQ(column(3), column(0));
  view.setFrame({0, 36, 667, 339});
  window->layoutIfNeeded();
  EXPECT_GT(column(5), column(4));
  EXPECT_EQ(column(6), column(0));
  EXPECT_EQ(view.contentSize().width, 667);
  for (const auto& path : view.indexPathsForVisibleItems()) {
    EXPECT_EQ(view.cellForItemAtIndexPath(path)->frame(), view.frameForItemAtIndexPath(path)) << path.row;
  }
}

}  // namespace
