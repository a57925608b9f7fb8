// The photo browser's window of three pages: where it opens, what each page
// turn recycles and places, and how the window closes over a deleted row,
// whoever deleted it, down to the last photo.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <numeric>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/Window.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "support/TestHome.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

// A browser over a plain list of photo numbers.
class PagingBrowser : public LMGalleryPhotoBrowseViewController {
 public:
  std::vector<int> photos;
  std::map<const LMPhotoView*, int> shown;

 protected:
  std::size_t photoCount() const override { return photos.size(); }
  void givePagePhoto(LMPhotoView& page, std::size_t index) override { shown[&page] = photos.at(index); }
};

struct PagingGrid : LMGalleryPhotoBrowseViewControllerDelegate {
  int disappeared = 0;
  int allDeleted = 0;
  void didPhotoBrowseViewDisappear() override { ++disappeared; }
  void didDeleteAllPhotos() override { ++allDeleted; }
};

class PhotoBrowserPagingTest : public ::testing::Test {
 protected:
  PhotoBrowserPagingTest() {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    window_->setRootViewController(std::make_shared<ui::ViewController>());
    window_->makeKeyAndVisible();
  }
  ~PhotoBrowserPagingTest() override { ui::Screen::main().resetForTesting(); }

  std::shared_ptr<PagingBrowser> open(int count, std::size_t at) {
    auto browser = std::make_shared<PagingBrowser>();
    browser->photos.resize(static_cast<std::size_t>(count));
    std::iota(browser->photos.begin(), browser->photos.end(), 0);
    browser->setDelegate(grid_);
    browser->show();
    browser->setCurrentPhotoIndex(at);
    window_->layoutIfNeeded();
    return browser;
  }
  // The photo numbers the pages show, by page from the left.
  static std::vector<int> pages(const PagingBrowser& browser) {
    std::vector<std::pair<double, int>> byX;
    for (const auto& [index, page] : browser.visiblePages()) {
      EXPECT_EQ(browser.shown.at(page.get()), browser.photos.at(index)) << index;
      byX.emplace_back(page->frame().x, browser.photos.at(index));
    }
    std::sort(byX.begin(), byX.end());
    std::vector<int> numbers;
    for (std::size_t i = 0; i < byX.size(); ++i) {
      EXPECT_EQ(byX[i].first, 375.0 * static_cast<double>(i));
      numbers.push_back(byX[i].second);
    }
    return numbers;
  }
  static double page(const PagingBrowser& browser) { return browser.photoScrollView()->contentOffset().x / 375; }
  void swipe(double dx) {
    auto& screen = ui::Screen::main();
    screen.sendTouch(ui::TouchPhase::Began, {187, 300});
    for (int step = 1; step <= 4; ++step) screen.sendTouch(ui::TouchPhase::Moved, {187 + dx * step / 4, 300});
    screen.sendTouch(ui::TouchPhase::Ended, {187 + dx, 300});
    clock_->advance(platform::seconds(1));
    platform::MainQueue::main().runUntilIdle();
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::shared_ptr<ui::Window> window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  std::shared_ptr<PagingGrid> grid_ = std::make_shared<PagingGrid>();
};

TEST_F(PhotoBrowserPagingTest, OpensAtTheTappedPhotoAndMovesItsWindowOnePhotoPerTurn) {
  auto two = open(2, 1);
  EXPECT_EQ(two->titleLabel()->text(), "2/2");
  EXPECT_EQ(two->photoScrollView()->contentSize().width, 750);
  EXPECT_EQ(page(*two), 1);
  two->photoViewDidEndZoom(*two->visiblePages().front().second);

  auto ten = open(10, 9);
  EXPECT_EQ(pages(*ten), (std::vector<int>{7, 8, 9}));
  EXPECT_EQ(page(*ten), 2);
  swipe(200);  // back to the middle page: nothing moves
  EXPECT_EQ(ten->photoIndex(), 8u);
  EXPECT_EQ(pages(*ten), (std::vector<int>{7, 8, 9}));
  swipe(200);  // to page 0: 9 recycled, 6 placed, re-centred
  EXPECT_EQ(ten->photoIndex(), 7u);
  EXPECT_EQ(pages(*ten), (std::vector<int>{6, 7, 8}));
  EXPECT_EQ(page(*ten), 1);
  swipe(-200);
  swipe(-200);
  EXPECT_EQ(ten->photoIndex(), 9u);
  EXPECT_EQ(pages(*ten), (std::vector<int>{7, 8, 9}));
  EXPECT_EQ(ten->titleLabel()->text(), "10/10");

  // While the interface turns, scrolling moves no page.
  ten->willRotateToInterfaceOrientation(ui::InterfaceOrientation::LandscapeLeft, 0.3);
  ten->photoScrollView()->setContentOffset({0, 0});
  EXPECT_EQ(ten->photoIndex(), 9u);
  ten->didRotateFromInterfaceOrientation(ui::InterfaceOrientation::Portrait);
}

TEST_F(PhotoBrowserPagingTest, DeletedRowsCloseTheWindowAroundThePhotoShown) {
  struct Case {
    int count;
    std::size_t at, row;
    std::vector<int> pages;
    int shown;
    double page;
  };
  const std::vector<Case> cases = {
      {2, 0, 0, {1}, 1, 0},              {3, 1, 1, {0, 2}, 0, 0},          {3, 2, 2, {0, 1}, 1, 1},
      {10, 0, 0, {1, 2, 3}, 1, 0},       {10, 1, 1, {0, 2, 3}, 2, 1},      {10, 5, 5, {3, 4, 6}, 4, 1},
      {10, 9, 9, {6, 7, 8}, 8, 2},       {4, 3, 3, {0, 1, 2}, 2, 2},
      // Rows another device deleted: the photo shown stays.
      {10, 9, 1, {7, 8, 9}, 9, 2},       {10, 5, 8, {4, 5, 6}, 5, 1},      {10, 5, 0, {4, 5, 6}, 5, 1},
      {10, 8, 0, {7, 8, 9}, 8, 1}};
  for (const auto& c : cases) {
    auto browser = open(c.count, c.at);
    browser->photos.erase(browser->photos.begin() + static_cast<std::ptrdiff_t>(c.row));
    browser->deletePhotoIndex(c.row);
    clock_->advance(platform::seconds(0.31));
    platform::MainQueue::main().runUntilIdle();
    EXPECT_EQ(pages(*browser), c.pages) << c.count << " " << c.at << " " << c.row;
    EXPECT_EQ(browser->photos.at(browser->photoIndex()), c.shown) << c.count << " " << c.at << " " << c.row;
    EXPECT_EQ(page(*browser), c.page) << c.count << " " << c.at << " " << c.row;
    browser->photoViewDidEndZoom(*browser->visiblePages().front().second);
  }

  auto last = open(1, 0);
  last->photos.clear();
  last->deletePhotoIndex(0);
  EXPECT_FALSE(last->toolBar()->isEnabled());
  EXPECT_EQ(last->view()->superview(), nullptr);
  EXPECT_EQ(grid_->allDeleted, 1);
}

}  // namespace
}  // namespace lumora
