// The device turned with the panel while a cloud album is open, in the
// offscreen window against the local cloud, acting only through clicks on
// the phone and on the panel: every way back from the turned album to a
// page that stays upright (its Back; deleting its last photo in the turned
// browser) shows My Cloud Albums upright and whole, and its Back the main
// pages, whose buttons all take clicks; the window is upright again. On two
// devices, in both languages. Download in the turned browser keeps the
// status bar off the browser's bar while the progress box shows. And every
// panel row's label fits its row.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/AppScenes.h"
#include "e2e/E2EHarness.h"
#include "platform/app/Application.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/WebImageManager.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMAlbumCollectionViewCell.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMGalleryToolBar.h"
#include "screens/gallery/LMPhotoView.h"
#include "screens/shell/LMBaseRootViewController.h"

namespace e2e {
namespace {

using lumora::LMBaseRootViewController;

constexpr std::int64_t kTurnUser = 10004;
constexpr const char* kTurnKey = "MDEyMzQ1Njc4OWFiY2RlZg==";
constexpr std::size_t kTurnDeviceRow = 1;

std::string turnText(const char* key) { return ui::localizedString(key); }

void turnUseLanguage(const char* language) {
  platform::UserDefaults::standard().registerDefaults(
      {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({language})}});
  ui::resetLocalizedStringsForTesting();
}

// The interface upright and the window fitted to it; every control of the
// bar at the top of `page` (its navigation bar, or its own top row) drawn
// whole below the status bar and taking clicks.
void turnExpectUprightWhole(E2EHarness& harness, const std::vector<std::shared_ptr<ui::View>>& top,
                            const char* page) {
  SCOPED_TRACE(page);
  const auto& screen = ui::Screen::main();
  EXPECT_EQ(screen.interfaceOrientation(), ui::InterfaceOrientation::Portrait);
  const ui::Rect window = screen.interfaceBounds();
  EXPECT_LT(window.width, window.height);
  EXPECT_NEAR(harness.window().size().height(), window.height * harness.window().phoneScale(), 1);
  EXPECT_FALSE(top.empty());
  EXPECT_EQ(E2EHarness::misplaced(top), std::vector<std::string>{});
}

class PageTurnE2ETest : public ::testing::TestWithParam<const char*> {
 protected:
  PageTurnE2ETest() : harness_(GetParam()) {
    harness_.clock().setAutoAdvanceSleeps(true);
    EXPECT_TRUE(harness_.signIn(kTurnUser, "turn", kTurnKey));
    lumora::LMGalleryStoreStack::setShared(nullptr);
    lumora::registerAppScenes();
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
    platform::ReachabilityMonitor::sharedMonitor().refresh();
    harness_.showAppPanel();
  }
  ~PageTurnE2ETest() override {
    harness_.closeScreen();
    platform::ReachabilityMonitor::sharedMonitor().stopMonitoring();
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    ui::AlertView::resetForTesting();
    lumora::LMGalleryStoreStack::setShared(nullptr);
    turnUseLanguage("en");
  }

  // The app as it opens, on the gallery page, its first question answered.
  std::shared_ptr<LMBaseRootViewController> openApp() {
    navigation_ = std::dynamic_pointer_cast<ui::NavigationController>(
        lumora::LMStoryboard::instantiateInitialViewController());
    if (!navigation_) return nullptr;
    harness_.showScreen(navigation_);
    harness_.answerAlerts(turnText("取消"));
    harness_.settle(1);
    auto app = std::dynamic_pointer_cast<LMBaseRootViewController>(navigation_->rootViewController());
    if (app) harness_.click(*app->tabView()->rightButton());
    return app;
  }

  // Menu, My Cloud Albums, the album `name`: its photo grid, in front.
  std::shared_ptr<lumora::LMGalleryPhotoCollectionViewController> openAlbum(LMBaseRootViewController& app,
                                                                            const std::string& name) {
    if (!albums_ || !albums_->isVisible()) {
      harness_.click(*app.menuButton());
      EXPECT_TRUE(harness_.clickButton(turnText("查看我的云相册")));
      EXPECT_TRUE(harness_.waitFor([&] {
        albumsNavigation_ = std::dynamic_pointer_cast<ui::NavigationController>(navigation_->presentedViewController());
        albums_ = albumsNavigation_ ? std::dynamic_pointer_cast<lumora::LMGalleryAlbumCollectionViewController>(
                                          albumsNavigation_->topViewController())
                                    : nullptr;
        return albums_ != nullptr;
      }));
      if (!albums_) return nullptr;
    }
    std::shared_ptr<lumora::LMAlbumCollectionViewCell> cell;
    EXPECT_TRUE(harness_.waitFor([&] {
      auto& grid = *albums_->collectionView();
      for (int row = 0; row < grid.numberOfItemsInSection(0) && !cell; ++row) {
        auto shown =
            std::dynamic_pointer_cast<lumora::LMAlbumCollectionViewCell>(grid.cellForItemAtIndexPath({0, row}));
        if (shown && shown->nameLabel()->text() == name) cell = shown;
      }
      return cell != nullptr;
    })) << name;
    if (!cell) return nullptr;
    harness_.settle(1);
    harness_.click(*cell->button());
    std::shared_ptr<lumora::LMGalleryPhotoCollectionViewController> photos;
    EXPECT_TRUE(harness_.waitFor([&] {
      photos = std::dynamic_pointer_cast<lumora::LMGalleryPhotoCollectionViewController>(
          albumsNavigation_->topViewController());
      return photos && photos->collectionView()->numberOfItemsInSection(0) == 1;
    }));
    harness_.settle(1);
    return photos;
  }

  // The device held turned (by the panel's row) over the album: it turns.
  void turnDevice() {
    harness_.clickPanelRow(kTurnDeviceRow);
    EXPECT_EQ(ui::Screen::main().interfaceOrientation(), ui::InterfaceOrientation::LandscapeLeft);
    EXPECT_GT(harness_.window().size().width(), harness_.window().size().height());
  }

  E2EHarness harness_;
  std::shared_ptr<ui::NavigationController> navigation_;
  std::shared_ptr<ui::NavigationController> albumsNavigation_;
  std::shared_ptr<lumora::LMGalleryAlbumCollectionViewController> albums_;
};

TEST_P(PageTurnE2ETest, EveryWayBackFromATurnedAlbumShowsTheUprightPagesWholeInBothLanguages) {
  struct Row {
    const char* way;
    std::function<void(lumora::LMGalleryPhotoCollectionViewController&)> back;
  };
  const std::vector<Row> rows = {
      {"its Back", [&](lumora::LMGalleryPhotoCollectionViewController&) {
         harness_.clickBarItem(*albumsNavigation_, true);
       }},
      {"its last photo deleted in the browser", [&](lumora::LMGalleryPhotoCollectionViewController& photos) {
         auto cell = photos.collectionView()->cellForItemAtIndexPath({0, 0});
         ASSERT_TRUE(cell);
         harness_.click(*cell);
         auto browser = photos.photoBrowser();
         ASSERT_TRUE(browser);
         // The tool bar shows once the browser has opened.
         ASSERT_TRUE(harness_.waitFor([&] { return E2EHarness::reachable(*browser->toolBar()->deleteButton()); }));
         harness_.click(*browser->toolBar()->deleteButton());
         ASSERT_TRUE(harness_.clickButton(turnText("删除")));
         ASSERT_TRUE(harness_.waitFor([&] { return albumsNavigation_->topViewController() == albums_; }));
         ASSERT_TRUE(harness_.waitFor([] { return !lumora::LMProgressHUD::sharedHUD().window(); }));
       }},
  };
  for (const char* language : {"en", "zh-Hans"}) {
    turnUseLanguage(language);
    auto app = openApp();
    ASSERT_TRUE(app);
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(language) + ", " + row.way);
      const std::string name = std::string("Turn ") + language + " " + row.way;
      ASSERT_TRUE(harness_.addCloudAlbumWithAPhoto(kTurnUser, name));
      auto photos = openAlbum(*app, name);
      ASSERT_TRUE(photos);
      turnDevice();
      EXPECT_EQ(photos->view()->bounds().width, ui::Screen::main().interfaceBounds().width);
      ASSERT_NO_FATAL_FAILURE(row.back(*photos));
      ASSERT_EQ(albumsNavigation_->topViewController(), albums_);
      turnExpectUprightWhole(harness_, E2EHarness::shownControls(albumsNavigation_->navigationBar()),
                             "My Cloud Albums");
      EXPECT_EQ(albums_->view()->frame(), (ui::Rect{0, ui::NavigationController::kBarHeight,
                                                    ui::Screen::main().interfaceBounds().width,
                                                    ui::Screen::main().interfaceBounds().height -
                                                        ui::NavigationController::kBarHeight}));
      const QImage shot = harness_.screenshot(std::string("turn-back-albums-") + language);
      EXPECT_LT(shot.width(), shot.height());

      // Its Back: the main pages, upright, every button taking clicks.
      harness_.clickBarItem(*albumsNavigation_, true);
      ASSERT_TRUE(harness_.waitFor([&] { return !navigation_->presentedViewController(); }));
      std::vector<std::shared_ptr<ui::View>> top = {app->settingsButton(), app->tabView()->leftButton(),
                                                    app->tabView()->rightButton(), app->menuButton()};
      turnExpectUprightWhole(harness_, top, "the gallery page");
      EXPECT_TRUE(E2EHarness::reachable(*app->galleryVC()->backupButton)) << "Back Up Now";
      harness_.click(*app->tabView()->leftButton());
      ASSERT_TRUE(harness_.waitFor([&] { return app->tabView()->isSelectLeftTab(); }));
      harness_.settle(1);
      EXPECT_TRUE(E2EHarness::reachable(*app->contactVC()->syncButton())) << "Sync now";
      harness_.screenshot(std::string("turn-back-main-") + language);
      harness_.click(*app->tabView()->rightButton());
      // Held upright again: the panel says so.
      harness_.clickPanelRow(kTurnDeviceRow);
      EXPECT_EQ(ui::Screen::main().deviceOrientation(), ui::InterfaceOrientation::Portrait);
    }
    harness_.closeScreen();
    albums_.reset();
  }
}

// Download in the turned browser: the progress box's shade falls on the
// browser's bar as it was, the status bar staying hidden as the page under
// the box has it (no clock, name or battery drawn over the back arrow and
// the photo's number).
TEST_P(PageTurnE2ETest, TheProgressBoxOverTheTurnedBrowserLeavesItsBarClearOfTheStatusBar) {
  auto& hud = lumora::LMProgressHUD::sharedHUD();
  for (const char* language : {"en", "zh-Hans"}) {
    SCOPED_TRACE(language);
    turnUseLanguage(language);
    auto app = openApp();
    ASSERT_TRUE(app);
    const std::string name = std::string("Turned download ") + language;
    ASSERT_TRUE(harness_.addCloudAlbumWithAPhoto(kTurnUser, name));
    auto photos = openAlbum(*app, name);
    ASSERT_TRUE(photos);
    turnDevice();
    auto cell = photos->collectionView()->cellForItemAtIndexPath({0, 0});
    ASSERT_TRUE(cell);
    harness_.click(*cell);
    auto browser = photos->photoBrowser();
    ASSERT_TRUE(browser);
    auto download = browser->toolBar()->downloadButton();
    ASSERT_TRUE(harness_.waitFor([&] { return E2EHarness::reachable(*download); }));
    // The page shows the photo itself (not its thumbnail, nor nothing yet),
    // which lies under the bar as long as the test looks.
    const auto pages = browser->visiblePages();
    ASSERT_EQ(pages.size(), 1u);
    const auto page = pages.front().second;
    ASSERT_TRUE(harness_.waitFor([&] {
      const auto& url = page->photo() ? page->photo()->imageUrl() : std::nullopt;
      return url && ui::WebImageManager::sharedManager().cachedImageExistsForURL(*url) &&
             page->imageView()->image().has_value();
    }));
    harness_.settle(1);
    EXPECT_TRUE(ui::Screen::main().isStatusBarHidden()) << "the turned page hides it";
    const QImage open = harness_.screenshot(std::string("turned-browser-") + language);

    harness_.click(*download);
    ASSERT_TRUE(harness_.runUntil([&] {
      auto box = hud.progressViewController();
      return box && box->view()->presentationAlpha() >= 1;
    }));
    EXPECT_TRUE(ui::Screen::main().isStatusBarHidden()) << "as the page under the box has it";
    const QImage boxed = harness_.screenshot(std::string("turned-browser-progress-") + language);
    // Every pixel of the bar is what it was under the box's 30% black.
    const auto shaded = [](int before, int now) { return std::abs(before * 0.7 - now) <= 3; };
    const double scale = ui::Screen::main().scale();
    const ui::Rect bar = browser->navigationBar()->frame();
    ASSERT_GT(bar.height, ui::kStatusBarHeight);
    int inked = 0;
    for (int y = 0; y < static_cast<int>(bar.maxY() * scale); ++y) {
      for (int x = 0; x < static_cast<int>(bar.width * scale); ++x) {
        const QColor was = open.pixelColor(x, y);
        const QColor is = boxed.pixelColor(x, y);
        if (!shaded(was.red(), is.red()) || !shaded(was.green(), is.green()) || !shaded(was.blue(), is.blue())) {
          ++inked;
        }
      }
    }
    EXPECT_EQ(inked, 0) << "pixels of the bar drawn over while the box shows";

    // The box goes, and the result's alert (the photo library was not
    // allowed when the app opened) is answered.
    ASSERT_TRUE(harness_.waitFor([&] { return !hud.window(); }));
    harness_.answerAlerts(turnText("我知道了"));
    harness_.closeScreen();
    albums_.reset();
    harness_.clickPanelRow(kTurnDeviceRow);
    EXPECT_EQ(ui::Screen::main().deviceOrientation(), ui::InterfaceOrientation::Portrait);
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, PageTurnE2ETest, ::testing::Values("375x667", "414x736"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), 'x', '_');
                           return "Phone" + name;
                         });

// Every label each panel row shows (each state of each switch), painted in
// the panel: all of its ink lies inside its row, in both languages.
TEST(PanelRowsE2ETest, EveryLabelOfEveryRowFitsItsRowInBothLanguages) {
  struct Turning : ui::ViewController {
    unsigned supportedInterfaceOrientations() const override { return ui::kOrientationMaskAllButUpsideDown; }
    bool shouldAutorotate() const override { return true; }
  };
  E2EHarness harness;
  harness.showAppPanel();
  auto& window = harness.window();
  const auto probe = [&](const std::string& state) {
    SCOPED_TRACE(state);
    std::vector<QRectF> rows;
    const double left = window.panelRowRect(0).left() - 10;
    for (std::size_t i = 0; i < 4; ++i) {
      rows.push_back(window.panelRowRect(i).translated(-left, 0).adjusted(8, 0, -8, 0));
    }
    const PanelInk ink = panelInk(window.grabPanel(), rows);
    EXPECT_EQ(ink.outside, 0) << "a label outgrows its row";
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_GT(ink.inRow[i], 0) << "row " << i << " shows nothing";
  };
  for (const char* language : {"en", "zh-Hans"}) {
    turnUseLanguage(language);
    harness.showScreen(std::make_shared<ui::ViewController>());
    // Each network; the app behind; the device turned over a page that
    // stays upright, and over one that turns with it.
    for (int network = 0; network < 4; ++network) {
      probe(std::string(language) + " network " + std::to_string(network));
      harness.clickPanelRow(0);
    }
    harness.clickPanelRow(2);
    probe(std::string(language) + " in the background");
    harness.clickPanelRow(2);
    harness.clickPanelRow(kTurnDeviceRow);
    probe(std::string(language) + " device turned, page upright");
    harness.clickPanelRow(kTurnDeviceRow);
    harness.showScreen(std::make_shared<Turning>());
    harness.clickPanelRow(kTurnDeviceRow);
    ASSERT_EQ(ui::Screen::main().interfaceOrientation(), ui::InterfaceOrientation::LandscapeLeft);
    probe(std::string(language) + " device turned with the page");
    harness.clickPanelRow(kTurnDeviceRow);
    harness.closeScreen();
  }
  platform::Application::shared().resetForTesting();
  turnUseLanguage("en");
}

}  // namespace
}  // namespace e2e
