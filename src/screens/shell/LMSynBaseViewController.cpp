#include "screens/shell/LMSynBaseViewController.h"

#include "platform/location/LocationManager.h"
#include "platform/ui/Control.h"
#include "platform/ui/Resources.h"
#include "platform/ui/Window.h"
#include "screens/settings/LMSettingViewController.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "screens/shell/LMLocationAccess.h"

namespace lumora {

namespace ui = platform::ui;

LMSynBaseViewController::~LMSynBaseViewController() {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(alwaysObserver_);
  center.removeObserver(denyObserver_);
}

void LMSynBaseViewController::viewDidLoad() {
  ViewController::viewDidLoad();
  registObservers();
}

void LMSynBaseViewController::registObservers() {
  if (alwaysObserver_ != 0) return;
  auto& center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<LMSynBaseViewController> weak =
      std::static_pointer_cast<LMSynBaseViewController>(shared_from_this());
  alwaysObserver_ = center.addObserver(kLocationChangeToAlwaysNotification, [weak](const std::string&, const platform::Json&) {
    if (auto page = weak.lock()) page->removeNotifyView();
  });
  denyObserver_ = center.addObserver(kLocationChangeToDenyNotification, [weak](const std::string&, const platform::Json&) {
    if (auto page = weak.lock()) page->addNotifyView();
  });
}

std::shared_ptr<ui::View> LMSynBaseViewController::locationView() {
  if (locationView_) return locationView_;
  const double width = ui::Screen::main().bounds().width;
  const double height = kLocationViewHeight;
  locationView_ = std::make_shared<ui::View>(ui::Rect{0, 0, width, height});
  locationView_->setBackgroundColor(ui::Color::yellow());

  auto icon = std::make_shared<ui::ImageView>(ui::Rect{10, 11, 23, 23});
  icon->setImage(ui::Image::imageNamed("警示icon"));
  locationView_->addSubview(icon);

  std::weak_ptr<LMSynBaseViewController> weak =
      std::static_pointer_cast<LMSynBaseViewController>(shared_from_this());
  auto text = std::make_shared<ui::Button>(ui::Rect{icon->frame().maxX() + 10, 0, width - 23 - 33 - 20, height});
  text->setTitle(ui::localizedString(isGalleryVC_ ? "自动备份照片权限指示条" : "自动同步联系人权限指示条"));
  text->titleLabel()->setFont(ui::Font::systemFont(12));
  text->setTitleColor(ui::Color::black());
  text->setAction([weak] {
    if (auto page = weak.lock()) page->notifyButtonClick();
  });
  locationView_->addSubview(text);

  auto close = std::make_shared<ui::Button>(ui::Rect{width - 33, 6, 33, 33});
  close->setImage(ui::Image::imageNamed("关闭icon"));
  close->setAction([weak] {
    if (auto page = weak.lock()) page->exitButtonClick();
  });
  locationView_->addSubview(close);
  return locationView_;
}

void LMSynBaseViewController::notifyButtonClick() {
  using platform::location::AuthorizationStatus;
  switch (platform::location::LocationManager::authorizationStatus()) {
    case AuthorizationStatus::AuthorizedAlways:
      pushSettingsVC();
      break;
    case AuthorizationStatus::Denied:
      showAlertOfGoSettings();
      break;
    default:
      requestLocationAlwaysAccess();
      break;
  }
}

void LMSynBaseViewController::exitButtonClick() {
  locationView()->removeFromSuperview();
  auto& config = appConfig();
  const auto closed = config.exitButtonClickOfContactsNumber() + 1;
  config.setExitButtonClickOfContactsNumber(closed);
  // Closing either page's bar counts against the contacts bar; the gallery
  // counter takes the contacts counter's value.
  if (isGalleryVC_) config.setExitButtonClickOfGalleryNumber(closed);
}

void LMSynBaseViewController::pushSettingsVC() {
  if (auto navigation = navigationController()) {
    navigation->pushViewController(std::make_shared<LMSettingViewController>(), true);
  }
}

void LMSynBaseViewController::gotoSystemSettings() { openAppSystemSettings(); }

void LMSynBaseViewController::showAlertOfGoSettings() {
  std::weak_ptr<LMSynBaseViewController> weak =
      std::static_pointer_cast<LMSynBaseViewController>(shared_from_this());
  showLocationSettingsAlert(isGalleryVC_ ? "备份照片的定位权限引导" : "定位权限引导",
                            [weak](ui::AlertView& alert, int buttonIndex) {
                              if (auto page = weak.lock()) page->alertView(alert, buttonIndex);
                            });
}

void LMSynBaseViewController::addNotifyView() {
  if (appConfig().autoBackupContacts()) {
    removeNotifyView();
    return;
  }
  if (appConfig().exitButtonClickOfContactsNumber() > 2) return;
  view()->addSubview(locationView());
}

void LMSynBaseViewController::removeNotifyView() { locationView()->removeFromSuperview(); }

void LMSynBaseViewController::alertView(ui::AlertView&, int) {}

LMAppSettingConfig& LMSynBaseViewController::appConfig() const { return LMAppSettingConfig::sharedConfig(); }

}  // namespace lumora
