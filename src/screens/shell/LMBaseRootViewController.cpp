#include "screens/shell/LMBaseRootViewController.h"

#include "applog/LoggerRegistry.h"
#include "blackbox/Blackbox.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/app/Application.h"
#include "platform/ui/Color.h"
#include "platform/ui/Resources.h"
#include "push/KoPushSDK.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMMergeSourceTableViewController.h"
#include "screens/contacts/LMMergeTableViewController.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/settings/LMSettingViewController.h"
#include "screens/shell/AppDelegate.h"
#include "screens/shell/LMDeviceUtils.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

constexpr const char* kMenuEvent = "菜单按钮";
constexpr const char* kButtonKey = "button";
// Menu items and confirmations, by their text keys.
constexpr const char* kMergeItem = "合并联系人";
constexpr const char* kImportItem = "导入联系人";
constexpr const char* kRemoveAllItem = "清空通讯录";
constexpr const char* kLogoutItem = "注销Quenby帐号";
constexpr const char* kCloudAlbumsItem = "查看我的云相册";
constexpr const char* kRemoveAllConfirm = "彻底删除";
constexpr const char* kLogoutConfirm = "注销";

}  // namespace

LMBaseRootViewController::Services LMBaseRootViewController::Services::standard() {
  Services s;
  s.userId = [] { return QBPassportsManager::sharedManager()->userId(); };
  s.logOut = [] { QBPassportsManager::sharedManager()->logOut(); };
  s.setUserIdentifier = [](const std::optional<std::string>& user) {
    Blackbox::sharedInstance()->setUserIdentifier(user);
  };
  s.setAlias = &KoPushSDK::setAlias;
  s.unsetAlias = &KoPushSDK::unsetAlias;
  s.getAllAlias = &KoPushSDK::getAllAlias;
  s.registerDeviceInfo = &LMDeviceUtils::registerLumoraDeviceInfo;
  s.unregisterDeviceInfo = &LMDeviceUtils::unregisterLumoraDeviceInfo;
  s.isAddressBookAuthorized = [] { return LMManagedRecordContext::isAddressBookAuthorized(); };
  s.isPhotoLibraryAuthorized = [] { return LMImageSyncAdapter::sharedAdapter()->context()->isPhotoLibraryAuthorized(); };
  s.isFromBackground = [] {
    auto app = std::dynamic_pointer_cast<AppDelegate>(platform::Application::shared().delegate());
    return app && app->isFromBackground();
  };
  s.recordCountEvent = [](const std::string& category, const std::string& key) {
    KoStatSDK::recordCountEvent(category, key);
  };
  s.contactAdapter = [] { return LMContactSyncAdapter::sharedAdapter(); };
  s.imageAdapter = [] { return LMImageSyncAdapter::sharedAdapter(); };
  return s;
}

LMBaseRootViewController::LMBaseRootViewController(Services services) : services_(std::move(services)) {}

LMBaseRootViewController::~LMBaseRootViewController() {
  for (auto token : observers_) platform::NotificationCenter::defaultCenter().removeObserver(token);
}

std::weak_ptr<LMBaseRootViewController> LMBaseRootViewController::weakSelf() {
  return std::static_pointer_cast<LMBaseRootViewController>(shared_from_this());
}

void LMBaseRootViewController::loadView() {
  // The scene: a screen-sized view with the pager below the bars.
  const ui::Rect screen = ui::Screen::main().bounds();
  setView(std::make_shared<ui::View>(screen));
  scrollView_ = std::make_shared<ui::ScrollView>(
      ui::Rect{0, kTopBarsHeight, screen.width, screen.height - kTopBarsHeight});
  view()->addSubview(scrollView_);
  setOutlet("scrollView", scrollView_);
}

void LMBaseRootViewController::viewDidLoad() {
  interfaceInitialize();
  services_.setUserIdentifier(services_.userId());
}

void LMBaseRootViewController::viewWillAppear(bool animated) {
  ViewController::viewWillAppear(animated);
  const double x = tabView_->isSelectLeftTab() ? 0 : scrollView_->bounds().width;
  scrollView_->setContentOffset({x, 0}, false);
}

void LMBaseRootViewController::appear(bool animated) {
  ViewController::appear(animated);
  for (const auto& child : childViewControllers()) child->beginAppearanceTransition(true, animated);
}

void LMBaseRootViewController::disappear(bool animated) {
  for (const auto& child : childViewControllers()) child->beginAppearanceTransition(false, animated);
  ViewController::disappear(animated);
}

void LMBaseRootViewController::interfaceInitialize() {
  view()->setBackgroundColor(ui::colorWithHexString(kBackgroundColor));
  scrollView_->setDelegate(std::static_pointer_cast<ui::ScrollViewDelegate>(
      std::static_pointer_cast<LMBaseRootViewController>(shared_from_this())));
  auto weak = weakSelf();

  menuButton_ = std::make_shared<ui::Button>(ui::Rect{0, 0, 22, 22});
  menuButton_->setImage(ui::Image::imageNamed("导航栏菜单按钮.png"));
  menuButton_->setAction([weak] {
    if (auto self = weak.lock()) self->presentMenu();
  });
  navigationItem().rightBarButtonItem = ui::BarButtonItem(menuButton_);

  if (auto navigation = navigationController()) {
    auto barImage = ui::Image::imageNamed("导航栏背景.png");
    navigation->setBarBackgroundImage(barImage);
    navigation->setBarShadowImage(barImage);
  }

  settingsButton_ = std::make_shared<ui::Button>(ui::Rect{-20, 0, 32, 32});
  settingsButton_->setImage(ui::Image::imageNamed("设置icon.png"));
  settingsButton_->setAction([weak] {
    if (auto self = weak.lock()) self->pushSettingsVC();
  });
  navigationItem().leftBarButtonItem = ui::BarButtonItem(settingsButton_);

  const double width = view()->bounds().width;
  const double height = view()->bounds().height - kTopBarsHeight;
  std::weak_ptr<LMSynBaseViewControllerDelegate> pageDelegate =
      std::static_pointer_cast<LMSynBaseViewControllerDelegate>(
          std::static_pointer_cast<LMBaseRootViewController>(shared_from_this()));

  contactVC_ = std::dynamic_pointer_cast<LMRootViewController>(
      LMStoryboard::instantiateViewControllerWithIdentifier(LMRootViewController::kSceneIdentifier));
  if (contactVC_) {
    addChildViewController(contactVC_);
    contactVC_->view()->setFrame({0, 0, width, height});
    contactVC_->setDelegate(pageDelegate);
    scrollView_->addSubview(contactVC_->view());
  }
  // A 480-point screen's gallery page keeps the height of a taller one.
  const double galleryHeight = height == 416 ? height + kShortScreenGalleryExtra : height;
  galleryVC_ = std::dynamic_pointer_cast<LMGalleryRootViewController>(
      LMStoryboard::instantiateViewControllerWithIdentifier(LMGalleryRootViewController::kSceneIdentifier));
  if (galleryVC_) {
    addChildViewController(galleryVC_);
    galleryVC_->view()->setFrame({width, 0, width, galleryHeight});
    galleryVC_->setDelegate(pageDelegate);
    scrollView_->addSubview(galleryVC_->view());
  }
  scrollView_->setContentSize({2 * width, height});
  scrollView_->setClipsToBounds(true);
  scrollView_->setPagingEnabled(true);

  tabView_ = LMNavTabView::create();
  tabView_->setDelegate(std::static_pointer_cast<LMNavTabViewDelegate>(
      std::static_pointer_cast<LMBaseRootViewController>(shared_from_this())));
  navigationItem().titleView = tabView_;

  auto& center = platform::NotificationCenter::defaultCenter();
  observers_.push_back(center.addObserver(kDidLoginNotification, [weak](const std::string&, const platform::Json&) {
    if (auto self = weak.lock()) self->passportDidLoginNotice();
  }));
  observers_.push_back(
      center.addObserver(kLogoutNotification, [weak](const std::string&, const platform::Json& userInfo) {
        if (auto self = weak.lock()) self->passportLogoutNotice(userInfo);
      }));
  updateMenuButton();
}

// ---- Tab, page and menu button in step ----

void LMBaseRootViewController::didTabViewChangeSelectedTab(bool left) {
  const ui::Size size = scrollView_->frame().size();
  scrollView_->scrollRectToVisible({left ? 0 : size.width, 0, size.width, size.height}, true);
  updateMenuButton();
}

void LMBaseRootViewController::scrollViewDidEndDragging(ui::ScrollView&, bool willDecelerate) {
  if (!willDecelerate) updateTabView();
}

void LMBaseRootViewController::scrollViewDidEndDecelerating(ui::ScrollView&) { updateTabView(); }

void LMBaseRootViewController::updateTabView() {
  const double x = scrollView_->contentOffset().x;
  if (x < kTabSnapDistance) {
    tabView_->setSelectLeftTab(true);
  } else if (x > scrollView_->frame().width - kTabSnapDistance) {
    tabView_->setSelectLeftTab(false);
  }
  updateMenuButton();
}

void LMBaseRootViewController::updateMenuButton() {
  menuButton_->setEnabled(tabView_->isSelectLeftTab() || services_.userId().has_value());
}

// ---- Settings and menu ----

void LMBaseRootViewController::pushSettingsVC() {
  services_.recordCountEvent(kMenuEvent, kButtonKey);
  if (auto navigation = navigationController()) {
    navigation->pushViewController(std::make_shared<LMSettingViewController>(), true);
  }
}

void LMBaseRootViewController::presentMenu() {
  services_.recordCountEvent(kMenuEvent, kButtonKey);
  std::vector<const char*> keys;
  if (!services_.userId()) {
    keys = {kMergeItem, kImportItem, kRemoveAllItem};
  } else if (tabView_->isSelectLeftTab()) {
    keys = {kMergeItem, kImportItem, kRemoveAllItem, kLogoutItem};
  } else {
    keys = {kCloudAlbumsItem, kLogoutItem};
  }
  std::vector<std::string> titles;
  for (const char* key : keys) titles.push_back(ui::localizedString(key));
  auto weak = weakSelf();
  auto sheet = ui::AlertView::actionSheet("", ui::localizedString("取消"), std::nullopt, std::move(titles),
                                          [weak](ui::AlertView& shown, int index) {
                                            if (auto self = weak.lock()) self->actionSheetClickedButtonAtIndex(shown, index);
                                          });
  sheet->show();
}

bool LMBaseRootViewController::presentScene(const std::string& identifier,
                                            const std::function<void(ui::ViewController& top)>& prepare,
                                            std::function<void(ui::ViewController& top)> completion) {
  auto scene = LMStoryboard::instantiateViewControllerWithIdentifier(identifier);
  if (!scene) {
    QB_LOG_ERROR("No scene {} to present", identifier);
    return false;
  }
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(scene);
  std::shared_ptr<ui::ViewController> top = navigation ? navigation->topViewController() : scene;
  if (top && prepare) prepare(*top);
  auto presenter = navigationController();
  std::shared_ptr<ui::ViewController> from = presenter ? std::shared_ptr<ui::ViewController>(presenter)
                                                       : shared_from_this();
  std::function<void()> done;
  if (completion && top) {
    std::weak_ptr<ui::ViewController> weakTop = top;
    done = [weakTop, completion = std::move(completion)] {
      if (auto shown = weakTop.lock()) completion(*shown);
    };
  }
  return from->presentViewController(scene, true, std::move(done));
}

void LMBaseRootViewController::actionSheetClickedButtonAtIndex(ui::AlertView& sheet, int buttonIndex) {
  if (buttonIndex < 0 || buttonIndex >= static_cast<int>(sheet.buttonTitles().size())) return;
  const std::string& title = sheet.buttonTitles()[static_cast<std::size_t>(buttonIndex)];
  auto is = [&title](const char* key) { return title == ui::localizedString(key); };
  auto weak = weakSelf();
  std::weak_ptr<LMRootViewController> contacts = contactVC_;
  if (is(kMergeItem)) {
    services_.recordCountEvent("菜单合并联系人按钮", kButtonKey);
    if (!contactVC_) return;
    contactVC_->requestAddressBookAuthorization([weak, contacts] {
      auto self = weak.lock();
      if (!self) return;
      self->presentScene(
          "mergeViewController",
          [contacts](ui::ViewController& top) {
            if (auto merge = dynamic_cast<LMMergeTableViewController*>(&top)) {
              if (auto page = contacts.lock()) merge->setDelegate(page->mergeDelegate());
            }
          },
          [](ui::ViewController& top) {
            if (auto merge = dynamic_cast<LMMergeTableViewController*>(&top)) merge->searchRepeatedContacts();
          });
    });
  } else if (is(kImportItem)) {
    services_.recordCountEvent("菜单导入联系人按钮", kButtonKey);
    if (!contactVC_) return;
    contactVC_->requestAddressBookAuthorization([weak, contacts] {
      auto self = weak.lock();
      if (!self) return;
      self->presentScene("mergeSourceViewController", [contacts](ui::ViewController& top) {
        if (auto import = dynamic_cast<LMMergeSourceTableViewController*>(&top)) {
          if (auto page = contacts.lock()) import->setDelegate(page->mergeSourceDelegate());
        }
      });
    });
  } else if (is(kRemoveAllItem)) {
    services_.recordCountEvent("菜单清空通讯录按钮", kButtonKey);
    if (!contactVC_) return;
    contactVC_->requestAddressBookAuthorization([weak] {
      if (auto self = weak.lock()) self->showAlert("Remove All Contacts", kRemoveAllConfirm);
    });
  } else if (is(kLogoutItem)) {
    services_.recordCountEvent("菜单注销Quenby帐号按钮", kButtonKey);
    showAlert("Whether Logout", kLogoutConfirm);
  } else if (is(kCloudAlbumsItem)) {
    std::weak_ptr<LMGalleryRootViewController> gallery = galleryVC_;
    presentScene(LMGalleryAlbumCollectionViewController::kSceneIdentifier, [gallery](ui::ViewController& top) {
      auto grid = dynamic_cast<LMGalleryAlbumCollectionViewController*>(&top);
      if (auto page = gallery.lock(); grid && page) {
        grid->setDelegate(std::static_pointer_cast<LMGalleryAlbumCollectionViewControllerDelegate>(page));
      }
    });
  }
}

void LMBaseRootViewController::showAlert(const std::string& titleKey, const std::string& otherKey) {
  auto weak = weakSelf();
  ui::AlertView::alert(ui::localizedString(titleKey), "", ui::localizedString("取消"), {ui::localizedString(otherKey)},
                       [weak](ui::AlertView& alert, int index) {
                         if (auto self = weak.lock()) self->alertViewClickedButtonAtIndex(alert, index);
                       })
      ->show();
}

void LMBaseRootViewController::alertViewClickedButtonAtIndex(ui::AlertView& alert, int buttonIndex) {
  if (buttonIndex < 0 || buttonIndex >= static_cast<int>(alert.buttonTitles().size())) return;
  const std::string& title = alert.buttonTitles()[static_cast<std::size_t>(buttonIndex)];
  if (title == ui::localizedString(kRemoveAllConfirm)) {
    if (contactVC_) contactVC_->removeAllContacts();
  } else if (title == ui::localizedString(kLogoutConfirm)) {
    services_.recordCountEvent("注销", "logout");
    platform::NotificationCenter::defaultCenter().post(kLogoutNotification, platform::Json{{"show", true}});
  }
}

// ---- Sync lock ----

void LMBaseRootViewController::didControllerBeginSync(LMSynBaseViewController&) {
  // A run after a location wake-up has nobody watching: no lock.
  if (services_.isFromBackground()) return;
  menuButton_->setEnabled(false);
  scrollView_->setScrollEnabled(false);
  tabView_->setTapEnabled(false);
}

void LMBaseRootViewController::didControllerEndSync(LMSynBaseViewController&) {
  menuButton_->setEnabled(true);
  scrollView_->setScrollEnabled(true);
  tabView_->setTapEnabled(true);
}

}  // namespace lumora
