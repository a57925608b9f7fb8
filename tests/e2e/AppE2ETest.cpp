// The whole app as `lumora` opens it, in the offscreen window against the
// local cloud, signed in to the demo account: the two tabs, the settings
// and back, a contacts sync that locks the paging until it ends, and the
// logout from the menu, after which every store is empty and the gallery
// tab's menu is disabled.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/AppScenes.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "e2e/E2EHarness.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/settings/LMSettingViewController.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "screens/shell/LMDeviceUtils.h"

namespace e2e {
namespace {

namespace ab = platform::addressbook;
using lumora::LMBaseRootViewController;

constexpr std::int64_t kAppE2EDemoUser = 10001;
constexpr const char* kAppE2EDemoKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

ui::Point appE2ECentre(const ui::View& view) {
  auto frame = view.frame();
  return view.superview()->convertPointToView({frame.midX(), frame.midY()}, nullptr);
}

bool appE2EPress(const std::string& key) {
  auto alerts = ui::AlertView::visibleAlerts();
  return !alerts.empty() && alerts.back()->pressButtonWithTitle(ui::localizedString(key.c_str()));
}

TEST(AppE2ETest, TabsSettingsASyncLockAndTheLogoutThatEmptiesEveryStore) {
  E2EHarness harness;
  harness.clock().setAutoAdvanceSleeps(true);
  auto& cloud = harness.cloud();
  ASSERT_TRUE(cloud.seedAccount(kAppE2EDemoUser, "demo", "demo-password"));
  localcloud::LoginGrant grant;
  grant.userId = kAppE2EDemoUser;
  grant.serviceId = "lumora";
  grant.ssecurity = kAppE2EDemoKey;
  auto manager = lumora::QBPassportsManager::sharedManager();
  manager->setUserId(std::to_string(kAppE2EDemoUser));
  auto passport = manager->passportForSid("lumora", std::to_string(kAppE2EDemoUser));
  ASSERT_TRUE(passport);
  passport->setServiceToken(cloud.store().issueServiceToken(grant));
  passport->setSSecurity(kAppE2EDemoKey);
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
  {
    auto book = *ab::AddressBook::create();
    for (const char* name : {"Ann", "Bob"}) {
      auto person = *book->createPerson(book->sourceWithId(ab::kLocalSourceId));
      ASSERT_TRUE(person.setValue(ab::PersonProperty::FirstName, std::string(name)).ok());
    }
    ASSERT_TRUE(book->save().ok());
  }
  lumora::LMGalleryStoreStack::setShared(nullptr);
  lumora::LMContactSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedRecordContext>());
  lumora::LMImageSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedAssetContext>());

  lumora::registerAppScenes();
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(
      lumora::LMStoryboard::instantiateInitialViewController());
  ASSERT_TRUE(navigation);
  auto app = std::dynamic_pointer_cast<LMBaseRootViewController>(navigation->rootViewController());
  ASSERT_TRUE(app);
  harness.showScreen(navigation);
  for (auto& alert : ui::AlertView::visibleAlerts()) alert->dismiss();  // the first-launch question
  harness.settle(1);
  harness.screenshot("app-start");

  // The two tabs, by clicks on the switch.
  auto& tab = *app->tabView();
  const double width = ui::Screen::main().bounds().width;
  harness.click(appE2ECentre(*tab.rightButton()));
  ASSERT_TRUE(harness.runUntil([&] { return app->scrollView()->contentOffset().x == width; }));
  EXPECT_FALSE(tab.isSelectLeftTab());
  harness.screenshot("app-gallery-tab");
  harness.click(appE2ECentre(*tab.leftButton()));
  ASSERT_TRUE(harness.runUntil([&] { return app->scrollView()->contentOffset().x == 0; }));

  // The settings and back.
  harness.click(appE2ECentre(*app->settingsButton()));
  ASSERT_TRUE(harness.runUntil(
      [&] { return std::dynamic_pointer_cast<lumora::LMSettingViewController>(navigation->topViewController()) != nullptr; }));
  navigation->popViewController(true);
  ASSERT_TRUE(harness.runUntil([&] { return navigation->topViewController() == app; }));

  // A contacts sync locks the paging until its screen is left.
  auto contacts = app->contactVC();
  bool locked = false;
  harness.click(appE2ECentre(*contacts->syncButton()));
  ASSERT_TRUE(harness.runUntil(
      [&] {
        locked = locked || !app->scrollView()->isScrollEnabled();
        return !contacts->adapter()->isSyncing() && !ui::AlertView::visibleAlerts().empty();
      },
      1e6));
  EXPECT_TRUE(locked);
  EXPECT_FALSE(app->scrollView()->isScrollEnabled());
  EXPECT_EQ(contacts->adapter()->context()->searchAllContactRelations()->size(), 2u);
  for (auto& alert : ui::AlertView::visibleAlerts()) alert->dismiss();  // the result
  auto finish = contacts->syncLoadViewController()->finishSyncButton();
  ASSERT_TRUE(harness.runUntil([&] { return !finish->isHidden(); }));
  harness.click(appE2ECentre(*finish));
  ASSERT_TRUE(harness.runUntil([&] { return app->scrollView()->isScrollEnabled(); }));

  // The logout from the menu.
  auto& defaults = platform::UserDefaults::standard();
  harness.click(appE2ECentre(*app->menuButton()));
  ASSERT_TRUE(appE2EPress("注销Quenby帐号"));
  ASSERT_TRUE(harness.runUntil([] { return !ui::AlertView::visibleAlerts().empty(); }));
  ASSERT_TRUE(appE2EPress("注销"));
  ASSERT_TRUE(harness.waitFor([] { return lumora::LMProgressHUD::sharedHUD().window() != nullptr; }));
  ASSERT_TRUE(harness.waitFor([] { return lumora::LMProgressHUD::sharedHUD().window() == nullptr; }));
  EXPECT_FALSE(manager->userId().has_value());
  EXPECT_EQ(contacts->adapter()->context()->serverSync(), 0);
  EXPECT_TRUE(contacts->adapter()->context()->searchAllContactRelations()->empty());
  EXPECT_TRUE(contacts->adapter()->hostList().empty());
  EXPECT_TRUE(lumora::LMImageSyncAdapter::sharedAdapter()->context()->searchAllAlbumRelations()->empty());
  auto& gallery = lumora::LMGalleryManager::sharedManager();
  EXPECT_FALSE(gallery.getAllAlbums(gallery.managedObjectContext()).has_value());
  EXPECT_FALSE(gallery.albumSync().has_value());
  EXPECT_FALSE(defaults.boolForKey(lumora::LMDeviceUtils::kRegisteredKey));
  harness.click(appE2ECentre(*tab.rightButton()));
  ASSERT_TRUE(harness.runUntil([&] { return !tab.isSelectLeftTab(); }));
  EXPECT_FALSE(app->menuButton()->isEnabled());
  harness.screenshot("app-signed-out-gallery-tab");

  lumora::LMContactSyncAdapter::sharedAdapter()->setContext(nullptr);
  lumora::LMImageSyncAdapter::sharedAdapter()->setContext(nullptr);
  lumora::LMGalleryStoreStack::setShared(nullptr);
  lumora::LMProgressHUD::sharedHUD().resetForTesting();
}

}  // namespace
}  // namespace e2e
