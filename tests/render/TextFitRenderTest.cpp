// Every text of the app's main frames fits the room it is drawn in (see
// TextFit.h), at the four device sizes in Chinese and in English: the
// first start with its question, the menu sheet, the contacts sync's
// progress screen and result, the settings, the login screen, the HUDs,
// the gallery page and its progress screen, the album grid while
// selecting, the album's photos and the photo browser. A frame with a
// misfit is written to textfit-<frame>-<size>-<language>.png.
#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/Window.h"
#include "platform/uiqt/QtGuiSupport.h"
#include "platform/uiqt/QtRenderer.h"
#include "render/GivenPhotosBrowser.h"
#include "render/TextFit.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMContactsScenes.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMGallerySyncLoadViewController.h"
#include "screens/gallery/LMPhotoView.h"
#include "screens/gallery/LMThumbnailImageView.h"
#include "screens/settings/LMSettingViewController.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "screens/shell/LMNavViewController.h"
#include "support/TestHome.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

class TextFitRenderTest : public ::testing::Test {
 protected:
  TextFitRenderTest() {
    platform::uiqt::ensureGuiApplication();
    platform::MainQueue::main().bindToCurrentThread();
    ui::TextMeasurer::setCurrent(std::make_shared<platform::uiqt::QtTextMeasurer>());
    registerContactsScenes();
    registerGalleryScenes();
    // Thumbnail addresses are refused at once: the cells keep their grey.
    LMThumbnailImageView::Transport refused;
    refused.make = [](std::int64_t, ui::Size) -> platform::Result<platform::http::Request> {
      return platform::Error("test", -1, nullptr);
    };
    LMThumbnailImageView::setTransportForTesting(refused);
  }
  ~TextFitRenderTest() override {
    LMThumbnailImageView::setTransportForTesting(std::nullopt);
    LMProgressHUD::sharedHUD().resetForTesting();
    LMGalleryStoreStack::setShared(nullptr);
    ui::AlertView::resetForTesting();
    ui::TextMeasurer::setCurrent(nullptr);
    ui::resetLocalizedStringsForTesting();
    ui::Screen::main().resetForTesting();
  }

  // Every text on the screen fits; a frame where one does not is written
  // out to look at.
  void expectTextsFit(const std::string& frame) {
    settle(2);  // every fade, slide and progress animation done
    std::vector<std::string> misfits;
    for (const auto& window : ui::Screen::main().windows()) {
      window->layoutIfNeeded();
      for (auto& misfit : testsupport::textMisfits(*window)) misfits.push_back(std::move(misfit));
    }
    if (misfits.empty()) return;
    const std::string name = "textfit-" + frame + "-" + ui::Screen::main().profile().name + "-" + language_;
    renderer_.renderScreen().save(QString::fromStdString(name + ".png"));
    std::string all;
    for (const auto& misfit : misfits) all += "\n  " + misfit;
    ADD_FAILURE() << name << ":" << all;
  }

  // Runs the main queue, moving the clock on to each timer due within
  // `seconds`.
  void settle(double seconds) {
    auto& queue = platform::MainQueue::main();
    const auto end = clock_->steadyNow() + platform::seconds(seconds);
    for (queue.runUntilIdle(); queue.nextDueTime() && *queue.nextDueTime() <= end; queue.runUntilIdle()) {
      clock_->advance(std::max(*queue.nextDueTime() - clock_->steadyNow(), platform::Clock::Duration::zero()));
    }
    if (end > clock_->steadyNow()) clock_->advance(end - clock_->steadyNow());
    queue.runUntilIdle();
  }

  // A fresh app home with `language` preferred, on the device `profile`.
  void use(const std::string& profile, const std::string& language) {
    for (const auto& window : ui::Screen::main().windows()) window->setHidden(true);
    ui::AlertView::resetForTesting();
    LMProgressHUD::sharedHUD().resetForTesting();
    LMGalleryStoreStack::setShared(nullptr);
    home_.reset();
    home_.emplace();
    ui::Screen::main().setProfile(*ui::DeviceProfile::named(profile));
    language_ = language;
    platform::UserDefaults::standard().setObject(platform::UserDefaults::kAppleLanguagesKey,
                                                 platform::Json::array({language}));
    ui::resetLocalizedStringsForTesting();
  }
  std::shared_ptr<ui::Window> show(std::shared_ptr<ui::ViewController> root) {
    auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
    window->setRootViewController(std::move(root));
    window->makeKeyAndVisible();
    platform::MainQueue::main().runUntilIdle();
    return window;
  }
  void dismissAlerts() {
    for (auto& alert : ui::AlertView::visibleAlerts()) alert->dismiss();
  }

  std::shared_ptr<LMAlbumObject> album(std::int64_t id, const std::string& name) {
    auto context = LMGalleryStoreStack::shared()->managedObjectContext();
    auto album = std::static_pointer_cast<LMAlbumObject>(context->insertNewObjectForEntityForName(LMAlbumObject::kEntityName));
    album->setServerID(id);
    album->setName(name);
    album->setLastUpdateDate(platform::Clock::TimePoint(std::chrono::seconds(id)));
    return album;
  }
  std::shared_ptr<LMImageObject> photo(std::int64_t id) {
    auto context = LMGalleryStoreStack::shared()->managedObjectContext();
    auto image = std::static_pointer_cast<LMImageObject>(context->insertNewObjectForEntityForName(LMImageObject::kEntityName));
    image->setServerID(id);
    image->setType(std::string("ALAssetTypePhoto"));
    image->setCreateDate(platform::Clock::TimePoint(std::chrono::seconds(1000 - id)));
    return image;
  }

  // The app's screens, their progress screens and HUDs.
  void appFrames() {
    auto services = LMBaseRootViewController::Services::standard();
    services.userId = [] { return std::optional<std::string>("10001"); };
    auto container = std::make_shared<LMBaseRootViewController>(services);
    auto navigation = LMNavViewController::withRoot(container);
    auto window = show(navigation);
    expectTextsFit("first-start");
    dismissAlerts();
    container->presentMenu();
    expectTextsFit("menu");
    dismissAlerts();

    // The contacts sync: its progress screen, then its end with the result.
    auto contacts = container->contactVC();
    contacts->hideSyncLoadViewController(false);
    contacts->syncLoadViewController()->beginSyncAnimation();
    contacts->willAdapterBeginSynchronize();
    contacts->didAdapterSyncProcess(kLMSyncProcessPushBatch);
    contacts->didAdapterSynchronizeLocalContacts(12, 3, 1);
    contacts->didAdapterSynchronizeLumoraContacts(240, 7, 2);
    expectTextsFit("contacts-progress");
    contacts->willAdapterFinishSynchronize();
    contacts->didAdapterFinishSynchronize(true);
    settle(5);
    expectTextsFit("contacts-result");
    // The progress screen takes the page's size: "完成" is inside the page,
    // clear of the status line.
    auto progress = contacts->syncLoadViewController();
    const ui::Rect finish = progress->finishSyncButton()->frame();
    EXPECT_FALSE(progress->finishSyncButton()->isHidden());
    EXPECT_LE(finish.maxY(), contacts->view()->bounds().height);
    EXPECT_GE(finish.y, progress->statusLabel()->frame().maxY() - 0.5);
    dismissAlerts();
    contacts->syncLoadViewController()->finishSyncButtonPressed();

    // The gallery page and its progress screen.
    container->scrollView()->setContentOffset({ui::Screen::main().bounds().width, 0});
    expectTextsFit("gallery");
    auto gallery = container->galleryVC();
    gallery->hideSyncLoadViewController(false);
    auto backup = gallery->syncLoadViewController();
    backup->beginSyncAnimation();
    backup->photoNumLabel->setPrefixStr(std::string("IMG_0001.JPG  "));
    backup->photoNumLabel->setProgress(0.5f);
    expectTextsFit("gallery-progress");
    // The pulse at its widest fits its view (a ring past it is cut flat);
    // the lines clear the stop button, which is inside the page.
    const double widest = 2 * backup->animationView->bigCircleEndRadius / ui::Screen::main().scale();
    EXPECT_GE(backup->animationView->frame().width, widest);
    EXPECT_GE(backup->animationView->frame().height, widest);
    const ui::Rect stop = backup->cancelSyncButton->frame();
    EXPECT_LE(stop.maxY(), gallery->view()->bounds().height);
    for (const auto& line : std::vector<std::shared_ptr<ui::Label>>{backup->photoNumLabel, backup->statusLabel,
                                                                     backup->linkLabel}) {
      EXPECT_LE(line->frame().maxY(), stop.y) << line->text();
    }
    gallery->hideSyncLoadViewController(true);

    navigation->pushViewController(std::make_shared<LMSettingViewController>(), false);
    expectTextsFit("settings");
    navigation->popViewController(false);
    // The merge screens' bars.
    for (const char* scene : {"mergeViewController", "mergeSourceViewController", "manualMergeTableViewController"}) {
      navigation->pushViewController(LMStoryboard::instantiateViewControllerWithIdentifier(scene), false);
      expectTextsFit(scene);
      LMProgressHUD::sharedHUD().resetForTesting();
      navigation->popViewController(false);
    }
    window->setHidden(true);

    auto login = std::make_shared<LMLoginViewController>();
    login->navigationItem().title = ui::localizedString("Quenby帐号登录");
    show(LMNavViewController::withRoot(login));
    expectTextsFit("login");
    auto& hud = LMProgressHUD::sharedHUD();
    hud.showWithTitle(ui::localizedString("Removing All Selected Albums"));
    expectTextsFit("hud");
    hud.resetForTesting();
    hud.showProgressWithTitle(ui::localizedString("Download To Phone"), 123456789, ui::kOrientationMaskPortrait,
                              nullptr, nullptr);
    expectTextsFit("hud-progress");
    hud.resetForTesting();
  }

  // The cloud albums: the grid while selecting, an album's photos and the
  // browser over the first of 23.
  void galleryFrames() {
    LMGalleryStoreStack::setShared(nullptr);
    auto context = LMGalleryStoreStack::shared()->managedObjectContext();
    album(1, "untitled")->setAlbumType(1);
    album(2, "snapshot")->setAlbumType(2);
    auto trips = album(11, "Trips");
    album(12, "家");
    std::vector<std::shared_ptr<LMImageObject>> photos;
    for (int i = 0; i < 23; ++i) {
      photos.push_back(photo(100 + i));
      photos.back()->setAlbum(trips);
    }
    ASSERT_TRUE(context->save());
    auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(
        LMGalleryAlbumCollectionViewController::instantiateScene());
    auto grid = std::dynamic_pointer_cast<LMGalleryAlbumCollectionViewController>(navigation->topViewController());
    auto window = show(navigation);
    grid->collectionView()->reloadData();
    grid->albumButtonLongPressed(0);
    expectTextsFit("album-grid");

    auto photoGrid = std::make_shared<LMGalleryPhotoCollectionViewController>();
    photoGrid->setAlbumObject(trips);
    navigation->pushViewController(photoGrid, false);
    photoGrid->collectionView()->reloadData();
    expectTextsFit("photo-grid");

    auto browser = std::make_shared<GivenPhotosBrowser>();
    browser->photos = photos;
    browser->show();
    browser->setCurrentPhotoIndex(0);
    expectTextsFit("photo-browser");
    window->setHidden(true);
  }

  std::optional<testsupport::TestHome> home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  platform::uiqt::Renderer renderer_;
  std::string language_;
};

// The check itself, on planted misfits and on texts that fit.
TEST_F(TextFitRenderTest, CheckFindsTextsLargerThanTheirRoom) {
  struct Case {
    const char* what;
    ui::Rect frame;
    int lines;
    bool clipped;  // in a parent of 100 x 40 that clips
    bool fits;
  };
  const std::string text = "Merge All Contacts";
  for (const Case& c : {Case{"one line with room", {0, 0, 200, 30}, 1, false, true},
                        Case{"one line, elided", {0, 0, 60, 30}, 1, false, false},
                        Case{"one line, too low", {0, 0, 200, 8}, 1, false, false},
                        Case{"wrapped with room", {0, 0, 90, 60}, 0, false, true},
                        Case{"wrapped, cut below", {0, 0, 90, 20}, 0, false, false},
                        Case{"inside the clip", {0, 5, 99, 30}, 1, true, false},
                        Case{"wrapped inside the clip", {5, 0, 90, 40}, 0, true, true},
                        Case{"past the clip's edge", {20, 0, 200, 30}, 1, true, false}}) {
    auto parent = std::make_shared<ui::View>(ui::Rect{0, 0, 100, 40});
    parent->setClipsToBounds(c.clipped);
    auto label = std::make_shared<ui::Label>(c.frame);
    label->setText(text);
    label->setFont(ui::Font::systemFont(15));
    label->setNumberOfLines(c.lines);
    parent->addSubview(label);
    EXPECT_EQ(testsupport::textMisfits(*parent).empty(), c.fits) << c.what;
    label->setHidden(true);
    EXPECT_TRUE(testsupport::textMisfits(*parent).empty()) << c.what << ", hidden";
  }
}

TEST_F(TextFitRenderTest, EveryTextFitsAtFourSizesInChineseAndEnglish) {
  for (const char* language : {"zh-Hans", "en"}) {
    for (const char* profile : {"320x480", "320x568", "375x667", "414x736"}) {
      SCOPED_TRACE(std::string(profile) + " " + language);
      use(profile, language);
      appFrames();
      galleryFrames();
    }
  }
}

}  // namespace
}  // namespace lumora
