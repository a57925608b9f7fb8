// The root container: page frames and the tab pictures per screen, the menu
// by sign-in and tab, tab and page in step, the sync lock, the order of a
// login's calls, a logout's clearing of every store behind the tasks queued
// before it, and the cloud lists of an account that signed out meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMContactsScenes.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "screens/shell/LMDeviceUtils.h"
#include "screens/shell/LMNavViewController.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

namespace ui = platform::ui;
namespace ab = platform::addressbook;
using platform::MainQueue;

class RootContainerTest : public ::testing::Test {
 protected:
  RootContainerTest() {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    MainQueue::main().bindToCurrentThread();
    clock_->setAutoAdvanceSleeps(true);
    LMGalleryStoreStack::setShared(nullptr);
    LMContactSyncAdapter::sharedAdapter()->setContext(std::make_shared<LMManagedRecordContext>());
    LMImageSyncAdapter::sharedAdapter()->setContext(std::make_shared<LMManagedAssetContext>());
    registerContactsScenes();
    registerGalleryScenes();
  }
  ~RootContainerTest() override {
    pumpUntil([] { return idleAdapters(); });
    LMContactSyncAdapter::sharedAdapter()->setDelegate(nullptr);
    LMContactSyncAdapter::sharedAdapter()->setContext(nullptr);
    LMImageSyncAdapter::sharedAdapter()->setDelegate(nullptr);
    LMImageSyncAdapter::sharedAdapter()->setContext(nullptr);
    LMImageSyncAdapter::sharedAdapter()->setSyncing(false);
    QBPassportsManager::sharedManager()->setUserId(std::nullopt);
    LMGalleryStoreStack::setShared(nullptr);
    LMProgressHUD::sharedHUD().resetForTesting();
    platform::Application::shared().resetForTesting();
  }

  static bool idleAdapters() {
    return LMContactSyncAdapter::sharedAdapter()->taskOperationQueue().operationCount() == 0 &&
           LMImageSyncAdapter::sharedAdapter()->taskOperationQueue().operationCount() == 0;
  }
  // Pumps the main queue and moves the clock on (the HUD's fades) until
  // pred() holds, while the adapters' threads work in real time.
  bool pumpUntil(const std::function<bool()>& pred) {
    const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(10));
    while (std::chrono::steady_clock::now() < until) {
      clock_->advance(std::chrono::milliseconds(100));
      MainQueue::main().runUntil(pred, std::chrono::milliseconds(20));
      if (pred()) {
        MainQueue::main().runUntilIdle();
        return true;
      }
    }
    return false;
  }

  LMBaseRootViewController::Services services() {
    auto s = LMBaseRootViewController::Services::standard();
    s.userId = [this] { return user_; };
    s.logOut = [this] {
      log_.push_back("logOut");
      user_.reset();
    };
    s.setUserIdentifier = [this](const std::optional<std::string>& id) { log_.push_back("crash:" + id.value_or("-")); };
    s.setAlias = [this](const std::string& alias) { log_.push_back("alias:" + alias); };
    s.unsetAlias = [this](const std::string& alias) { log_.push_back("unalias:" + alias); };
    s.getAllAlias = [] { return std::optional<std::vector<std::string>>({"other", "u1", "u1"}); };
    s.registerDeviceInfo = [this] { log_.push_back("device"); };
    s.unregisterDeviceInfo = [this] {
      log_.push_back("undevice");
      LMDeviceUtils::unregisterLumoraDeviceInfo();
    };
    s.isAddressBookAuthorized = [this] {
      log_.push_back("contacts?");
      return false;
    };
    s.isPhotoLibraryAuthorized = [this] {
      log_.push_back("photos?");
      return false;
    };
    s.isFromBackground = [this] { return fromBackground_; };
    s.recordCountEvent = [](const std::string&, const std::string&) {};
    return s;
  }
  std::shared_ptr<LMBaseRootViewController> makeContainer() {
    auto container = std::make_shared<LMBaseRootViewController>(services());
    navigation_ = LMNavViewController::withRoot(container);
    navigation_->loadViewIfNeeded();
    return container;
  }
  static std::vector<std::string> menuTitles(LMBaseRootViewController& container) {
    container.presentMenu();
    auto alerts = ui::AlertView::visibleAlerts();
    if (alerts.empty()) return {};
    auto titles = alerts.back()->buttonTitles();
    alerts.back()->dismiss();
    return titles;
  }
  static std::size_t cachedAlbums() {
    auto& manager = LMGalleryManager::sharedManager();
    return manager.getAllAlbums(manager.managedObjectContext()).value_or(std::vector<std::shared_ptr<LMAlbumObject>>()).size();
  }
  static LMAlbum cloudAlbum(std::int64_t id) {
    LMAlbum album;
    album.serverID = id;
    album.name = "Album " + std::to_string(id);
    album.sync = 1;
    album.status = 1;
    return album;
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::shared_ptr<ui::NavigationController> navigation_;
  std::optional<std::string> user_;
  bool fromBackground_ = false;
  std::vector<std::string> log_;
};

TEST_F(RootContainerTest, PagesAndTabPicturesFollowTheScreen) {
  struct Case {
    ui::DeviceProfile profile;
    double galleryHeight;
    std::string leftPicture;
  };
  const std::vector<Case> cases = {
      {*ui::DeviceProfile::named("320x480"), 416 + 88, "导航Tab左.png"},
      {*ui::DeviceProfile::named("320x568"), 504, "导航Tab左.png"},
      {*ui::DeviceProfile::named("375x667"), 603, "导航Tab左6.png"},
      {*ui::DeviceProfile::named("414x736"), 672, "导航Tab左6p.png"},
      {{"400x700", {400, 700}, 2}, 636, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.profile.name);
    ui::Screen::main().setProfile(c.profile);
    auto container = makeContainer();
    const double w = c.profile.size.width;
    const double h = c.profile.size.height - 64;
    EXPECT_EQ(container->contactVC()->view()->frame(), (ui::Rect{0, 0, w, h}));
    EXPECT_EQ(container->galleryVC()->view()->frame(), (ui::Rect{w, 0, w, c.galleryHeight}));
    EXPECT_EQ(container->scrollView()->contentSize(), (ui::Size{2 * w, h}));
    EXPECT_EQ(container->scrollView()->frame(), (ui::Rect{0, 64, w, h}));
    EXPECT_EQ(LMNavTabView::leftTabImageNameForHeight(c.profile.size.height), c.leftPicture);
    auto& tab = *container->tabView();
    ASSERT_EQ(tab.leftTabImage().has_value(), !c.leftPicture.empty());
    const ui::Size size = c.leftPicture.empty() ? ui::Size{} : ui::Image::imageNamed(c.leftPicture)->size();
    EXPECT_EQ(tab.frame().size(), size);
    EXPECT_EQ(tab.rightTabImage().has_value(), !c.leftPicture.empty());
    EXPECT_EQ(tab.rightButton()->frame().x, size.width / 2);
  }
}

TEST_F(RootContainerTest, MenuItemsFollowSignInAndTab) {
  auto L = [](std::vector<const char*> keys) {
    std::vector<std::string> titles;
    for (const char* key : keys) titles.push_back(ui::localizedString(key));
    titles.push_back(ui::localizedString("取消"));
    return titles;
  };
  struct Case {
    bool signedIn;
    bool left;
    bool menuEnabled;
    std::vector<std::string> items;
  };
  const std::vector<Case> cases = {
      {true, true, true, L({"合并联系人", "导入联系人", "清空通讯录", "注销Quenby帐号"})},
      {true, false, true, L({"查看我的云相册", "注销Quenby帐号"})},
      {false, true, true, L({"合并联系人", "导入联系人", "清空通讯录"})},
      {false, false, false, {}},
  };
  auto container = makeContainer();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.signedIn) + std::to_string(c.left));
    user_ = c.signedIn ? std::optional<std::string>("u1") : std::nullopt;
    container->tabView()->setSelectLeftTab(!c.left);
    container->tabView()->setSelectLeftTab(c.left);
    EXPECT_EQ(container->menuButton()->isEnabled(), c.menuEnabled);
    if (c.menuEnabled) {
      EXPECT_EQ(menuTitles(*container), c.items);
    }
  }
  // The cloud albums item presents the album grid for the gallery page.
  user_ = "u1";
  container->presentMenu();
  ASSERT_TRUE(ui::AlertView::visibleAlerts().back()->pressButtonWithTitle(ui::localizedString("查看我的云相册")));
  MainQueue::main().runUntilIdle();
  auto presented = std::dynamic_pointer_cast<ui::NavigationController>(navigation_->presentedViewController());
  ASSERT_TRUE(presented);
  auto grid = std::dynamic_pointer_cast<LMGalleryAlbumCollectionViewController>(presented->topViewController());
  ASSERT_TRUE(grid);
  // Its back button asks the gallery page to close it.
  grid->cancelCheck(false);
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(navigation_->presentedViewController(), nullptr);

  // The merge and import screens close by their back buttons, which ask
  // the contacts page.
  ASSERT_TRUE(platform::addressbook::AddressBook::setAuthorizationStatus(
                  platform::addressbook::AuthorizationStatus::Authorized)
                  .ok());
  container->tabView()->setSelectLeftTab(true);
  for (const char* item : {"合并联系人", "导入联系人"}) {
    container->presentMenu();
    ASSERT_TRUE(ui::AlertView::visibleAlerts().back()->pressButtonWithTitle(ui::localizedString(item)));
    ASSERT_TRUE(MainQueue::main().runUntil([&] { return navigation_->presentedViewController() != nullptr; },
                                           testsupport::scaled(std::chrono::seconds(10))))
        << item;
    auto shown = std::dynamic_pointer_cast<ui::NavigationController>(navigation_->presentedViewController());
    ASSERT_TRUE(shown && shown->topViewController()->tapLeftBarButton()) << item;
    MainQueue::main().runUntilIdle();
    EXPECT_EQ(navigation_->presentedViewController(), nullptr) << item;
    LMProgressHUD::sharedHUD().resetForTesting();
  }
}

TEST_F(RootContainerTest, TabAndPageStayInStepAndSyncsLockThem) {
  auto container = makeContainer();
  auto& pager = *container->scrollView();
  auto& tab = *container->tabView();
  const double w = pager.frame().width;
  // A tab change turns the page; a settled page selects its tab; an offset
  // left between the edges keeps the tab.
  tab.tabSelected(*tab.rightButton());
  EXPECT_EQ(pager.contentOffset().x, w);
  struct Settle {
    double x;
    bool left;
  };
  for (const Settle& s : {Settle{w / 2, false}, Settle{9, true}, Settle{w / 2, true}, Settle{w - 9, false}}) {
    pager.setContentOffset({s.x, 0});
    container->scrollViewDidEndDecelerating(pager);
    EXPECT_EQ(tab.isSelectLeftTab(), s.left) << s.x;
  }
  // Tapping the selected tab changes nothing.
  pager.setContentOffset({w / 2, 0});
  tab.tabSelected(*tab.rightButton());
  EXPECT_EQ(pager.contentOffset().x, w / 2);

  // A sync locks the menu, the paging and the tabs until it ends; not after
  // a location wake-up.
  for (bool background : {false, true}) {
    fromBackground_ = background;
    container->didControllerBeginSync(*container->contactVC());
    EXPECT_EQ(container->menuButton()->isEnabled(), background);
    EXPECT_EQ(pager.isScrollEnabled(), background);
    EXPECT_EQ(tab.leftButton()->isEnabled(), background);
    container->didControllerEndSync(*container->contactVC());
    EXPECT_TRUE(container->menuButton()->isEnabled() && pager.isScrollEnabled() && tab.rightButton()->isEnabled());
  }
}

TEST_F(RootContainerTest, LoginTellsPushDeviceCrashReportsThenCounts) {
  auto container = makeContainer();
  log_.clear();
  user_ = "u1";
  platform::NotificationCenter::defaultCenter().post(LMBaseRootViewController::kDidLoginNotification,
                                                     {{"type", "contacts"}});
  EXPECT_EQ(log_, (std::vector<std::string>{"alias:u1", "device", "crash:u1", "contacts?", "photos?"}));
}

TEST_F(RootContainerTest, LogoutClearsEveryStoreAfterTheTasksQueuedBeforeIt) {
  auto contacts = LMContactSyncAdapter::sharedAdapter();
  auto images = LMImageSyncAdapter::sharedAdapter();
  auto& manager = LMGalleryManager::sharedManager();
  auto& defaults = platform::UserDefaults::standard();
  for (bool withHUD : {true, false}) {
    SCOPED_TRACE(withHUD ? "with the HUD" : "without");
    auto container = makeContainer();
    user_ = "u1";
    log_.clear();
    contacts->setHostList(platform::Json{{"a.example", "b.example"}});
    defaults.setBool(LMDeviceUtils::kRegisteredKey, true);
    // A running job of each adapter, which still writes when it goes on.
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    contacts->performTaskBlock([open, contacts] {
      open.wait();
      contacts->context()->setServerSync(42);
    });
    images->setSyncing(true);
    images->performTaskBlock([open, images] {
      open.wait();
      LMAlbumRelation relation;
      relation.assetID = "album-1";
      relation.serverID = 7;
      images->context()->addAlbumRelation(relation);
    });
    // A cloud list saved just before, its tokens stored when the save's
    // tail comes round on the main queue.
    manager.saveAlbumObjectsWithArray({cloudAlbum(7)}, 9, "x", false, nullptr);

    platform::NotificationCenter::defaultCenter().post(LMBaseRootViewController::kLogoutNotification,
                                                       {{"show", withHUD}});
    EXPECT_EQ(LMProgressHUD::sharedHUD().window() != nullptr, withHUD);
    ASSERT_TRUE(pumpUntil([&] { return !user_; }));
    EXPECT_TRUE(images->isCancelled()) << "the running job is told to stop";
    gate.set_value();
    ASSERT_TRUE(pumpUntil([&] { return idleAdapters() && (!withHUD || !LMProgressHUD::sharedHUD().window()); }));
    images->setSyncing(false);

    EXPECT_EQ(contacts->context()->serverSync(), 0);
    EXPECT_TRUE(contacts->hostList().empty());
    EXPECT_TRUE(images->context()->searchAllAlbumRelations()->empty());
    EXPECT_EQ(cachedAlbums(), 0u);
    EXPECT_FALSE(manager.albumSync().has_value());
    EXPECT_FALSE(defaults.boolForKey(LMDeviceUtils::kRegisteredKey));
    // The user's alias goes once; no empty alias is set for nobody.
    EXPECT_EQ(log_, (std::vector<std::string>{"crash:-", "unalias:u1", "logOut", "undevice"}));
    EXPECT_FALSE(container->menuButton()->isEnabled() && !container->tabView()->isSelectLeftTab());
  }
}

TEST_F(RootContainerTest, CloudListsOfAnAccountThatSignedOutStayOutOfTheCache) {
  auto container = makeContainer();
  auto& page = *container->galleryVC();
  auto passports = QBPassportsManager::sharedManager();
  for (bool stillSignedIn : {true, false}) {
    SCOPED_TRACE(stillSignedIn);
    LMGalleryManager::sharedManager().deleteAllObjects();
    LMGalleryManager::sharedManager().removeAlbumSync();
    passports->setUserId("u1");
    page.didAdapterGetAllServerAlbums({cloudAlbum(3)}, 5, "x");
    page.didAdapterLoadAlbumImages({}, 3, 6, "y", false);
    if (!stillSignedIn) passports->setUserId(std::nullopt);
    MainQueue::main().runUntilIdle();
    // Whatever was written is in once a later write's tail has run.
    bool settled = false;
    LMGalleryManager::sharedManager().deleteImageByImageID(-1, [&](const std::optional<platform::Error>&) {
      settled = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return settled; }));
    EXPECT_EQ(cachedAlbums(), stillSignedIn ? 1u : 0u);
    EXPECT_EQ(LMGalleryManager::sharedManager().albumSync().has_value(), stillSignedIn);
  }
}

TEST_F(RootContainerTest, RemovingAllContactsAsksThenEmptiesTheAddressBook) {
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
  auto book = *ab::AddressBook::create();
  for (const char* name : {"Ann", "Bob"}) {
    auto person = *book->createPerson(book->sourceWithId(ab::kLocalSourceId));
    ASSERT_TRUE(person.setValue(ab::PersonProperty::FirstName, std::string(name)).ok());
  }
  ASSERT_TRUE(book->save().ok());
  auto container = makeContainer();
  container->presentMenu();
  ASSERT_TRUE(ui::AlertView::visibleAlerts().back()->pressButtonWithTitle(ui::localizedString("清空通讯录")));
  ASSERT_TRUE(pumpUntil([] { return !ui::AlertView::visibleAlerts().empty(); }));
  auto confirm = ui::AlertView::visibleAlerts().back();
  EXPECT_EQ(confirm->title(), ui::localizedString("Remove All Contacts"));
  ASSERT_TRUE(confirm->pressButtonWithTitle(ui::localizedString("彻底删除")));
  ASSERT_TRUE(pumpUntil([] {
    auto alerts = ui::AlertView::visibleAlerts();
    return !alerts.empty() && alerts.back()->title() == ui::localizedString("Remove All Contacts Success");
  }));
  book->revert();
  EXPECT_EQ(book->personCount(), 0u);
}

}  // namespace
}  // namespace lumora
