// The sync pages' location notice bar and the automatic backup screen: when
// the bar shows and stays away, what its text does per location status, and
// how each switch follows (or waits for) location access.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/location/LocationManager.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/TextMeasurer.h"
#include "platform/ui/Window.h"
#include "screens/settings/LMSettingViewController.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "screens/shell/LMLocationAccess.h"
#include "screens/shell/LMSynBaseViewController.h"
#include "support/TestHome.h"

namespace ui = platform::ui;
using platform::location::AuthorizationStatus;
using platform::location::LocationManager;

namespace lumora {
namespace {

class SyncBaseSettingsTest : public ::testing::Test {
 protected:
  SyncBaseSettingsTest() {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    setLocationAccessRequester([this] { ++locationRequests_; });
    platform::Application::shared().registerURLScheme("app-settings");
  }
  ~SyncBaseSettingsTest() override {
    setLocationAccessRequester({});
    ui::AlertView::resetForTesting();
    platform::Application::shared().resetForTesting();
  }
  static void post(const char* name) { platform::NotificationCenter::defaultCenter().post(name); }
  static std::shared_ptr<ui::AlertView> onlyAlert() {
    auto alerts = ui::AlertView::visibleAlerts();
    return alerts.size() == 1 ? alerts.front() : nullptr;
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  LMAppSettingConfig& config_ = LMAppSettingConfig::sharedConfig();
  int locationRequests_ = 0;
};

TEST_F(SyncBaseSettingsTest, NoticeBarFollowsTheSwitchTheNotificationsAndThreeCloses) {
  auto contacts = std::make_shared<LMSynBaseViewController>();
  auto gallery = std::make_shared<LMSynBaseViewController>();
  gallery->setIsGalleryVC(true);
  contacts->loadViewIfNeeded();
  gallery->loadViewIfNeeded();
  auto shown = [](LMSynBaseViewController& page) { return page.locationView()->superview() == page.view(); };

  EXPECT_EQ(contacts->locationView()->frame().height, LMSynBaseViewController::kLocationViewHeight);
  config_.setAutoBackupContacts(true);
  contacts->addNotifyView();
  EXPECT_FALSE(shown(*contacts));
  config_.setAutoBackupContacts(false);
  post(LMSynBaseViewController::kLocationChangeToDenyNotification);
  EXPECT_TRUE(shown(*contacts));
  post(LMSynBaseViewController::kLocationChangeToAlwaysNotification);
  EXPECT_FALSE(shown(*contacts));

  // Each close counts against the contacts bar; after the third it stays away.
  for (int close = 1; close <= 3; ++close) {
    post(LMSynBaseViewController::kLocationChangeToDenyNotification);
    ASSERT_TRUE(shown(*contacts)) << close;
    contacts->exitButtonClick();
    EXPECT_FALSE(shown(*contacts));
  }
  post(LMSynBaseViewController::kLocationChangeToDenyNotification);
  EXPECT_FALSE(shown(*contacts));
  gallery->exitButtonClick();
  EXPECT_EQ(config_.exitButtonClickOfGalleryNumber(), 4);
  EXPECT_EQ(config_.exitButtonClickOfContactsNumber(), 4);

  // A page that is gone hears nothing more.
  contacts.reset();
  post(LMSynBaseViewController::kLocationChangeToDenyNotification);
}

TEST_F(SyncBaseSettingsTest, NoticeTextActsByLocationStatus) {
  auto page = std::make_shared<LMSynBaseViewController>();
  auto navigation = ui::NavigationController::withRoot(page);
  navigation->loadViewIfNeeded();

  ASSERT_TRUE(LocationManager::setAuthorizationStatus(AuthorizationStatus::NotDetermined));
  page->notifyButtonClick();
  EXPECT_EQ(locationRequests_, 1);

  ASSERT_TRUE(LocationManager::setAuthorizationStatus(AuthorizationStatus::Denied));
  page->notifyButtonClick();
  auto alert = onlyAlert();
  ASSERT_TRUE(alert);
  EXPECT_EQ(alert->buttonTitles().size(), 2u);
  EXPECT_TRUE(alert->pressButtonWithTitle(alert->buttonTitles()[1]));
  EXPECT_TRUE(platform::Application::shared().openedURLs().empty()) << "the page answers its own alert";

  ASSERT_TRUE(LocationManager::setAuthorizationStatus(AuthorizationStatus::AuthorizedAlways));
  page->notifyButtonClick();
  EXPECT_TRUE(std::dynamic_pointer_cast<LMSettingViewController>(navigation->topViewController()));
  EXPECT_EQ(locationRequests_, 1);
}

TEST_F(SyncBaseSettingsTest, SwitchesWaitForOrFollowLocationAccess) {
  auto screen = std::make_shared<LMSettingViewController>();
  screen->loadViewIfNeeded();
  auto table = screen->tableView();
  auto flip = [&](ui::IndexPath path) {
    auto cell = table->cellForRowAtIndexPath(path);
    ASSERT_TRUE(cell);
    auto toggle = std::static_pointer_cast<ui::Switch>(cell->accessoryView());
    toggle->setOn(!toggle->isOn());
    toggle->sendActionsForControlEvents(ui::kControlEventValueChanged);
  };
  auto switchOn = [&](ui::IndexPath path) {
    return std::static_pointer_cast<ui::Switch>(table->cellForRowAtIndexPath(path)->accessoryView())->isOn();
  };

  struct Case {
    AuthorizationStatus status;
    ui::IndexPath row;
    bool stored;  // the setting afterwards
    int requests;
    bool alert;
  };
  const ui::IndexPath galleryRow{0, 0}, contactsRow{1, 0};
  const std::vector<Case> cases = {
      {AuthorizationStatus::NotDetermined, galleryRow, false, 1, false},
      {AuthorizationStatus::Denied, galleryRow, false, 0, true},
      {AuthorizationStatus::AuthorizedAlways, galleryRow, true, 0, false},
      {AuthorizationStatus::NotDetermined, contactsRow, true, 1, false},
      {AuthorizationStatus::Denied, contactsRow, false, 0, true},
      {AuthorizationStatus::AuthorizedAlways, contactsRow, true, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status) * 10 + c.row.section);
    config_.setAutoBackupGallery(false);
    config_.setAutoBackupContacts(false);
    config_.setTryOpenBackupGallerySwitch(false);
    config_.setTryOpenBackupContactsSwitch(false);
    screen->refreshSwitchCell();
    locationRequests_ = 0;
    ASSERT_TRUE(LocationManager::setAuthorizationStatus(c.status));
    flip(c.row);
    const bool gallery = c.row == galleryRow;
    EXPECT_EQ(gallery ? config_.autoBackupGallery() : config_.autoBackupContacts(), c.stored);
    EXPECT_TRUE(gallery ? config_.tryOpenBackupGallerySwitch() : config_.tryOpenBackupContactsSwitch());
    EXPECT_EQ(switchOn(c.row), c.stored) << "the switch shows the stored setting";
    EXPECT_EQ(locationRequests_, c.requests);
    auto alert = onlyAlert();
    EXPECT_EQ(alert != nullptr, c.alert);
    if (alert) {
      // "去设置" opens the app's settings page; the switch still shows the stored value.
      alert->pressButtonAtIndex(1);
      EXPECT_FALSE(switchOn(c.row));
    }
    // Turning it off again clears the try-to-open flag.
    if (c.stored) {
      flip(c.row);
      EXPECT_FALSE(gallery ? config_.tryOpenBackupGallerySwitch() : config_.tryOpenBackupContactsSwitch());
    }
  }
  EXPECT_EQ(platform::Application::shared().openedURLs().size(), 2u);

  // The Wi-Fi-only row lives while gallery backup is on and stores the opposite.
  config_.setAutoBackupGallery(true);
  config_.setAutoBackupGalleryOnWWAN(true);
  post(LMSynBaseViewController::kLocationChangeToAlwaysNotification);
  ASSERT_EQ(table->numberOfRowsInSection(0), 2);
  EXPECT_FALSE(switchOn({0, 1}));
  flip({0, 1});
  EXPECT_FALSE(config_.autoBackupGalleryOnWWAN());
  flip(galleryRow);
  EXPECT_EQ(table->numberOfRowsInSection(0), 1);
  EXPECT_FALSE(config_.autoBackupGalleryOnWWAN()) << "kept for the next time";
  EXPECT_EQ(table->numberOfRowsInSection(1), 1);
}

TEST_F(SyncBaseSettingsTest, FooterHeightsComeFromTheMeasuredExplanation) {
  auto screen = std::make_shared<LMSettingViewController>();
  screen->loadViewIfNeeded();
  auto table = screen->tableView();
  for (int section = 0; section < 2; ++section) {
    auto footer = table->footerViewForSection(section);
    ASSERT_TRUE(footer) << section;
    auto label = std::static_pointer_cast<ui::Label>(footer->subviews().front());
    auto measured = ui::TextMeasurer::current()->measure(label->text(), ui::Font::systemFont(14),
                                                         table->frame().width - 20, 0);
    EXPECT_DOUBLE_EQ(footer->frame().height, measured.height + 20) << section;
    EXPECT_DOUBLE_EQ(label->frame().width, table->frame().width - 20);
  }
  EXPECT_DOUBLE_EQ(screen->heightForFooterInSection(*table, 2).value_or(0), 0.1);
}

}  // namespace
}  // namespace lumora
