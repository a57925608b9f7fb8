#include "screens/gallery/LMGalleryRootViewController.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/photos/MainQueueChangeObserver.h"
#include "platform/ui/Color.h"
#include "platform/ui/DisplayLink.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/account/LMLoginScreens.h"
#include "screens/common/LMStoryboard.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "screens/shell/LMSyncAdapter+LMHook.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"

namespace lumora {

namespace ui = platform::ui;
using platform::ReachabilityMonitor;
using platform::ReachabilityStatus;

namespace {

double nowSeconds() {
  return std::chrono::duration<double>(platform::Clock::current()->now().time_since_epoch()).count();
}

bool signedIn() { return QBPassportsManager::sharedManager()->userId().has_value(); }

}  // namespace

LMGalleryRootViewController::LMGalleryRootViewController() { installReports(); }

LMGalleryRootViewController::~LMGalleryRootViewController() {
  if (reachabilityToken_) ReachabilityMonitor::sharedMonitor().removeListener(*reachabilityToken_);
  if (wifiObserver_ != 0) platform::NotificationCenter::defaultCenter().removeObserver(wifiObserver_);
  if (photoObserver_ && isRegisterGalleryNotice_) {
    adapter()->context()->removePhotoChangeNotificationObserver(photoObserver_);
  }
}

std::weak_ptr<LMGalleryRootViewController> LMGalleryRootViewController::weakSelf() {
  return std::static_pointer_cast<LMGalleryRootViewController>(shared_from_this());
}

std::shared_ptr<LMImageSyncAdapter> LMGalleryRootViewController::adapter() const {
  return adapter_ ? adapter_ : LMImageSyncAdapter::sharedAdapter();
}

double LMGalleryRootViewController::numLabelOffsetForHeight(double height) {
  // At 480 the count once sat at -2, under the 45-point location notice
  // bar; 4 points above its place at 568 it clears the bar, and the page
  // below it still has room.
  if (height == 480) return 32;
  if (height == 568) return 36;
  if (height == 667) return 68;
  if (height == 736) return 104;
  return -64;
}

std::string LMGalleryRootViewController::albumPictureForHeight(double height) {
  if (height == 480 || height == 568) return "相册图标";
  if (height == 667) return "相册图标6";
  if (height == 736) return "相册图标6P";
  return "";
}

void LMGalleryRootViewController::loadView() {
  const ui::Rect bounds = ui::Screen::main().bounds();
  auto root = std::make_shared<ui::View>(bounds);
  imageView = std::make_shared<ui::ImageView>();
  numLabel = std::make_shared<ui::Label>(ui::Rect{0, 0, bounds.width, 110});
  numInfoLabel = std::make_shared<ui::Label>(ui::Rect{0, 0, bounds.width, 20});
  infoLabel = std::make_shared<ui::Label>(ui::Rect{0, bounds.height - 64 - 30, bounds.width, 20});
  backupButton = LMCustomButton::create({(bounds.width - 165) / 2, bounds.height - 64 - 50 - 60, 165, 50});
  for (const auto& label : {numLabel, numInfoLabel, infoLabel}) label->setTextAlignment(ui::TextAlignment::Center);
  for (const std::shared_ptr<ui::View>& view :
       std::vector<std::shared_ptr<ui::View>>{imageView, numLabel, numInfoLabel, infoLabel, backupButton}) {
    root->addSubview(view);
  }
  setView(root);
  setOutlet("backupButton", backupButton);
  setOutlet("numLabel", numLabel);
  setOutlet("imageView", imageView);
}

void LMGalleryRootViewController::viewDidLoad() {
  LMSynBaseViewController::viewDidLoad();
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  wifiObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
      kBackupGalleryWifiStatusNotification, [weak](const std::string&, const platform::Json&) {
        if (auto page = weak.lock()) page->backupGalleryWifiStatusChange();
      });
  isRegisterGalleryNotice_ = false;
  isCaculateBackupImage_ = false;
  setIsGalleryVC(true);
  interfaceInitialize();
  adapter()->setDelegate(std::static_pointer_cast<LMImageSyncAdapterDelegate>(
      std::static_pointer_cast<LMGalleryRootViewController>(shared_from_this())));
}

void LMGalleryRootViewController::viewWillAppear(bool animated) {
  LMSynBaseViewController::viewWillAppear(animated);
  addNotifyView();
}

void LMGalleryRootViewController::viewDidAppear(bool animated) {
  LMSynBaseViewController::viewDidAppear(animated);
  updateBackupImageNum();
}

void LMGalleryRootViewController::addNotifyView() {
  if (appConfig().autoBackupGallery()) {
    removeNotifyView();
    return;
  }
  if (appConfig().exitButtonClickOfGalleryNumber() > 2) return;
  view()->addSubview(locationView());
}

void LMGalleryRootViewController::removeNotifyView() {
  if (appConfig().autoBackupGallery()) LMSynBaseViewController::removeNotifyView();
}

void LMGalleryRootViewController::interfaceInitialize() {
  const ui::Rect bounds = view()->bounds();
  const double height = ui::Screen::main().bounds().height;
  view()->setBackgroundColor(ui::colorWithHexString("278ff0"));
  const std::string picture = albumPictureForHeight(height);
  imageView->setImage(picture.empty() ? std::nullopt : ui::Image::imageNamed(picture));
  const ui::Size pictureSize = imageView->image() ? imageView->image()->size() : ui::Size{0, 0};
  const double offset = numLabelOffsetForHeight(height);
  numLabel->setFrame({0, offset, bounds.width, 110});
  numInfoLabel->setFrame({0, numLabel->frame().maxY(), bounds.width, 20});
  // The picture below the text under the count (at the count's top + 120
  // it covered that text's lower half).
  imageView->setFrame({(bounds.width - pictureSize.width) / 2, numInfoLabel->frame().maxY() + 10, pictureSize.width,
                       pictureSize.height});
  numInfoLabel->setTextColor(ui::Color::white());
  numInfoLabel->setFont(ui::Font::systemFont(14));

  const ui::Color dim = ui::colorWithHexString("#99FFFFFF");
  infoLabel->setFont(ui::Font::systemFont(13));
  infoLabel->setAttributedText({ui::TextRun{ui::localizedString("浏览器访问"), false, 0.2, 0, dim},
                                ui::TextRun{ServiceHosts::host(ServiceHosts::kCloud), false, 0.2, 0, ui::Color::white()},
                                ui::TextRun{ui::localizedString("管理照片"), false, 0.2, 0, dim}});
  styleGalleryButton(*backupButton, "立即备份");
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  backupButton->setAction([weak] {
    if (auto page = weak.lock()) page->backupGalleryPressed();
  });

  alertView_.reset();
  backupWWAN_ = false;
  auto& monitor = ReachabilityMonitor::sharedMonitor();
  networkStatus_ = static_cast<std::int64_t>(monitor.networkReachabilityStatus());
  if (!reachabilityToken_) {
    reachabilityToken_ = monitor.addListener([weak](ReachabilityStatus status) {
      if (auto page = weak.lock()) page->reachabilityStatusChanged(status);
    });
  }
  registerNotificationCenter();
  displayBackupImageNum(0);
}

void LMGalleryRootViewController::reachabilityStatusChanged(ReachabilityStatus status) {
  auto gallery = adapter();
  switch (status) {
    case ReachabilityStatus::ReachableViaWiFi:
      if (networkStatus_ != 2 && backupRunning_ && gallery->resumeSync() && alertView_) {
        if (alertView_->isVisible()) alertView_->dismiss();
        alertView_.reset();
      }
      networkStatus_ = 2;
      break;
    case ReachabilityStatus::ReachableViaWWAN:
      // A download of the album screens is theirs to suspend and ask about.
      if (networkStatus_ != 1 && !backupWWAN_ && backupRunning_ && gallery->suspendSync()) showMobileDataPrompt();
      networkStatus_ = 1;
      break;
    case ReachabilityStatus::NotReachable:
      // No network at all: the mobile-data question has no sense any more.
      // A suspended backup resumes and fails offline, telling it as any
      // backup does; one not yet begun is refused as offline.
      if (alertView_ && alertView_->isVisible()) {
        alertView_->dismiss();
        alertView_.reset();
        if (backupRunning_) {
          if (gallery->isSuspended()) gallery->resumeSync();
        } else {
          showAlert("照片备份", "Bad Network", {"我知道了"}, false);
        }
      }
      networkStatus_ = 0;
      break;
    default:
      networkStatus_ = -1;
      break;
  }
}

void LMGalleryRootViewController::showAlert(const std::string& titleKey, const std::string& messageKey,
                                            std::vector<std::string> buttonKeys, bool withDelegate,
                                            std::optional<std::string> message) {
  std::optional<std::string> cancel;
  std::vector<std::string> others;
  for (std::size_t i = 0; i < buttonKeys.size(); ++i) {
    if (i == 0) {
      cancel = ui::localizedString(buttonKeys[i]);
    } else {
      others.push_back(ui::localizedString(buttonKeys[i]));
    }
  }
  ui::AlertView::Clicked clicked;
  if (withDelegate) {
    std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
    clicked = [weak](ui::AlertView& alert, int index) {
      if (auto page = weak.lock()) page->alertView(alert, index);
    };
  }
  auto alert = ui::AlertView::alert(ui::localizedString(titleKey), message.value_or(ui::localizedString(messageKey)),
                                    cancel, others, clicked);
  alert->show();
  if (titleKey == "流量提示") alertView_ = alert;
}

void LMGalleryRootViewController::showMobileDataPrompt() {
  showAlert("流量提示", "Mobile Network Info", {"取消", "继续"}, true);
}

void LMGalleryRootViewController::checkAuthorizeGallery(std::function<void()> block) {
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  adapter()->context()->requestPhotoLibraryAuthorized([weak, block](bool authorized, bool asked) {
    auto page = weak.lock();
    if (!page) return;
    if (authorized) {
      if (block) block();
    } else if (!asked) {
      page->showAlert("No Photos Authority", "No Photos Authority Message", {"我知道了"}, false);
    }
  });
}

const std::shared_ptr<LMLoginViewControllerDelegate>& LMGalleryRootViewController::newLoginDelegate() {
  loginDelegate_ = std::make_shared<LMLoginViewControllerDelegate>();
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  loginDelegate_->didSuccessLogin = [weak] {
    if (auto page = weak.lock()) page->didSuccessLogin();
  };
  loginDelegate_->didCancelLogin = [weak] {
    if (auto page = weak.lock()) page->didCancelLogin();
  };
  return loginDelegate_;
}

void LMGalleryRootViewController::presentLogin() {
  if (auto login = LMLoginViewController::instantiateWithDelegate(newLoginDelegate())) {
    presentViewController(login, true);
  }
}

void LMGalleryRootViewController::backupGalleryPressed() {
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  checkAuthorizeGallery([weak] {
    auto page = weak.lock();
    if (!page) return;
    page->registerNotificationCenter();
    if (!signedIn()) return page->presentLogin();
    auto gallery = page->adapter();
    const bool background = gallery->backgroundTaskIsRunning();
    if (!gallery->isSyncing() && !background) {
      page->backupGallery();
    } else if (background && gallery->isSyncing()) {
      page->showAlert("后台任务执行中", "后台备份照片操作提示", {"我知道了"}, true);
    }
  });
}

void LMGalleryRootViewController::endBackgroundTask() {
  if (backgroundTask_ == platform::BackgroundTask::kInvalid) return;
  platform::BackgroundTask::end(backgroundTask_);
  backgroundTask_ = platform::BackgroundTask::kInvalid;
}

void LMGalleryRootViewController::backupGallery() {
  auto& monitor = ReachabilityMonitor::sharedMonitor();
  if (!monitor.isReachable()) {
    showAlert("照片备份", "Bad Network", {"我知道了"}, false);
    return;
  }
  if (!monitor.isReachableViaWiFi() && !backupWWAN_) {
    showMobileDataPrompt();
    return;
  }
  auto gallery = adapter();
  // A busy adapter takes no new run: no spinning screen, no open task.
  if (gallery->isSyncing() || gallery->backgroundTaskIsRunning()) return;
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  endBackgroundTask();
  backgroundTask_ = platform::BackgroundTask::begin("gallery backup", [weak, gallery] {
    gallery->cancelSync();
    if (auto page = weak.lock()) page->endBackgroundTask();
  });
  hideSyncLoadViewController(false);
  syncLoadViewController_->beginSyncAnimation();
  gallery->performTaskBlock([gallery, weak] {
    gallery->backupAllImages();
    platform::MainQueue::main().async([weak] {
      if (auto page = weak.lock()) page->endBackgroundTask();
    });
  });
}

void LMGalleryRootViewController::backupGalleryOnBackground() {
  if (!signedIn()) return;
  auto gallery = adapter();
  swizzledPerformTaskBlock(
      *gallery,
      [gallery] {
        auto& config = LMAppSettingConfig::sharedConfig();
        if ((config.galleryHasNewChange() || config.isMoreThan12hoursSinceLastBackupGalleryTime()) &&
            !gallery->isSyncing()) {
          gallery->backupAllImages();
        }
      },
      true);
}

void LMGalleryRootViewController::cancelBackupGallery() {
  auto gallery = adapter();
  if (gallery->isSyncing() && !gallery->backgroundTaskIsRunning()) gallery->cancelSync();
}

void LMGalleryRootViewController::cancelBackgroundBackupGalleryForWWAN() {
  auto gallery = adapter();
  if (gallery->isSyncing() && gallery->backgroundTaskIsRunning()) gallery->cancelSync();
}

void LMGalleryRootViewController::backupGalleryWifiStatusChange() {
  auto gallery = adapter();
  if (gallery->backgroundTaskIsRunning() && gallery->isSyncing() && networkStatus_ == 1) gallery->cancelSync();
}

void LMGalleryRootViewController::hideSyncLoadViewController(bool hide) {
  if (hide) {
    if (syncLoadViewController_ && syncLoadViewController_->isViewLoaded()) syncLoadViewController_->view()->setHidden(true);
    return;
  }
  if (!syncLoadViewController_) {
    auto scene = LMStoryboard::instantiateViewControllerWithIdentifier(LMGallerySyncLoadViewController::kSceneIdentifier);
    syncLoadViewController_ = std::dynamic_pointer_cast<LMGallerySyncLoadViewController>(scene);
    if (!syncLoadViewController_) syncLoadViewController_ = std::make_shared<LMGallerySyncLoadViewController>();
    addChildViewController(syncLoadViewController_);
    auto self = std::static_pointer_cast<LMGalleryRootViewController>(shared_from_this());
    syncLoadViewController_->setDelegate(std::static_pointer_cast<LMSyncLoadViewControllerDelegate>(self));
    auto screen = syncLoadViewController_->view();
    ui::Rect frame = screen->frame();
    frame.height -= 64;
    screen->setFrame(frame);
    view()->addSubview(screen);
    std::weak_ptr<LMGalleryRootViewController> weak = self;
    syncLoadViewController_->linkLabel->addGestureRecognizer(
        std::make_shared<ui::TapGestureRecognizer>([weak](ui::GestureRecognizer& recognizer) {
          if (auto page = weak.lock()) page->checkDetailsGesture(recognizer);
        }));
  }
  syncLoadViewController_->view()->setHidden(false);
}

void LMGalleryRootViewController::updateBackupImageNum() {
  if (isCaculateBackupImage_) return;
  if (!signedIn()) {
    displayBackupImageNum(0);
    return;
  }
  isCaculateBackupImage_ = true;
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  auto gallery = adapter();
  gallery->performTaskBlock([weak, gallery] {
    // A store that cannot be read leaves the number shown as it was: it is
    // not "nothing to back up".
    auto counted = gallery->context()->calculateBackupImageNum();
    std::optional<std::int64_t> count;
    if (counted) {
      count = *counted;
    } else {
      LM_LOG_ERROR("{}", counted.error().description());
    }
    platform::MainQueue::main().async([weak, count] {
      auto page = weak.lock();
      if (!page) return;
      if (count) page->displayBackupImageNum(static_cast<std::uint64_t>(std::max<std::int64_t>(0, *count)));
      page->isCaculateBackupImage_ = false;
    });
  });
}

void LMGalleryRootViewController::displayBackupImageNum(std::uint64_t count) {
  if (!numLabel) return;
  // The text under the count agrees with it ("1" / "photo not yet backed up").
  if (numInfoLabel) {
    numInfoLabel->setText(ui::localizedCountString("Backup Image Info", static_cast<std::int64_t>(count)));
  }
  const std::string digits = std::to_string(count);
  const std::string text = ui::stringWithFormat(ui::localizedString("Backup Image Number Format"), {std::string(digits)});
  const auto language = LMCustomUtils::getPreferredLanguage().value_or("");
  const bool chinese = language == "zh-Hans" || language == "zh-Hans-CN" || language == "zh-Hant" ||
                       language == "zh-Hant-CN";
  numLabel->setFont(ui::Font::systemFont(90));
  const auto at = text.find(digits);
  if (chinese && at != std::string::npos) {
    // The unit after the digits is small and raised.
    std::string rest = text.substr(at + digits.size());
    std::size_t unit = 0;
    if (!rest.empty()) {
      unit = 1;
      while (unit < rest.size() && (static_cast<unsigned char>(rest[unit]) & 0xC0) == 0x80) ++unit;
    }
    numLabel->setAttributedText({ui::TextRun{text.substr(0, at + digits.size()), false, 0, 0, ui::Color::white()},
                                 ui::TextRun{rest.substr(0, unit), false, 0, 48, ui::colorWithHexString("#99FFFFFF"),
                                             ui::Font::systemFont(14)},
                                 ui::TextRun{rest.substr(unit), false, 0, 0, ui::Color::white()}});
  } else {
    numLabel->setAttributedText({ui::TextRun{text, false, 0, 0, ui::Color::white()}});
  }
}

void LMGalleryRootViewController::registerNotificationCenter() {
  if (isRegisterGalleryNotice_) return;
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  if (!photoObserver_) {
    photoObserver_ = platform::photos::mainQueueChangeObserver([weak](const platform::photos::Change&) {
      if (auto page = weak.lock()) page->galleryChangedNotification();
    });
  }
  adapter()->context()->addPhotoChangeNotificationObserver(photoObserver_, [weak] {
    if (auto page = weak.lock()) page->isRegisterGalleryNotice_ = true;
  });
}

void LMGalleryRootViewController::galleryChangedNotification() {
  updateBackupImageNum();
  LMAppSettingConfig::sharedConfig().setGalleryChangeTime(nowSeconds());
}

void LMGalleryRootViewController::delayPerformSyncGalleryTask() {
  // A newer request replaces a pending one.
  const std::uint64_t generation = ++deferredGeneration_;
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  ui::dispatchAfter(kDeferredBackupDelay, [weak, generation] {
    auto page = weak.lock();
    if (page && page->deferredGeneration_ == generation) page->performSyncGalleryTask();
  });
}

void LMGalleryRootViewController::performSyncGalleryTask() {
  auto gallery = adapter();
  gallery->performTaskBlock([gallery] { gallery->backupAllImages(); }, true);
}

void LMGalleryRootViewController::clearLumoraAccountData() { updateBackupImageNum(); }

void LMGalleryRootViewController::alertView(ui::AlertView& alert, int buttonIndex) {
  const auto& titles = alert.buttonTitles();
  if (buttonIndex < 0 || static_cast<std::size_t>(buttonIndex) >= titles.size()) return;
  const std::string& button = titles[static_cast<std::size_t>(buttonIndex)];
  auto gallery = adapter();
  const bool background = gallery->backgroundTaskIsRunning();
  if (alert.title() == ui::localizedString("流量提示")) {
    alertView_.reset();
    // The answer is for a backup: the page's running one, or the one it
    // starts now. A download that runs meanwhile is the album screens' to
    // ask about, and keeps no permission of this page's.
    if (button == ui::localizedString("继续")) {
      if (backupRunning_) {
        // Also a run of a background task: this prompt suspended it, and
        // nothing else would let it go on over mobile data.
        backupWWAN_ = true;
        if (gallery->isSuspended()) gallery->resumeSync();
      } else if (!gallery->isSyncing() && !background) {
        backupWWAN_ = true;
        backupGallery();
      }
    } else if (button == ui::localizedString("取消")) {
      backupWWAN_ = false;
      if (backupRunning_ && !background) cancelBackupGallery();
    }
    return;
  }
  if (alert.title() == ui::localizedString("停止备份")) {
    // The answer holds even when a background task was queued meanwhile:
    // the run suspended by this alert must not stay suspended.
    if (button == ui::localizedString("停止备份")) {
      if (gallery->isSyncing()) gallery->cancelSync();
    } else if (button == ui::localizedString("关闭")) {
      gallery->resumeSync();
    }
    return;
  }
  if (button == ui::localizedString("去访问")) {
    platform::Application::shared().openURL(ServiceHosts::baseURL(ServiceHosts::kCloud));
  } else if (button == ui::localizedString("去设置")) {
    gotoSystemSettings();
  }
}

void LMGalleryRootViewController::didSuccessLogin() {
  closeSignInScreens(*this);
  platform::NotificationCenter::defaultCenter().post(kDidLoginNotification, platform::Json{{"type", "photos"}});
  updateBackupImageNum();
  backupGalleryPressed();
}

void LMGalleryRootViewController::didCancelLogin() { closeSignInScreens(*this); }

}  // namespace lumora
