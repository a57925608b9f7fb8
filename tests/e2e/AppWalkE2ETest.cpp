// The walk through the whole app as `lumora` opens it, against the local
// cloud, acting only through clicks, drags and typing at points of visible
// views: from the root container every screen that the tabs, the menu, the
// bar buttons, the links and the rows lead to is opened and left through
// the back, cancel or close control it shows. After each, the screen below
// is in front again and answers a tap; every bar item of every screen draws
// something; the statistics a user action causes are in the pool.
#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/AppScenes.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "e2e/E2EHarness.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbookui/PeoplePickerNavigationController.h"
#include "platform/addressbookui/PersonViewController.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/account/LMOTPViewController.h"
#include "screens/account/LMVerifyPhoneViewController.h"
#include "screens/account/LMWebViewController.h"
#include "screens/common/LMCustomNavigationBar.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMContactsTableViewController.h"
#include "screens/contacts/LMManualMergeTableViewController.h"
#include "screens/contacts/LMMergeContactCell.h"
#include "screens/contacts/LMMergeSourceCell.h"
#include "screens/contacts/LMMergeSourceTableViewController.h"
#include "screens/contacts/LMMergeTableViewController.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMAlbumCollectionViewCell.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"
#include "screens/settings/LMSettingViewController.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "screens/shell/LMDeviceUtils.h"
#include "stats/KoAPointStore.h"
#include "support/TestMedia.h"

namespace e2e {
namespace {

namespace ab = platform::addressbook;
namespace photos = platform::photos;
using lumora::LMBaseRootViewController;

constexpr std::int64_t kWalkUser = 10001;
constexpr const char* kWalkKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

std::string L(const char* key) { return ui::localizedString(key); }

// One screen of the walk: how a user reaches it from the screen it opens
// from (`parent`, "" for the root container) and how he leaves it.
struct WalkRow {
  WalkRow(const char* screen, const char* parent, std::function<void()> reach, std::function<bool()> shown,
          std::function<void()> leave, std::vector<std::string> stats = {}, const char* leavesTo = nullptr,
          std::function<void()> probe = {})
      : screen(screen), parent(parent), reach(std::move(reach)), shown(std::move(shown)), leave(std::move(leave)),
        stats(std::move(stats)), leavesTo(leavesTo), probe(std::move(probe)) {}
  const char* screen;
  const char* parent;
  std::function<void()> reach;
  std::function<bool()> shown;
  std::function<void()> leave;
  // Recorded between reaching and leaving ("category/key", "page:name").
  std::vector<std::string> stats;
  // Where leaving lands when not on the parent.
  const char* leavesTo;
  // A tap the screen answers when it is in front again (default: its
  // child is reached and left once more).
  std::function<void()> probe;
};

class AppWalkE2ETest : public ::testing::Test {
 protected:
  AppWalkE2ETest() {
    harness_.clock().setAutoAdvanceSleeps(true);
    EXPECT_TRUE(harness_.signIn(kWalkUser, "demo", kWalkKey));
    localcloud::AccountOptions phone;
    phone.needsPhoneVerification = true;
    phone.phone = "13912345678";
    EXPECT_TRUE(harness_.cloud().seedAccount(10002, "phone", "secret", phone));
    localcloud::AccountOptions twoStep;
    twoStep.needsTwoStep = true;
    twoStep.twoStepCode = "246810";
    EXPECT_TRUE(harness_.cloud().seedAccount(10003, "twostep", "secret", twoStep));
    lumora::QBPassportsManager::sharedManager()->setNeedVerifyPhone(true);

    EXPECT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
    auto book = *ab::AddressBook::create();
    auto add = [&](const ab::Record& source, const std::string& first, const std::string& last) {
      auto person = *book->createPerson(source);
      EXPECT_TRUE(person.setValue(ab::PersonProperty::FirstName, first).ok());
      EXPECT_TRUE(person.setValue(ab::PersonProperty::LastName, last).ok());
    };
    const ab::Record local = book->sourceWithId(ab::kLocalSourceId);
    for (const char* first : {"Ann", "Ann", "Bob", "Bob"}) add(local, first, first[0] == 'A' ? "Lee" : "Ray");
    for (int i = 0; i < 24; ++i) add(local, "Guest", std::to_string(100 + i));
    add(local, "Zoe", "Young");
    auto work = *book->addSource("Work", ab::SourceKind::CardDAV);
    add(work, "Dan", "Work");
    add(work, "Eve", "Work");
    EXPECT_TRUE(book->save().ok());

    EXPECT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    for (int i = 0; i < 4; ++i) {
      testsupport::writeFile(photos::PhotoLibrary::folder() / ("IMG_" + std::to_string(5000 + i) + ".JPG"),
                             testsupport::makeJpeg(20 + i, 14));
    }
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
        [](const std::filesystem::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
    platform::ReachabilityMonitor::sharedMonitor().refresh();
    lumora::LMGalleryStoreStack::setShared(nullptr);
    lumora::LMContactSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedRecordContext>());
    lumora::LMImageSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedAssetContext>());
    auto& pool = lumora::KoAPointStore::shareSingletion();
    pool.cleanSendPoint(pool.getSendPoint().nUploadID);
    pool.getTaskQueue().sync([] {});
  }
  ~AppWalkE2ETest() override {
    // What the walk queued on the shared adapters ends with it, and its
    // screens go before the stores they read.
    harness_.waitFor([] {
      auto images = lumora::LMImageSyncAdapter::sharedAdapter();
      return images->taskOperationQueue().operationCount() == 0 && !images->isSyncing() &&
             lumora::LMContactSyncAdapter::sharedAdapter()->taskOperationQueue().operationCount() == 0;
    });
    ui::AlertView::resetForTesting();
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    app_.reset();
    navigation_.reset();
    harness_.closeScreen();
    platform::ReachabilityMonitor::sharedMonitor().stopMonitoring();
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    // The logins the walk made through the login screen go with it.
    auto manager = lumora::QBPassportsManager::sharedManager();
    manager->setNeedVerifyPhone(false);
    manager->setPassportDic({});
    manager->setUserId(std::nullopt);
    lumora::LMContactSyncAdapter::sharedAdapter()->setHostList(std::nullopt);
    lumora::LMContactSyncAdapter::sharedAdapter()->setContext(nullptr);
    lumora::LMImageSyncAdapter::sharedAdapter()->setContext(nullptr);
    lumora::LMGalleryStoreStack::setShared(nullptr);
  }

  // The statistics in the pool: count and calculate events as
  // "category/key", page records as "page:name".
  static std::multiset<std::string> recorded() {
    std::multiset<std::string> out;
    for (const auto& point : lumora::KoAPointStore::shareSingletion().getSendPoint().items) {
      out.insert(point.nPointType == 5 ? "page:" + lumora::pointValueText(point.objValue).value_or("")
                                       : point.strCategory.value_or("") + "/" + point.strKey);
    }
    return out;
  }
  void expectRecordedSince(const std::multiset<std::string>& before, const std::vector<std::string>& stats,
                           const std::string& what) {
    const auto after = recorded();
    for (const auto& stat : stats) EXPECT_GT(after.count(stat), before.count(stat)) << what << ": " << stat;
  }

  // The screen in front: presented ones first (a page of the container
  // presents its own), then a navigation controller's top.
  std::shared_ptr<ui::ViewController> front() const {
    std::shared_ptr<ui::ViewController> c = navigation_;
    for (;;) {
      if (auto presented = c->presentedViewController()) {
        c = presented;
        continue;
      }
      if (auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(c);
          navigation && navigation->topViewController()) {
        c = navigation->topViewController();
        continue;
      }
      std::shared_ptr<ui::ViewController> next;
      for (const auto& child : c->childViewControllers()) {
        if (child->presentedViewController()) next = child->presentedViewController();
      }
      if (!next) return c;
      c = next;
    }
  }
  template <class T>
  std::shared_ptr<T> frontIs() const {
    return hudDown() && ui::AlertView::visibleAlerts().empty() ? std::dynamic_pointer_cast<T>(front()) : nullptr;
  }
  static bool hudDown() { return !lumora::LMProgressHUD::sharedHUD().window(); }
  bool rootShown() const {
    auto& contacts = *app_->contactVC();
    auto& gallery = *app_->galleryVC();
    auto covering = [](const std::shared_ptr<ui::ViewController>& progress) {
      return progress && progress->isViewLoaded() && !progress->view()->isHidden();
    };
    return frontIs<LMBaseRootViewController>() && !covering(contacts.syncLoadViewController()) &&
           !covering(gallery.syncLoadViewController());
  }
  std::shared_ptr<ui::NavigationController> frontNavigation() const { return front()->navigationController(); }
  bool clickLeft() { return harness_.clickBarItem(*frontNavigation(), true); }
  bool clickRight() { return harness_.clickBarItem(*frontNavigation(), false); }
  // Pumps in clock and real time (the adapters talk to the local cloud).
  bool waitFor(const std::function<bool()>& pred) { return harness_.waitFor(pred); }
  void waitAlertAndClick(const char* button) {
    ASSERT_TRUE(waitFor([] { return !ui::AlertView::visibleAlerts().empty() && hudDown(); })) << button;
    harness_.settle(0.5);
    harness_.clickButton(L(button));
  }
  void menu(const char* item) {
    harness_.click(*app_->menuButton());
    harness_.clickButton(L(item));
  }
  void tab(bool left) {
    auto& tabs = *app_->tabView();
    harness_.click(left ? *tabs.leftButton() : *tabs.rightButton());
    const double x = left ? 0 : app_->scrollView()->bounds().width;
    EXPECT_TRUE(harness_.runUntil([&] { return app_->scrollView()->contentOffset().x == x; }));
  }
  void type(ui::TextField& field, const std::string& text) {
    harness_.click(field);
    for (int i = 0; i < 40 && !field.text().empty(); ++i) harness_.pressBackspace();
    harness_.typeText(text);
  }

  // Every item of the bars in front draws something: its frame's pixels
  // are not all the bar's colour behind it.
  void expectBarItemsDrawn(const std::string& name) {
    harness_.settle(1);
    const QImage shot = harness_.screenshot("walk-" + name);
    const double scale = shot.width() / ui::Screen::main().bounds().width;
    std::vector<std::shared_ptr<ui::View>> items;
    if (auto navigation = frontNavigation(); navigation && !navigation->isNavigationBarHidden()) {
      for (const auto& item : navigation->navigationBar()->subviews()) {
        if (dynamic_cast<ui::Control*>(item.get())) items.push_back(item);
      }
    }
    for (const auto& window : ui::Screen::main().windows()) {
      for (const auto& view : window->subviews()) {
        for (const auto& inner : view->subviews()) {
          if (auto bar = std::dynamic_pointer_cast<lumora::LMCustomNavigationBar>(inner)) {
            for (const auto& item : {bar->leftItem(), bar->rightItem()}) {
              if (item) items.push_back(item);
            }
          }
        }
      }
    }
    for (const auto& item : items) {
      if (!E2EHarness::reachable(*item)) continue;
      const ui::Point origin = item->convertPointToView({0, 0}, nullptr);
      const QRect rect(int(origin.x * scale), int(origin.y * scale), int(item->bounds().width * scale),
                       int(item->bounds().height * scale));
      std::map<QRgb, int> counts;
      for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) ++counts[shot.pixel(x, y) & 0xffffff];
      }
      ASSERT_FALSE(counts.empty()) << name;
      const QColor behind(std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
                            return a.second < b.second;
                          })->first);
      int farthest = 0;
      for (const auto& [rgb, n] : counts) {
        const QColor c(rgb);
        farthest = std::max({farthest, std::abs(c.red() - behind.red()), std::abs(c.green() - behind.green()),
                             std::abs(c.blue() - behind.blue())});
      }
      EXPECT_GT(farthest, 40) << name << ": a bar item draws nothing: " << item->describeSelf();
    }
  }

  void walk(const std::vector<WalkRow>& rows) {
    std::map<std::string, const WalkRow*> byName;
    for (const auto& row : rows) byName[row.screen] = &row;
    struct Open {
      const WalkRow* row;
      std::multiset<std::string> before;
    };
    std::vector<Open> open;
    auto shown = [&](const std::string& name) { return name.empty() ? rootShown() : byName.at(name)->shown(); };
    auto top = [&] { return open.empty() ? std::string() : std::string(open.back().row->screen); };
    auto closeTop = [&] {
      const Open closing = open.back();
      const WalkRow& row = *closing.row;
      SCOPED_TRACE(std::string("leaving ") + row.screen);
      open.pop_back();
      row.leave();
      const std::string landing = row.leavesTo ? row.leavesTo : row.parent;
      while (top() != landing) open.pop_back();
      ASSERT_TRUE(waitFor([&] { return shown(landing); })) << "not in front again: '" << landing << "'";
      expectRecordedSince(closing.before, row.stats, row.screen);
      // It answers a tap.
      const WalkRow* below = landing.empty() ? nullptr : byName.at(landing);
      if (below && below->probe) {
        below->probe();
      } else if (!below) {
        rootProbe();
      } else {
        row.reach();
        ASSERT_TRUE(waitFor(row.shown)) << "opened once more";
        row.leave();
        ASSERT_TRUE(waitFor([&] { return shown(landing); }));
      }
      ASSERT_TRUE(waitFor([&] { return shown(landing); })) << "after its tap: '" << landing << "'";
    };
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string("opening ") + row.screen);
      while (top() != row.parent) {
        ASSERT_FALSE(open.empty()) << "no open screen " << row.parent;
        closeTop();
        if (HasFatalFailure()) return;
      }
      auto before = recorded();
      row.reach();
      if (!waitFor(row.shown)) {
        harness_.screenshot(std::string("walk-failed-") + row.screen);
        FAIL() << "did not open";
      }
      expectBarItemsDrawn(row.screen);
      open.push_back({&row, std::move(before)});
    }
    while (!open.empty()) {
      closeTop();
      if (HasFatalFailure()) return;
    }
  }
  void rootProbe() {
    tab(false);
    tab(true);
  }
  // A contacts sync under way to its end: its questions answered, its
  // result read, its progress screen left by "完成".
  void finishContactsSync() {
    auto page = app_->contactVC();
    auto finish = [&] {
      auto screen = page->syncLoadViewController();
      return screen && E2EHarness::reachable(*screen->finishSyncButton());
    };
    for (int answers = 0; answers < 4; ++answers) {
      ASSERT_TRUE(waitFor([&] {
        return !page->adapter()->isSyncing() && (!ui::AlertView::visibleAlerts().empty() || finish());
      }));
      harness_.settle(1);
      if (ui::AlertView::visibleAlerts().empty()) break;
      if (!E2EHarness::buttonTitled(L("继续同步"))) {
        harness_.clickButton(L("我知道了"));
      } else {
        harness_.clickButton(L("继续同步"));
      }
    }
    ASSERT_TRUE(waitFor(finish));
  }
  std::shared_ptr<lumora::LMMergeContactCell> mergeCell(int row) {
    auto merge = frontIs<lumora::LMMergeTableViewController>();
    return merge ? std::dynamic_pointer_cast<lumora::LMMergeContactCell>(
                       merge->tableView()->cellForRowAtIndexPath({0, row}))
                 : nullptr;
  }
  void fault(const std::string& path, int code, int times, int skip = 0) {
    localcloud::Fault f;
    f.code = code;
    f.times = times;
    f.skip = skip;
    harness_.cloud().faults().set(path, f);
  }

  E2EHarness harness_;
  std::shared_ptr<ui::NavigationController> navigation_;
  std::shared_ptr<LMBaseRootViewController> app_;
};

TEST_F(AppWalkE2ETest, EveryScreenOpensAndIsLeftThroughWhatItShows) {
  lumora::registerAppScenes();
  navigation_ = std::dynamic_pointer_cast<ui::NavigationController>(
      lumora::LMStoryboard::instantiateInitialViewController());
  ASSERT_TRUE(navigation_);
  harness_.showScreen(navigation_);
  app_ = std::dynamic_pointer_cast<LMBaseRootViewController>(navigation_->rootViewController());
  ASSERT_TRUE(app_);
  // The first launch's questions.
  for (int i = 0; i < 4 && !ui::AlertView::visibleAlerts().empty(); ++i) harness_.clickButton(L("取消"));
  ASSERT_TRUE(waitFor([&] { return rootShown(); }));
  expectBarItemsDrawn("root");
  const std::string user = std::to_string(kWalkUser);
  auto contacts = [&] { return app_->contactVC(); };
  auto gallery = [&] { return app_->galleryVC(); };
  auto galleryScreen = [&] { return gallery()->syncLoadViewController(); };
  auto albumGrid = [&] { return frontIs<lumora::LMGalleryAlbumCollectionViewController>(); };
  std::shared_ptr<lumora::LMGalleryPhotoCollectionViewController> photoGrid;
  std::shared_ptr<lumora::LMMergeTableViewController> merge;
  std::shared_ptr<lumora::LMLoginViewController> login;
  auto signInAs = [&](const std::string& name, const std::string& password) {
    type(*login->nameTextField, name);
    type(*login->pwdTextField, password);
    clickRight();
  };
  auto openLogin = [&] {
    harness_.click(*contacts()->syncButton());
    ASSERT_TRUE(waitFor([&] { return (login = frontIs<lumora::LMLoginViewController>()) != nullptr; }));
    harness_.settle(1);
  };

  const std::vector<WalkRow> signedIn = {
      {"settings", "", [&] { harness_.click(*app_->settingsButton()); },
       [&] { return frontIs<lumora::LMSettingViewController>() != nullptr; }, [&] { clickLeft(); },
       {"菜单按钮/button"}},
      // The first sync with people outside the synced source asks first.
      {"import-from-sync-prompt", "",
       [&] {
         harness_.click(*contacts()->syncButton());
         waitAlertAndClick("去导入");
       },
       [&] { return frontIs<lumora::LMMergeSourceTableViewController>() != nullptr; }, [&] { clickLeft(); },
       {"同步按钮/button", "菜单导入联系人按钮/button", "page:合并联系人帐号界面", "取消导入联系人按钮/button"}},
      {"merge", "",
       [&] {
         menu("合并联系人");
         waitFor([&] { return (merge = frontIs<lumora::LMMergeTableViewController>()) && merge->mergeContactArray(); });
       },
       [&] { return frontIs<lumora::LMMergeTableViewController>() && merge->mergeContactArray(); },
       [&] { clickLeft(); },
       {"菜单按钮/button", "菜单合并联系人按钮/button", "page:合并联系人界面", "取消批量合并联系人按钮/button"},
       nullptr,
       [&] {
         clickRight();  // "批量合并" asks first
         waitAlertAndClick("取消");
       }},
      {"manual-merge", "merge", [&] { harness_.click(*mergeCell(0)->mergeButton()); },
       [&] { return frontIs<lumora::LMManualMergeTableViewController>() != nullptr; }, [&] { clickLeft(); },
       {"手动合并联系人/批量合并联系人", "page:手动合并联系人界面", "取消手动合并联系人按钮/button"}},
      {"person-card", "merge", [&] { harness_.click(*mergeCell(0)->contactButtons().front()); },
       [&] { return frontIs<platform::addressbookui::PersonViewController>() != nullptr; }, [&] { clickLeft(); },
       {"查看联系人/批量合并联系人", "手动合并联系人返回按钮/button"}},
      {"people-picker", "merge", [&] { harness_.click(*mergeCell(2)->addButton()); },
       [&] {
         auto picker = std::dynamic_pointer_cast<platform::addressbookui::PeoplePickerNavigationController>(
             merge->presentedViewController());
         return picker && frontIs<ui::ViewController>() &&
                std::dynamic_pointer_cast<ui::TableView>(picker->topViewController()->view()->subviews().front())
                        ->numberOfRowsInSection(0) == 31;
       },
       [&] { clickRight(); }, {"添加联系人/批量合并联系人"}},
      // A row of the picker picks its person, down the list by a drag.
      {"people-picker-pick", "merge", [&] { harness_.click(*mergeCell(2)->addButton()); },
       [&] { return merge->presentedViewController() && frontIs<ui::ViewController>(); },
       [&] {
         auto list = std::dynamic_pointer_cast<ui::TableView>(
             std::dynamic_pointer_cast<ui::NavigationController>(merge->presentedViewController())
                 ->topViewController()
                 ->view()
                 ->subviews()
                 .front());
         harness_.drag({180, 600}, {180, 100});
         harness_.drag({180, 600}, {180, 100});
         harness_.settle(1);
         list->layoutIfNeeded();  // as the screen's next paint does
         auto cell = list->cellForRowAtIndexPath({0, 30});
         ASSERT_TRUE(cell) << "the last person is shown";
         EXPECT_EQ(cell->textLabel()->text(), "Zoe Young");
         harness_.click(*cell);
         EXPECT_TRUE(waitFor([&] { return merge->mergeContactArray()->back()->mergeContacts().size() == 1; }));
       },
       {}},
      {"import", "", [&] { menu("导入联系人"); },
       [&] { return frontIs<lumora::LMMergeSourceTableViewController>() != nullptr; }, [&] { clickLeft(); },
       {"菜单导入联系人按钮/button", "取消导入联系人按钮/button"}},
      {"contact-list", "import",
       [&] {
         auto cell = std::dynamic_pointer_cast<lumora::LMMergeSourceCell>(
             frontIs<lumora::LMMergeSourceTableViewController>()->tableView()->cellForRowAtIndexPath({0, 0}));
         harness_.click(*cell->checkButton());
       },
       [&] { return frontIs<lumora::LMContactsTableViewController>() != nullptr; }, [&] { clickLeft(); }, {}},
      // The sync, its progress screen left by "完成".
      {"sync", "",
       [&] {
         harness_.click(*contacts()->syncButton());
         finishContactsSync();
       },
       [&] {
         auto finish = contacts()->syncLoadViewController()->finishSyncButton();
         return frontIs<LMBaseRootViewController>() && E2EHarness::reachable(*finish);
       },
       [&] { harness_.click(*contacts()->syncLoadViewController()->finishSyncButton()); },
       {"同步按钮/button", "sync_success/同步", "sync_time/同步时长"}},
      // A sync the cloud refuses for want of space: its message and its
      // failure event under the sync's key.
      {"sync-failure", "",
       [&] {
         fault("/lum/contact/v3/user/" + user + "/full", 80007, 1);
         harness_.click(*contacts()->syncButton());
       },
       [&] { return hudDown() && E2EHarness::buttonTitled(L("我知道了")); },
       [&] { waitAlertAndClick("我知道了"); }, {"同步按钮/button", "fail_space_exceed/同步"}},
      // A sync the cloud answers with a two-step demand.
      {"two-step-from-contacts", "",
       [&] {
         fault("/lum/contact/v3/user/" + user + "/full", 81003, 1);
         harness_.click(*contacts()->syncButton());
       },
       [&] { return frontIs<lumora::LMOTPViewController>() != nullptr; }, [&] { clickLeft(); },
       {"fail_2step/同步", "page:Quenby安全令牌界面", "取消登录按钮/button"}},
      // A backup two uploads of which the cloud refuses: its progress screen
      // and the failed photos behind its link.
      {"backup", "",
       [&] {
         tab(false);
         fault("/lum/gallery/v3/user/" + user + "/full", 50001, 2, 2);
         harness_.click(*gallery()->backupButton);
       },
       [&] {
         return frontIs<LMBaseRootViewController>() && galleryScreen() && !galleryScreen()->linkLabel->isHidden() &&
                E2EHarness::reachable(*galleryScreen()->finishSyncButton);
       },
       [&] { harness_.click(*galleryScreen()->finishSyncButton); }, {}},
      {"failed-photos", "backup",
       [&] {
         auto link = galleryScreen()->linkLabel;
         const ui::Rect r = link->linkRect();
         harness_.click(link->convertPointToView({r.midX(), r.midY()}, nullptr));
       },
       [&] {
         auto grid = frontIs<lumora::LMErrorPhotoCollectionViewController>();
         return grid && grid->collectionView()->numberOfItemsInSection(0) == 2;
       },
       [&] { clickLeft(); }, {}},
      {"two-step-from-gallery", "",
       [&] {
         tab(false);
         fault("/lum/gallery/v3/user/" + user + "/full/album", 81003, 1);
         harness_.click(*gallery()->backupButton);
       },
       [&] { return frontIs<lumora::LMOTPViewController>() != nullptr; }, [&] { clickLeft(); },
       {"fail_2step/备份"}},
      {"album-grid", "",
       [&] {
         tab(false);
         menu("查看我的云相册");
       },
       [&] {
         auto grid = albumGrid();
         return grid && grid->collectionView()->numberOfItemsInSection(0) >= 2;
       },
       [&] { clickLeft(); }, {"取消云相册查看按钮/button"}, nullptr,
       [&] {
         clickRight();  // "多选", then "取消"
         EXPECT_TRUE(albumGrid()->isBeginSelectAlbums());
         clickLeft();
         EXPECT_FALSE(albumGrid()->isBeginSelectAlbums());
       }},
      {"photo-grid", "album-grid",
       [&] {
         // The library's photos went to the first album, "untitled".
         harness_.click(*std::dynamic_pointer_cast<lumora::LMAlbumCollectionViewCell>(
                             albumGrid()->collectionView()->cellForItemAtIndexPath({0, 0}))
                             ->button());
       },
       [&] {
         photoGrid = frontIs<lumora::LMGalleryPhotoCollectionViewController>();
         return photoGrid && photoGrid->collectionView()->numberOfItemsInSection(0) == 2 && !photoGrid->photoBrowser();
       },
       [&] { clickLeft(); }, {"取消云相册图片查看按钮/button"}},
      {"browser", "photo-grid",
       [&] { harness_.click(*photoGrid->collectionView()->cellForItemAtIndexPath({0, 0})); },
       [&] {
         auto browser = photoGrid->photoBrowser();
         return browser && E2EHarness::reachable(*browser->navigationBar()->leftItem());
       },
       [&] { harness_.click(*photoGrid->photoBrowser()->navigationBar()->leftItem()); }, {}},
  };
  walk(signedIn);
  if (HasFatalFailure()) return;
  harness_.cloud().faults().clearAll();

  // A logout while the passports manager holds no stored login (a user id
  // kept without its login) signs the user out too.
  auto manager = lumora::QBPassportsManager::sharedManager();
  manager->setPassportDic({});
  auto before = recorded();
  tab(true);
  menu("注销Quenby帐号");
  waitAlertAndClick("注销");
  ASSERT_TRUE(waitFor([&] { return hudDown() && !manager->userId(); }));
  expectRecordedSince(before, {"菜单注销Quenby帐号按钮/button", "注销/logout"}, "logout");
  EXPECT_FALSE(platform::UserDefaults::standard().boolForKey(lumora::LMDeviceUtils::kRegisteredKey));

  const std::vector<WalkRow> signedOut = {
      {"login", "", [&] { openLogin(); }, [&] { return frontIs<lumora::LMLoginViewController>() != nullptr; },
       [&] { clickLeft(); }, {"page:Quenby帐号登录界面"}, nullptr,
       [&] {
         // A wrong password: the failure's alert and its event.
         auto was = recorded();
         signInAs("demo", "wrong");
         waitAlertAndClick("我知道了");
         expectRecordedSince(was, {"fail_verify/用户名密码登录"}, "a wrong password");
       }},
      {"web-page", "login", [&] { harness_.click(*login->privacyButton); },
       [&] { return frontIs<lumora::LMWebViewController>() != nullptr; }, [&] { clickLeft(); }, {}},
      {"phone-check", "login", [&] { signInAs("phone", "secret"); },
       [&] { return frontIs<lumora::LMVerifyPhoneViewController>() != nullptr; }, [&] { clickLeft(); },
       {"page:短信验证信任设备界面"}, ""},
      {"two-step-from-login", "",
       [&] {
         openLogin();
         signInAs("twostep", "secret");
       },
       [&] { return frontIs<lumora::LMOTPViewController>() != nullptr; }, [&] { clickLeft(); },
       {"fail_2step/用户名密码登录"}},
  };
  walk(signedOut);
  if (HasFatalFailure()) return;

  // Signing in through the login screen: the login goes, the sync follows,
  // the device is registered.
  before = recorded();
  openLogin();
  signInAs("demo", "demo-password");
  ASSERT_TRUE(waitFor([&] { return manager->userId() == user && !contacts()->presentedViewController(); }));
  EXPECT_TRUE(waitFor([] { return platform::UserDefaults::standard().boolForKey(lumora::LMDeviceUtils::kRegisteredKey); }));
  expectRecordedSince(before, {"login_success/用户名密码登录"}, "sign-in");
  finishContactsSync();
  if (HasFatalFailure()) return;
  harness_.click(*contacts()->syncLoadViewController()->finishSyncButton());
  EXPECT_TRUE(waitFor([&] { return rootShown(); }));
}

}  // namespace
}  // namespace e2e
