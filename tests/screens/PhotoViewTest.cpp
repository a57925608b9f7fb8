// The browser's page: how an image is fitted and how far it zooms, a double
// tap zooming in and out with the single tap held back, and the closing
// zoom into the grid cell's rectangle.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/Window.h"
#include "screens/gallery/LMPhotoView.h"
#include "support/TestHome.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

struct PhotoViewBrowser : LMPhotoViewDelegate {
  std::vector<std::string> heard;
  ui::Rect cell;
  bool animate = false;
  void photoViewWillHide(LMPhotoView&) override { heard.push_back("hide"); }
  void photoViewSingleTap(LMPhotoView&) override { heard.push_back("tap"); }
  void photoViewDidEndZoom(LMPhotoView&) override { heard.push_back("end"); }
  bool shouldPhotoViewAnimate(LMPhotoView&) override { return animate; }
  ui::Rect animateFrameWithPhotoView(LMPhotoView&) override { return cell; }
};

class PhotoViewTest : public ::testing::Test {
 protected:
  PhotoViewTest() {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    window_->makeKeyAndVisible();
    window_->addSubview(page_);
    page_->setPhotoViewDelegate(browser_);
  }
  ~PhotoViewTest() override { ui::Screen::main().resetForTesting(); }
  void show(ui::Size size) {
    page_->imageView()->setImage(ui::Image::imageWithPicture(ui::DisplayList{}, size));
    page_->adjustFrame();
  }
  void advance(double seconds) {
    clock_->advance(platform::seconds(seconds));
    platform::MainQueue::main().runUntilIdle();
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::shared_ptr<ui::Window> window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  std::shared_ptr<LMPhotoView> page_ = LMPhotoView::create({0, 0, 375, 667});
  std::shared_ptr<PhotoViewBrowser> browser_ = std::make_shared<PhotoViewBrowser>();
};

TEST_F(PhotoViewTest, ImagesAreFittedToThePageWithTheirZoomLimits) {
  struct Case {
    ui::Size image;
    double minimum;
    ui::Rect fitted;
    ui::Size content;
  };
  for (const auto& c : std::vector<Case>{{{4000, 3000}, 0.09375, {0, 192, 375, 281.25}, {0, 281.25}},
                                         {{200, 100}, 0.8, {0, 239, 375, 187.5}, {0, 187.5}},
                                         {{1000, 4000}, 667.0 / 4000, {104, 0, 166.75, 667}, {166.75, 0}}}) {
    show(c.image);
    EXPECT_DOUBLE_EQ(page_->minimumZoomScale(), c.minimum);
    EXPECT_DOUBLE_EQ(page_->zoomScale(), c.minimum);
    EXPECT_DOUBLE_EQ(page_->maximumZoomScale(), 1.2);
    EXPECT_EQ(page_->imageView()->frame(), c.fitted);
    EXPECT_EQ(page_->contentSize(), c.content);
  }
}

TEST_F(PhotoViewTest, DoubleTapsZoomAndSingleTapsArriveLate) {
  show({4000, 3000});
  ui::Screen::main().tap({100, 300});
  advance(0.1);
  ui::Screen::main().tap({100, 300});
  advance(0.5);
  EXPECT_TRUE(browser_->heard.empty());
  EXPECT_DOUBLE_EQ(page_->zoomScale(), 1.2);
  // The image's point under the taps stays in the middle of the page.
  EXPECT_NEAR(page_->contentOffset().x, 100 / 0.09375 * 1.2 - 187.5, 1e-6);

  ui::Screen::main().tap({100, 300});
  advance(0.1);
  ui::Screen::main().tap({100, 300});
  advance(0.5);
  EXPECT_DOUBLE_EQ(page_->zoomScale(), 0.09375);
  EXPECT_TRUE(browser_->heard.empty());

  ui::Screen::main().tap({100, 300});
  advance(0.39);
  EXPECT_TRUE(browser_->heard.empty());
  advance(0.02);
  EXPECT_EQ(browser_->heard, (std::vector<std::string>{"tap"}));
}

TEST_F(PhotoViewTest, ClosingZoomsIntoTheCellOrEndsAtOnceWithoutOne) {
  show({4000, 3000});
  browser_->cell = {10, 80, 91, 91};
  page_->hidePhotoView();
  EXPECT_EQ(browser_->heard, (std::vector<std::string>{"hide"}));
  EXPECT_EQ(page_->imageView()->frame(), browser_->cell);
  advance(0.2);
  EXPECT_EQ(browser_->heard.size(), 1u);
  advance(0.06);
  EXPECT_EQ(browser_->heard, (std::vector<std::string>{"hide", "end"}));

  browser_->heard.clear();
  browser_->cell = {};
  page_->hidePhotoView();
  EXPECT_EQ(browser_->heard, (std::vector<std::string>{"hide", "end"}));

  // Opening from a cell starts there and moves to the fitted frame.
  browser_->cell = {10, 80, 91, 91};
  browser_->animate = true;
  show({4000, 3000});
  EXPECT_EQ(page_->imageView()->presentationFrame(), browser_->cell);
  advance(0.31);
  EXPECT_EQ(page_->imageView()->presentationFrame(), (ui::Rect{0, 192, 375, 281.25}));
}

}  // namespace
}  // namespace lumora
