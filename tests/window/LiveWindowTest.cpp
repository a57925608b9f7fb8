// The app in a real window on an X server (run under Xvfb by
// with-xvfb.sh), walked through by clicks as a user would: at each frame
// the window's pixels, read back from the server, are compared with the
// offscreen render of the same moment. They must agree apart from
// anti-aliasing: text measured at one resolution and painted at another,
// or a frame the window failed to repaint, shows as whole words and panels
// in the difference.
//
// Tolerance: a pixel counts as differing when a channel is off by more
// than 24 levels (the rounding of an anti-aliased edge drawn through
// another surface format stays well under that; text or a panel in another
// place is off by more than a hundred), and a frame may have at most 0.2 %
// of its pixels differing (about 2,000 at 750 x 1334: the edge pixels of
// every glyph and curve on a screen, where coverage may round the other
// way). Text painted at 96 dpi after being measured at 72 made these frames
// differ in 5,000 (the browser's index alone) to 42,000 pixels; the window
// now shows the render itself, and they differ in none.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "app/AppScenes.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "e2e/E2EHarness.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMAlbumCollectionViewCell.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMGallerySyncLoadViewController.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "support/Sanitizers.h"
#include "support/TestMedia.h"
#include "window/AppWindowState.h"

namespace e2e {
namespace {

namespace ab = platform::addressbook;
namespace photos = platform::photos;
using lumora::LMBaseRootViewController;

constexpr int kChannelTolerance = 24;
constexpr double kDifferingShare = 0.002;

// Tells when the window has handled a repaint request.
class LiveWindowPaints : public QObject {
 public:
  explicit LiveWindowPaints(QWindow& window) : window_(window) { window_.installEventFilter(this); }
  ~LiveWindowPaints() override { window_.removeEventFilter(this); }
  LiveWindowPaints(const LiveWindowPaints&) = delete;
  LiveWindowPaints& operator=(const LiveWindowPaints&) = delete;
  bool seen = false;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::UpdateRequest || event->type() == QEvent::Expose) seen = true;
    return false;
  }

 private:
  QWindow& window_;
};

class LiveWindowTest : public ::testing::TestWithParam<const char*> {
 protected:
  LiveWindowTest() : harness_(GetParam()) { harness_.clock().setAutoAdvanceSleeps(true); }

  // The window as the X server shows it, once it has painted what is on
  // the phone's screen now.
  QImage live() {
    auto& window = harness_.window();
    const auto deadline = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(10));
    while (!window.isExposed() && std::chrono::steady_clock::now() < deadline) {
      QGuiApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    LiveWindowPaints paints(window);
    window.update();
    while (!paints.seen && std::chrono::steady_clock::now() < deadline) {
      QGuiApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    EXPECT_TRUE(paints.seen) << "the window did not repaint";
    const QSize phone = harness_.window().grabScreen().size();
    return window.screen()->grabWindow(window.winId(), 0, 0, phone.width(), phone.height()).toImage();
  }

  // The live window against the offscreen render of the same moment.
  void expectLiveMatchesOffscreen(const std::string& frame) {
    SCOPED_TRACE(frame);
    const QImage window = live().convertToFormat(QImage::Format_RGB32);
    const QImage offscreen = harness_.window().grabScreen().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(window.size(), offscreen.size());
    int differing = 0;
    for (int y = 0; y < window.height(); ++y) {
      const auto* a = reinterpret_cast<const QRgb*>(window.constScanLine(y));
      const auto* b = reinterpret_cast<const QRgb*>(offscreen.constScanLine(y));
      for (int x = 0; x < window.width(); ++x) {
        const int off = std::max({std::abs(qRed(a[x]) - qRed(b[x])), std::abs(qGreen(a[x]) - qGreen(b[x])),
                                  std::abs(qBlue(a[x]) - qBlue(b[x]))});
        differing += off > kChannelTolerance ? 1 : 0;
      }
    }
    const int allowed = static_cast<int>(kDifferingShare * window.width() * window.height());
    if (differing <= allowed) return;
    // Both frames are kept only when they differ, to be looked at.
    const std::string name = std::string("window-") + GetParam() + "-" + frame;
    window.save(QString::fromStdString(name + "-live.png"));
    offscreen.save(QString::fromStdString(name + "-offscreen.png"));
    ADD_FAILURE() << differing << " pixels of the live window unlike the offscreen render, " << allowed
                  << " allowed (see " << name << "-*.png)";
  }

  // Clicks the button titled `title` of the front-most window showing one.
  void clickTitled(const std::string& title) {
    std::function<std::shared_ptr<ui::Button>(const std::shared_ptr<ui::View>&)> find =
        [&](const std::shared_ptr<ui::View>& view) -> std::shared_ptr<ui::Button> {
      if (view->isHidden()) return nullptr;
      for (auto it = view->subviews().rbegin(); it != view->subviews().rend(); ++it) {
        if (auto found = find(*it)) return found;
      }
      auto button = std::dynamic_pointer_cast<ui::Button>(view);
      return button && button->title() == title ? button : nullptr;
    };
    const auto windows = ui::Screen::main().windows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
      if (auto button = find(*it)) return harness_.click(E2EHarness::centre(*button));
    }
    ADD_FAILURE() << "no button '" << title << "' on the screen";
  }
  bool alertShown() const { return !ui::AlertView::visibleAlerts().empty(); }

  // Access to the address book and the photo library, whose three photos
  // a backup takes into the cloud's camera roll (a fourth, damaged, fails);
  // the network is Wi-Fi.
  void grantAccess() {
    ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
    ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    for (int i = 0; i < 3; ++i) {
      testsupport::writeFile(photos::PhotoLibrary::folder() / ("IMG_" + std::to_string(100 + i) + ".JPG"),
                             testsupport::makeJpeg(60 + 20 * i, 40));
    }
    const platform::Bytes cut = testsupport::makeJpeg(60, 40);
    testsupport::writeFile(photos::PhotoLibrary::folder() / "IMG_103.JPG",
                           platform::Bytes(cut.begin(), cut.begin() + 100));
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
    lumora::LMContactSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedRecordContext>());
    lumora::LMImageSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedAssetContext>());
  }
  // The top screen of what `navigation` presents, when it is a `Screen`.
  template <class Screen>
  static std::shared_ptr<Screen> presentedTop(const ui::NavigationController& navigation) {
    auto shown = std::dynamic_pointer_cast<ui::NavigationController>(navigation.presentedViewController());
    return shown ? std::dynamic_pointer_cast<Screen>(shown->topViewController()) : nullptr;
  }

  static constexpr std::int64_t kUser = 10001;
  E2EHarness harness_;
  AppWindowState state_;
};

TEST_P(LiveWindowTest, EveryFrameOfAWalkThroughTheAppMatchesItsOffscreenRender) {
  grantAccess();
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(
      lumora::LMStoryboard::instantiateInitialViewController());
  ASSERT_TRUE(navigation);
  harness_.showScreen(navigation);
  auto app = std::dynamic_pointer_cast<LMBaseRootViewController>(navigation->rootViewController());
  ASSERT_TRUE(app && alertShown());
  expectLiveMatchesOffscreen("first-start");
  while (alertShown()) clickTitled(ui::AlertView::visibleAlerts().back()->buttonTitles().front());
  harness_.settle(1);

  // Signed out, the sync button opens the login screen.
  auto contacts = app->contactVC();
  harness_.click(E2EHarness::centre(*contacts->syncButton()));
  ASSERT_TRUE(harness_.waitFor([&] { return contacts->presentedViewController() != nullptr; }));
  harness_.settle(1);
  expectLiveMatchesOffscreen("login");
  clickTitled(ui::localizedString("取消"));
  ASSERT_TRUE(harness_.runUntil([&] { return contacts->presentedViewController() == nullptr; }));

  // Signed in, a sync ends in its result alert.
  ASSERT_TRUE(harness_.signIn(kUser, "demo", "MDEyMzQ1Njc4OWFiY2RlZg=="));
  harness_.click(E2EHarness::centre(*contacts->syncButton()));
  ASSERT_TRUE(harness_.waitFor([&] { return !contacts->adapter()->isSyncing() && alertShown(); }));
  harness_.settle(1);
  expectLiveMatchesOffscreen("contacts-sync-result");
  while (alertShown()) clickTitled(ui::AlertView::visibleAlerts().back()->buttonTitles().front());
  auto finish = contacts->syncLoadViewController()->finishSyncButton();
  ASSERT_TRUE(harness_.runUntil([&] { return !finish->isHidden(); }));
  harness_.click(E2EHarness::centre(*finish));
  ASSERT_TRUE(harness_.runUntil([&] { return app->scrollView()->isScrollEnabled(); }));

  // The gallery page backs its photos up; its menu opens the cloud albums.
  harness_.click(E2EHarness::centre(*app->tabView()->rightButton()));
  ASSERT_TRUE(harness_.runUntil([&] { return !app->tabView()->isSelectLeftTab(); }));
  harness_.settle(1);
  expectLiveMatchesOffscreen("gallery");
  auto gallery = app->galleryVC();
  harness_.click(E2EHarness::centre(*gallery->backupButton));
  ASSERT_TRUE(harness_.waitFor([&] {
    auto backup = gallery->syncLoadViewController();
    return backup && !backup->finishSyncButton->isHidden();
  }));
  harness_.settle(1);
  expectLiveMatchesOffscreen("backup-done");
  // Its details: the damaged photo's tile, with the mark of a photo that
  // cannot be shown.
  {
    auto link = gallery->syncLoadViewController()->linkLabel;
    ASSERT_FALSE(link->isHidden());
    const ui::Rect r = link->linkRect();
    harness_.click(link->convertPointToView({r.midX(), r.midY()}, nullptr));
    std::shared_ptr<lumora::LMErrorImageCollectionViewCell> tile;
    ASSERT_TRUE(harness_.waitFor([&] {
      auto shown = std::dynamic_pointer_cast<ui::NavigationController>(gallery->presentedViewController());
      auto failed =
          shown ? std::dynamic_pointer_cast<lumora::LMErrorPhotoCollectionViewController>(shown->topViewController())
                : nullptr;
      tile = failed ? std::dynamic_pointer_cast<lumora::LMErrorImageCollectionViewCell>(
                          failed->collectionView()->cellForItemAtIndexPath({0, 0}))
                    : nullptr;
      return tile && tile->showsUnavailable();
    }));
    harness_.settle(1);
    expectLiveMatchesOffscreen("failed-photos");
    auto shown = std::dynamic_pointer_cast<ui::NavigationController>(gallery->presentedViewController());
    ASSERT_TRUE(shown && harness_.clickBarItem(*shown, true));
    ASSERT_TRUE(harness_.runUntil([&] { return gallery->presentedViewController() == nullptr; }));
  }
  harness_.click(E2EHarness::centre(*gallery->syncLoadViewController()->finishSyncButton));
  ASSERT_TRUE(harness_.runUntil([&] { return app->scrollView()->isScrollEnabled(); }));
  harness_.click(E2EHarness::centre(*app->menuButton()));
  ASSERT_TRUE(alertShown());
  harness_.settle(1);
  expectLiveMatchesOffscreen("menu");
  clickTitled(ui::localizedString("查看我的云相册"));
  std::shared_ptr<lumora::LMGalleryAlbumCollectionViewController> grid;
  ASSERT_TRUE(harness_.waitFor([&] {
    grid = presentedTop<lumora::LMGalleryAlbumCollectionViewController>(*navigation);
    return grid && grid->collectionView()->numberOfItemsInSection(0) >= 2;
  }));
  harness_.settle(1);
  // The camera roll, listed with its cover now that it holds the photos.
  std::shared_ptr<lumora::LMAlbumCollectionViewCell> roll;
  for (int row = 0; row < grid->collectionView()->numberOfItemsInSection(0); ++row) {
    auto cell = std::dynamic_pointer_cast<lumora::LMAlbumCollectionViewCell>(
        grid->collectionView()->cellForItemAtIndexPath({0, row}));
    if (cell && cell->nameLabel()->text() == ui::localizedString("untitled")) roll = cell;
  }
  ASSERT_TRUE(roll);
  ASSERT_TRUE(harness_.waitFor([&] { return roll->imageView()->image().has_value(); })) << "the album's cover";
  expectLiveMatchesOffscreen("album-grid");

  // An album's photos and the browser over the first.
  harness_.click(E2EHarness::centre(*roll->button()));
  std::shared_ptr<lumora::LMGalleryPhotoCollectionViewController> photos;
  ASSERT_TRUE(harness_.waitFor([&] {
    photos = std::dynamic_pointer_cast<lumora::LMGalleryPhotoCollectionViewController>(
        grid->navigationController()->topViewController());
    return photos && photos->collectionView()->numberOfItemsInSection(0) == 3;
  }));
  harness_.settle(1);
  expectLiveMatchesOffscreen("photo-grid");
  auto first = std::dynamic_pointer_cast<lumora::LMPhotoCollectionViewCell>(
      photos->collectionView()->cellForItemAtIndexPath({0, 0}));
  ASSERT_TRUE(first);
  harness_.click(E2EHarness::centre(*first->button()));
  ASSERT_TRUE(harness_.runUntil([&] { return photos->photoBrowser() != nullptr; }));
  harness_.settle(1);
  expectLiveMatchesOffscreen("photo-browser");
}

INSTANTIATE_TEST_SUITE_P(Devices, LiveWindowTest, ::testing::Values("375x667", "320x480"), [](const auto& info) {
  std::string name = info.param;
  std::replace(name.begin(), name.end(), 'x', '_');
  return "Screen" + name;
});

}  // namespace
}  // namespace e2e
