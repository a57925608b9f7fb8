// The gallery page in the offscreen window against the local cloud: a user
// clicks the backup button over 20 library photos; the screen names the
// phases and each photo and ends with "完成". Mid-run the network moves to
// mobile data: the run waits on the prompt until "继续". Two uploads the
// cloud refuses give the details link, which opens their two thumbnails.
// Photos that failed because they cannot be drawn (damaged, or gone since)
// have their tiles on that page all the same, each with its mark.
#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "e2e/E2EHarness.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "support/FileFault.h"
#include "support/TestMedia.h"

namespace e2e {
namespace {

namespace photos = platform::photos;
using lumora::LMGalleryRootViewController;

constexpr std::int64_t kGalleryE2EUserId = 10002;
constexpr const char* kGalleryE2EKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

std::shared_ptr<ui::AlertView> galleryE2EAlert(const std::string& key) {
  for (auto& alert : ui::AlertView::visibleAlerts()) {
    if (alert->title() == ui::localizedString(key)) return alert;
  }
  return nullptr;
}

// The gallery page of a signed-in user with the photo library open to it,
// plenty of space and Wi-Fi, its first-launch questions answered.
class GalleryPageE2ETest : public ::testing::Test {
 protected:
  explicit GalleryPageE2ETest(const std::string& profile = "375x667") : harness_(profile) {
    harness_.clock().setAutoAdvanceSleeps(true);
  }
  ~GalleryPageE2ETest() override {
    platform::ReachabilityMonitor::sharedMonitor().stopMonitoring();
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    ui::resetLocalizedStringsForTesting();
  }

  // `write` puts the library's photos in place once the user is signed in.
  std::shared_ptr<LMGalleryRootViewController> openPage(const std::function<void()>& write) {
    if (!harness_.signIn(kGalleryE2EUserId, "gallery", kGalleryE2EKey)) {
      ADD_FAILURE() << "sign-in refused";
      return nullptr;
    }
    lumora::LMGalleryStoreStack::setShared(nullptr);
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
        [](const std::filesystem::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
    EXPECT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    write();
    auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    monitor.startMonitoring();
    monitor.refresh();

    lumora::registerGalleryScenes();
    auto page = std::dynamic_pointer_cast<LMGalleryRootViewController>(
        lumora::LMStoryboard::instantiateViewControllerWithIdentifier(LMGalleryRootViewController::kSceneIdentifier));
    if (!page) return nullptr;
    harness_.showScreen(ui::NavigationController::withRoot(page));
    harness_.answerAlerts(ui::localizedString("取消"));  // first-launch questions
    harness_.settle(1);
    return page;
  }

  // Clicks the details link of the ended run: the failed-photo grid it
  // opens, once shown.
  std::shared_ptr<lumora::LMErrorPhotoCollectionViewController> openDetails(LMGalleryRootViewController& page) {
    auto link = page.syncLoadViewController()->linkLabel;
    auto rect = link->linkRect();
    harness_.click(link->convertPointToView({rect.midX(), rect.midY()}, nullptr));
    if (!harness_.waitFor([&] { return page.presentedViewController() != nullptr; })) return nullptr;
    auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(page.presentedViewController());
    return navigation ? std::dynamic_pointer_cast<lumora::LMErrorPhotoCollectionViewController>(
                            navigation->topViewController())
                      : nullptr;
  }

  E2EHarness harness_;
};

TEST_F(GalleryPageE2ETest, BackupShowsPhotosWaitsOnMobileDataAndOpensTheFailedOnes) {
  auto& harness = harness_;
  auto& cloud = harness.cloud();
  auto page = openPage([] {
    for (int i = 0; i < 20; ++i) {
      testsupport::writeFile(photos::PhotoLibrary::folder() / ("IMG_" + std::to_string(2000 + i) + ".JPG"),
                             testsupport::makeJpeg(16 + i, 12));
    }
  });
  ASSERT_TRUE(page);
  auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
  harness.click(*page->backupButton);

  std::set<std::string> statuses;
  std::set<std::string> fileNames;
  bool faulted = false;
  bool prompted = false;
  auto screen = [&] { return page->syncLoadViewController(); };
  auto watch = [&] {
    if (!screen() || !screen()->isViewLoaded()) return;
    statuses.insert(screen()->statusLabel->text());
    if (auto prefix = screen()->photoNumLabel->prefixStr()) fileNames.insert(*prefix);
  };
  // Mid-run: the cloud refuses the next two uploads, and the network moves
  // to mobile data.
  ASSERT_TRUE(harness.waitFor([&] { watch(); return fileNames.size() >= 5; }));
  localcloud::Fault refused;
  refused.code = 50001;
  refused.times = 2;
  cloud.faults().set("/lum/gallery/v3/user/" + std::to_string(kGalleryE2EUserId) + "/full", refused);
  faulted = true;
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWWAN);
  monitor.refresh();
  ASSERT_TRUE(harness.waitFor([&] { watch(); return galleryE2EAlert("流量提示") != nullptr; }));
  prompted = true;
  EXPECT_TRUE(page->adapter()->isSuspended());
  harness.screenshot("gallery-page-mobile-data");
  harness.clickButton(ui::localizedString("继续"));
  EXPECT_FALSE(page->adapter()->isSuspended());

  ASSERT_TRUE(harness.waitFor([&] { watch(); return !screen()->finishSyncButton->isHidden(); }));
  ASSERT_TRUE(harness.waitFor([&] { return !screen()->linkLabel->isHidden(); }));
  harness.screenshot("gallery-page-done");
  EXPECT_TRUE(faulted && prompted);
  EXPECT_TRUE(statuses.count(ui::localizedString("正在获取云端信息")));
  EXPECT_TRUE(statuses.count(ui::localizedString("数据备份完成")));
  EXPECT_EQ(fileNames.size(), 20u);
  EXPECT_EQ(page->failImages().size(), 2u);

  auto grid = openDetails(*page);
  ASSERT_TRUE(grid);
  ASSERT_EQ(grid->collectionView()->numberOfItemsInSection(0), 2);
  for (int row = 0; row < 2; ++row) {
    auto cell = std::dynamic_pointer_cast<lumora::LMErrorImageCollectionViewCell>(
        grid->collectionView()->cellForItemAtIndexPath({0, row}));
    ASSERT_TRUE(cell) << row;
    EXPECT_TRUE(harness.waitFor([&] { return cell->imageView->image().has_value(); })) << "thumbnail " << row;
    EXPECT_FALSE(cell->showsUnavailable()) << row;
  }
  harness.screenshot("gallery-page-failed-photos");
}

// Three photos fail because none can be drawn: two damaged (a JPEG cut
// short, one cut to nothing) and one unreadable, whose file then goes
// before the user looks. The window says so and its details page shows
// three grey tiles, each with the unavailable-photo mark, in English and
// Chinese, at 2x and 3x.
class FailedPhotosPageE2ETest : public GalleryPageE2ETest,
                                public ::testing::WithParamInterface<std::tuple<const char*, const char*>> {
 protected:
  FailedPhotosPageE2ETest() : GalleryPageE2ETest(std::get<0>(GetParam())) {}
};

TEST_P(FailedPhotosPageE2ETest, EveryPhotoThatCannotBeDrawnHasItsTileWithTheMark) {
  const std::string language = std::get<1>(GetParam());
  platform::UserDefaults::standard().setObject(platform::UserDefaults::kAppleLanguagesKey,
                                               platform::Json::array({language}));
  ui::resetLocalizedStringsForTesting();
  const auto folder = photos::PhotoLibrary::folder();
  const auto unreadable = folder / "IMG_3003.JPG";
  auto page = openPage([&] {
    const platform::Bytes whole = testsupport::makeJpeg(64, 48);
    testsupport::writeFile(folder / "IMG_3000.JPG", whole);
    testsupport::writeFile(folder / "IMG_3001.JPG", platform::Bytes(whole.begin(), whole.begin() + 100));
    testsupport::writeFile(folder / "IMG_3002.JPG", platform::Bytes());
    testsupport::writeFile(unreadable, testsupport::makeJpeg(48, 64));
  });
  ASSERT_TRUE(page);
  {
    testsupport::FileFault refused(testsupport::FileFault::fromOpen(unreadable, 1, EACCES));
    harness_.click(*page->backupButton);
    ASSERT_TRUE(harness_.waitFor([&] {
      auto screen = page->syncLoadViewController();
      return screen && !screen->linkLabel->isHidden();
    }));
  }
  ASSERT_EQ(page->failImages().size(), 3u);
  EXPECT_EQ(page->syncLoadViewController()->linkLabel->text(),
            ui::localizedCountString("Backup Image Error Format", 3) + ui::localizedString("查看详情"));
  std::filesystem::remove(unreadable);

  auto grid = openDetails(*page);
  ASSERT_TRUE(grid);
  EXPECT_EQ(grid->navigationItem().title, language == "en" ? "Photos" : "照片");
  ASSERT_EQ(grid->collectionView()->numberOfItemsInSection(0), 3);
  std::vector<std::shared_ptr<lumora::LMErrorImageCollectionViewCell>> cells;
  for (int row = 0; row < 3; ++row) {
    cells.push_back(std::dynamic_pointer_cast<lumora::LMErrorImageCollectionViewCell>(
        grid->collectionView()->cellForItemAtIndexPath({0, row})));
    ASSERT_TRUE(cells.back()) << row;
  }
  ASSERT_TRUE(harness_.waitFor([&] {
    return std::all_of(cells.begin(), cells.end(), [](const auto& cell) { return cell->showsUnavailable(); });
  }));
  harness_.settle(1);
  const QImage shot = harness_.screenshot("failed-photos-" + std::string(std::get<0>(GetParam())) + "-" + language);

  // Each tile in sight and reachable, grey at its edge, and the mark's
  // white strokes across its middle: the frame's top and bottom edges and
  // the stroke through it.
  const double scale = ui::Screen::main().scale();
  auto pixel = [&](ui::Point point) {
    return shot.pixelColor(static_cast<int>(std::floor(point.x * scale)),
                           static_cast<int>(std::floor(point.y * scale)));
  };
  for (std::size_t row = 0; row < cells.size(); ++row) {
    SCOPED_TRACE(row);
    const auto& cell = *cells[row];
    EXPECT_TRUE(E2EHarness::reachable(cell));
    const ui::Rect b = cell.bounds();
    const ui::Point corner = cell.convertPointToView({b.x + 4, b.y + 4}, nullptr);
    EXPECT_NEAR(pixel(corner).red(), 0x89, 3);
    EXPECT_NEAR(pixel(corner).blue(), 0x89, 3);
    int white = 0;
    int grey = 0;
    const int side = static_cast<int>(b.width * scale);
    const ui::Point origin = cell.convertPointToView({b.x, b.y}, nullptr);
    const int left = static_cast<int>(origin.x * scale);
    const int top = static_cast<int>(origin.y * scale);
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        const QColor c = shot.pixelColor(left + x, top + y);
        white += c.lightness() > 220 ? 1 : 0;
        grey += std::abs(c.lightness() - 0x89) < 6 ? 1 : 0;
      }
    }
    // The strokes are 2 points wide: some 330 square points of the tile's
    // 10,000 are white; the rest is the tile's grey.
    EXPECT_GT(white, 200 * scale * scale);
    EXPECT_LT(white, 1200 * scale * scale);
    EXPECT_GT(grey, 8000 * scale * scale);
    // The mark sits in the tile's middle: its centre column crosses the
    // frame's top edge and the stroke; its corners are bare.
    int crossings = 0;
    bool inside = false;
    for (double y = b.y; y < b.maxY(); y += 0.5) {
      const bool lit = pixel(cell.convertPointToView({b.midX(), y}, nullptr)).lightness() > 220;
      crossings += lit && !inside ? 1 : 0;
      inside = lit;
    }
    EXPECT_GE(crossings, 2);
  }
  // The page is read-only: a click on a tile leaves it as it is, and the
  // back button leaves the page.
  harness_.click(*cells[1]);
  harness_.settle(1);
  EXPECT_TRUE(cells[1]->showsUnavailable());
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  ASSERT_TRUE(harness_.clickBarItem(*grid->navigationController(), true));
  EXPECT_TRUE(harness_.runUntil([&] { return page->presentedViewController() == nullptr; }));
}

INSTANTIATE_TEST_SUITE_P(Screens, FailedPhotosPageE2ETest,
                         ::testing::Values(std::make_tuple("375x667", "en"), std::make_tuple("414x736", "zh-Hans")),
                         [](const auto& info) {
                           std::string name = std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
                           for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
}  // namespace e2e
