#include "screens/settings/LMSettingViewController.h"

#include "platform/location/LocationManager.h"
#include "platform/ui/Resources.h"
#include "platform/ui/TextMeasurer.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "screens/shell/LMLocationAccess.h"
#include "screens/shell/LMSynBaseViewController.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

constexpr const char* kSettingCellIdentifier = "settingCell";
constexpr double kSettingFontSize = 14;

const char* settingFooterKey(int section) {
  switch (section) {
    case 0:
      return "照片自动备份解释";
    case 1:
      return "联系人自动同步解释";
    default:
      return nullptr;
  }
}

}  // namespace

LMSettingViewController::~LMSettingViewController() {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(alwaysObserver_);
  center.removeObserver(denyObserver_);
}

void LMSettingViewController::viewDidLoad() {
  ViewController::viewDidLoad();
  view()->addSubview(tableView());
  // White items over the app's blue bar.
  if (auto navigation = navigationController()) navigation->setTintColor(ui::Color::white());
  setTitle(ui::localizedString("自动备份"));
  navigationItem().title = *title();
  auto& center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<LMSettingViewController> weak = std::static_pointer_cast<LMSettingViewController>(shared_from_this());
  auto onChange = [weak](const std::string&, const platform::Json&) {
    if (auto screen = weak.lock()) screen->locationChange();
  };
  alwaysObserver_ = center.addObserver(LMSynBaseViewController::kLocationChangeToAlwaysNotification, onChange);
  denyObserver_ = center.addObserver(LMSynBaseViewController::kLocationChangeToDenyNotification, onChange);
}

std::shared_ptr<ui::TableView> LMSettingViewController::tableView() {
  if (tableView_) return tableView_;
  ui::Rect bounds = view()->bounds();
  tableView_ = std::make_shared<ui::TableView>(ui::Rect{0, 0, bounds.width, bounds.height - 64});
  tableView_->setBackgroundColor(ui::colorWithHexString("efeff4"));
  tableView_->setScrollEnabled(false);
  auto self = std::static_pointer_cast<LMSettingViewController>(shared_from_this());
  tableView_->setDataSource(std::weak_ptr<ui::TableViewDataSource>(self));
  tableView_->setDelegate(std::weak_ptr<ui::TableViewDelegate>(self));
  tableView_->reloadData();
  return tableView_;
}

int LMSettingViewController::numberOfSectionsInTableView(ui::TableView&) { return 2; }

int LMSettingViewController::numberOfRowsInSection(ui::TableView&, int section) {
  if (section == 0) return appConfig().autoBackupGallery() ? 2 : 1;
  return 1;
}

std::shared_ptr<ui::TableViewCell> LMSettingViewController::cellForRowAtIndexPath(ui::TableView& table,
                                                                                 ui::IndexPath indexPath) {
  auto cell = table.dequeueReusableCell(kSettingCellIdentifier);
  if (!cell) {
    cell = std::make_shared<ui::TableViewCell>(kSettingCellIdentifier);
    cell->textLabel()->setFont(ui::Font::systemFont(kSettingFontSize));
    auto toggle = std::make_shared<ui::Switch>();
    toggle->setOnTintColor(ui::colorWithHexString("2c8efc"));
    std::weak_ptr<LMSettingViewController> weak =
        std::static_pointer_cast<LMSettingViewController>(shared_from_this());
    toggle->addAction(ui::kControlEventValueChanged, [weak](ui::Control& sender) {
      if (auto screen = weak.lock()) screen->switchChange(static_cast<ui::Switch&>(sender));
    });
    cell->setAccessoryView(toggle);
  }
  auto& config = appConfig();
  auto toggle = std::static_pointer_cast<ui::Switch>(cell->accessoryView());
  if (indexPath.section == 0 && indexPath.row == 0) {
    cell->textLabel()->setText(ui::localizedString("照片自动备份"));
    toggle->setOn(config.autoBackupGallery());
  } else if (indexPath.section == 0) {
    cell->textLabel()->setText(ui::localizedString("备份照片在wifi下"));
    toggle->setOn(!config.autoBackupGalleryOnWWAN());
  } else {
    cell->textLabel()->setText(ui::localizedString("联系人自动同步"));
    toggle->setOn(config.autoBackupContacts());
  }
  return cell;
}

std::optional<double> LMSettingViewController::heightForHeaderInSection(ui::TableView&, int) { return 0.1; }

std::optional<double> LMSettingViewController::heightForFooterInSection(ui::TableView& table, int section) {
  const char* key = settingFooterKey(section);
  if (!key) return 0.1;
  auto size = ui::TextMeasurer::current()->measure(ui::localizedString(key), ui::Font::systemFont(kSettingFontSize),
                                                   table.frame().width - 20, 0);
  return size.height + 20;
}

std::shared_ptr<ui::View> LMSettingViewController::viewForFooterInSection(ui::TableView& table, int section) {
  const char* key = settingFooterKey(section);
  if (!key) return nullptr;
  const double height = heightForFooterInSection(table, section).value_or(0);
  auto footer = std::make_shared<ui::View>(ui::Rect{0, 0, table.frame().width, height});
  auto label = std::make_shared<ui::Label>(ui::Rect{10, 0, table.frame().width - 20, height});
  label->setFont(ui::Font::systemFont(kSettingFontSize));
  label->setNumberOfLines(0);
  label->setText(ui::localizedString(key));
  footer->addSubview(label);
  return footer;
}

void LMSettingViewController::didSelectRowAtIndexPath(ui::TableView& table, ui::IndexPath indexPath) {
  table.deselectRowAtIndexPath(indexPath);
}

void LMSettingViewController::switchChange(ui::Switch& sender) {
  using platform::location::AuthorizationStatus;
  auto cell = std::dynamic_pointer_cast<ui::TableViewCell>(sender.superview());
  const ui::IndexPath indexPath =
      (cell ? tableView()->indexPathForCell(*cell) : std::nullopt).value_or(ui::IndexPath{-1, -1});
  auto& config = appConfig();
  const auto status = platform::location::LocationManager::authorizationStatus();
  if (indexPath == ui::IndexPath{0, 0}) {
    if (config.autoBackupGallery()) {
      config.setTryOpenBackupGallerySwitch(false);
      config.setAutoBackupGallery(sender.isOn());
    } else {
      // Turned on: it waits for location access at all times.
      config.setTryOpenBackupGallerySwitch(true);
      if (status == AuthorizationStatus::AuthorizedAlways) {
        config.setAutoBackupGallery(sender.isOn());
      } else if (status == AuthorizationStatus::Denied) {
        showAlertMessage();
      } else {
        requestLocationAlwaysAccess();
      }
    }
  } else if (indexPath == ui::IndexPath{0, 1}) {
    if (config.autoBackupGallery()) config.setAutoBackupGalleryOnWWAN(!sender.isOn());
  } else if (indexPath == ui::IndexPath{1, 0}) {
    if (config.autoBackupContacts()) {
      config.setAutoBackupContacts(sender.isOn());
      config.setTryOpenBackupContactsSwitch(false);
    } else {
      // Turned on: it goes on at once unless access was denied.
      config.setTryOpenBackupContactsSwitch(true);
      if (status == AuthorizationStatus::AuthorizedAlways) {
        config.setAutoBackupContacts(sender.isOn());
      } else if (status == AuthorizationStatus::Denied) {
        showAlertMessage();
        refreshSwitchCell();
        return;
      } else {
        requestLocationAlwaysAccess();
        config.setAutoBackupContacts(sender.isOn());
      }
    }
  }
  refreshSwitchCell();
}

void LMSettingViewController::showAlertMessage() {
  std::weak_ptr<LMSettingViewController> weak = std::static_pointer_cast<LMSettingViewController>(shared_from_this());
  showLocationSettingsAlert("定位权限引导", [weak](ui::AlertView& alert, int buttonIndex) {
    if (auto screen = weak.lock()) screen->alertView(alert, buttonIndex);
  });
}

void LMSettingViewController::alertView(ui::AlertView& alert, int buttonIndex) {
  if (alert.cancelButtonIndex() != buttonIndex) gotoSettingsVC();
  refreshSwitchCell();
}

void LMSettingViewController::refreshSwitchCell() { tableView()->reloadData(); }

void LMSettingViewController::gotoSettingsVC() { openAppSystemSettings(); }

void LMSettingViewController::locationChange() { refreshSwitchCell(); }

LMAppSettingConfig& LMSettingViewController::appConfig() const { return LMAppSettingConfig::sharedConfig(); }

}  // namespace lumora
