// The gallery's cells and toolbar: the album cell's stack for one, two and
// more photos (the back ones loaded from their addresses), the toolbar's divider inset per screen size, and a disabled
// toolbar that sends nothing.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/MainQueue.h"
#include "platform/ui/ImageCache.h"
#include "platform/ui/Window.h"
#include "screens/gallery/LMAlbumCollectionViewCell.h"
#include "screens/gallery/LMGalleryToolBar.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"
#include "support/TestHome.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

class GalleryCellsTest : public ::testing::Test {
 protected:
  ~GalleryCellsTest() override { ui::Screen::main().resetForTesting(); }
  testsupport::TestHome home_;
};

TEST_F(GalleryCellsTest, AlbumCellsStackUpToTwoPhotosBehindTheCover) {
  auto cell = LMAlbumCollectionViewCell::create({0, 0, 100, 144});
  cell->layoutIfNeeded();
  EXPECT_EQ(cell->backgroundImageView1()->frame(), (ui::Rect{2, 31, 96, 96}));
  EXPECT_EQ(cell->backgroundImageView2()->frame(), (ui::Rect{4, 38, 92, 92}));
  EXPECT_EQ(cell->selectImageView()->frame(), (ui::Rect{69, 95, 24, 24}));
  struct Case {
    std::size_t urls;
    bool second, third;
  };
  // Each album's pictures are in the image cache under addresses of their own.
  auto& cache = ui::ImageCache::sharedImageCache();
  auto picture = [&](std::size_t urls, std::size_t index) {
    const std::string url = "http://127.0.0.1:9/album" + std::to_string(urls) + "/" + std::to_string(index) + ".jpg";
    if (!cache.imageFromMemoryCache(url)) {
      cache.storeImage(ui::Image::imageWithPicture({}, {10.0 + index, 10}), std::nullopt, url, false);
    }
    return url;
  };
  auto shows = [&](const ui::ImageView& view, const std::string& url) {
    return view.image() && view.image()->identity() == cache.imageFromMemoryCache(url)->identity();
  };
  for (const auto& c : std::vector<Case>{{0, false, false}, {1, false, false}, {2, true, false}, {3, true, true},
                                         {5, true, true}, {2, true, false}}) {
    std::vector<std::string> urls;
    for (std::size_t i = 0; i < c.urls; ++i) urls.push_back(picture(c.urls, i));
    cell->setThumbnailImageURLArray(urls, {});
    platform::MainQueue::main().runUntilIdle();
    EXPECT_EQ(!cell->backgroundImageView1()->isHidden(), c.second) << c.urls;
    EXPECT_EQ(!cell->backgroundImageView2()->isHidden(), c.third) << c.urls;
    EXPECT_TRUE(!c.second || shows(*cell->backgroundImageView1(), urls[1])) << c.urls;
    EXPECT_TRUE(!c.third || shows(*cell->backgroundImageView2(), urls[2])) << c.urls;
  }

  auto photo = LMPhotoCollectionViewCell::create({0, 0, 91, 91});
  photo->layoutIfNeeded();
  EXPECT_TRUE(photo->playView()->isHidden());
  EXPECT_EQ(photo->playView()->frame().center(), photo->bounds().center());
  EXPECT_EQ(photo->imageView()->frame(), photo->bounds());
}

struct GalleryCellsPresses : LMGalleryToolBarDelegate {
  std::vector<unsigned> pressed;
  void didPressGalleryToolBarButton(ui::Button&, unsigned index) override { pressed.push_back(index); }
};

TEST_F(GalleryCellsTest, ToolBarDividerFollowsTheScreenAndADisabledBarSendsNothing) {
  struct Case {
    ui::DeviceProfile profile;
    double inset;
  };
  const std::vector<Case> cases = {{*ui::DeviceProfile::named("320x568"), 7},
                                   {*ui::DeviceProfile::named("375x667"), 8},
                                   {*ui::DeviceProfile::named("414x736"), 11},
                                   {{"400x700", {400, 700}, 2}, 0}};
  for (const auto& c : cases) {
    ui::Screen::main().setProfile(c.profile);
    auto bar = LMGalleryToolBar::create({0, 0, 345, 55});
    bar->layoutIfNeeded();
    EXPECT_EQ(bar->divideView()->frame(), (ui::Rect{172, c.inset / 2, 1, 55 - c.inset})) << c.profile.name;
    EXPECT_EQ(bar->downloadButton()->frame(), (ui::Rect{172.5, 0, 172.5, 55})) << c.profile.name;
  }

  auto bar = LMGalleryToolBar::create({0, 0, 345, 55});
  auto presses = std::make_shared<GalleryCellsPresses>();
  bar->setDelegate(presses);
  bar->downloadButton()->tap();
  bar->deleteButton()->tap();
  bar->setEnabled(false);
  EXPECT_FALSE(bar->deleteButton()->isEnabled());
  bar->downloadButton()->tap();
  bar->deleteButton()->tap();
  EXPECT_EQ(presses->pressed, (std::vector<unsigned>{LMGalleryToolBar::kDownloadIndex, LMGalleryToolBar::kDeleteIndex}));
}

}  // namespace
}  // namespace lumora
