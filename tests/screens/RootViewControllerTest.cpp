// The contacts page without a cloud: its labels, the estimate's question,
// the progress of a run, the result lines and the one-time rating prompt,
// and the reactions to failures, on the manual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "applog/QBLogFileManagerDefault.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/app/Application.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/DisplayLink.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/TwoStepScreenCheck.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "utils/ServiceHosts.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMContactsScenes.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/shell/AppDelegate.h"
#include "screens/shell/LMLocationHelper.h"
#include "support/DamagedAddressBook.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace ui = platform::ui;
namespace ab = platform::addressbook;

namespace lumora {
namespace {

class RootPageRecorder : public LMSynBaseViewControllerDelegate {
 public:
  void didControllerBeginSync(LMSynBaseViewController&) override { ++begins; }
  void didControllerEndSync(LMSynBaseViewController&) override { ++ends; }
  int begins = 0;
  int ends = 0;
};

class RootViewControllerTest : public ::testing::Test {
 protected:
  RootViewControllerTest() {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    platform::MainQueue::main().bindToCurrentThread();
    clock_->setAutoAdvanceSleeps(true);
    EXPECT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
    LMRootViewController::adapter()->setContext(std::make_shared<LMManagedRecordContext>());
    registerContactsScenes();
    page_->setDelegate(root_);
    navigation_ = ui::NavigationController::withRoot(page_);
    navigation_->loadViewIfNeeded();
    settle();
  }
  ~RootViewControllerTest() override {
    settle();
    LMRootViewController::adapter()->setDelegate(nullptr);
    LMRootViewController::adapter()->setContext(nullptr);
    QBPassportsManager::sharedManager()->setUserId(std::nullopt);
    LMProgressHUD::sharedHUD().resetForTesting();
    platform::Application::shared().resetForTesting();
  }
  // Pumps the main queue until the adapter's queued tasks and the page's
  // count of the local book are done.
  void settle() {
    std::atomic<bool> done{false};
    LMRootViewController::adapter()->performTaskBlock([&] { done = true; });
    const auto limit = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
    while ((!done || page_->isRefreshingLocalCount()) && std::chrono::steady_clock::now() < limit) {
      platform::MainQueue::main().runUntilIdle();
      std::this_thread::yield();
    }
    EXPECT_TRUE(done) << "the adapter's queue did not drain";
    platform::MainQueue::main().runUntilIdle();
  }
  void advance(double seconds) {
    for (double t = 0; t < seconds - 1e-9; t += ui::DisplayLink::kFrameInterval) {
      clock_->advance(platform::seconds(ui::DisplayLink::kFrameInterval));
      platform::MainQueue::main().runUntilIdle();
    }
  }
  static std::shared_ptr<ui::AlertView> lastAlert() {
    auto alerts = ui::AlertView::visibleAlerts();
    return alerts.empty() ? nullptr : alerts.back();
  }
  static std::string format(const char* key, std::vector<ui::FormatArgument> arguments) {
    return ui::stringWithFormat(ui::localizedString(key), arguments);
  }
  double now() const { return std::chrono::duration<double>(clock_->now().time_since_epoch()).count(); }
  // Contact sync data as a synced phone has it: one relation row, the
  // cloud's watermark 42 and a listing cursor.
  static void recordSyncData(LMManagedRecordContext& store) {
    LMContactRelation row;
    row.setServerID(501);
    row.setServerSync(5);
    row.setRecordID(1);
    ASSERT_TRUE(store.addContactRelation(row));
    store.setServerSync(42);
    store.setServerSyncExtraInfo("cursor");
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::shared_ptr<RootPageRecorder> root_ = std::make_shared<RootPageRecorder>();
  std::shared_ptr<LMRootViewController> page_ = std::make_shared<LMRootViewController>();
  std::shared_ptr<ui::NavigationController> navigation_;
};

TEST_F(RootViewControllerTest, LabelsShowTheLastSyncTheSourceAndRefreshAfterBecomingActive) {
  auto& defaults = platform::UserDefaults::standard();
  const std::vector<std::pair<double, std::string>> ages = {
      {599, ui::localizedString("Sync Just Now")},   {600, format("Sync Minute Format", {10})},
      {3600, ui::localizedCountString("Sync Hour Format", 1)}, {7200, format("Sync Hour Format", {2})},
      {86400, ui::localizedCountString("Sync Day Format", 1)}, {863999, format("Sync Day Format", {9})},
      {864000, ui::localizedString("Sync Weak")}};
  page_->updateLastSyncTimeLabel();
  EXPECT_EQ(page_->syncTimeLabel()->text(), ui::localizedString("Have Not Sync Yet"));
  for (const auto& [age, text] : ages) {
    defaults.setDouble(LMRootViewController::kLastSyncTimeKey, now() - age);
    page_->updateLastSyncTimeLabel();
    EXPECT_EQ(page_->syncTimeLabel()->text(), text) << age;
  }

  auto book = *ab::AddressBook::create();
  auto card = book->addSource("Card", ab::SourceKind::CardDAV);
  ASSERT_TRUE(card.ok());
  const std::vector<std::pair<ab::Record, const char*>> sources = {
      {ab::Record{}, "Invalid Account"}, {*card, "Sync iCloud Account"}, {book->sourceWithId(ab::kLocalSourceId), "Sync Local Account"}};
  // Labels of the idle page: none reads as the status of a running sync.
  const std::string running = ui::localizedString("正在同步数据");
  for (const auto& [source, key] : sources) {
    page_->updateSourceLabel(source);
    EXPECT_EQ(page_->sourceLabel()->text(), ui::localizedString(key));
    EXPECT_NE(page_->sourceLabel()->text().rfind(running, 0), 0u) << page_->sourceLabel()->text();
  }
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Denied).ok());
  page_->updateSourceLabel(book->sourceWithId(ab::kLocalSourceId));
  EXPECT_EQ(page_->sourceLabel()->text(), ui::localizedString("No Accounts"));

  // Becoming active refreshes the cloud count 5 s later, once the page was seen.
  page_->viewDidAppear(false);
  settle();
  ASSERT_FALSE(page_->isRefreshLumoraNum());
  // The adapter's queue is held, so the refresh stays visible until released.
  std::promise<void> release;
  auto held = release.get_future().share();
  LMRootViewController::adapter()->performTaskBlock([held] { held.wait(); });
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  advance(4.9);
  EXPECT_FALSE(page_->isRefreshLumoraNum());
  advance(0.2);
  EXPECT_TRUE(page_->isRefreshLumoraNum());
  release.set_value();
  settle();
  EXPECT_FALSE(page_->isRefreshLumoraNum());
}

// A sync saves the book every few records: while it runs, the changes it
// makes neither reload the book for the local count nor store the change
// time; both happen once the run is over, with the time of the last change.
TEST_F(RootViewControllerTest, AddressBookChangesDuringASyncRefreshOnceItIsOver) {
  auto& config = LMAppSettingConfig::sharedConfig();
  const double before = config.contactsChangeTime();
  auto adapter = LMRootViewController::adapter();
  std::promise<void> release;
  auto held = release.get_future().share();
  adapter->setSyncing(true);
  adapter->performTaskBlock([held] { held.wait(); });

  auto book = *ab::AddressBook::create();
  for (int i = 0; i < 3; ++i) {
    ab::Record person = *book->createPerson(book->sourceWithId(ab::kLocalSourceId));
    ASSERT_TRUE(person.setValue(ab::PersonProperty::FirstName, "Changed" + std::to_string(i)).ok());
    ASSERT_TRUE(book->save().ok());
  }
  const double changed = now();
  platform::MainQueue::main().runUntilIdle();
  // One refresh waits behind the run (the held task), not one per save.
  EXPECT_EQ(adapter->taskOperationQueue().operationCount(), 2u);
  EXPECT_EQ(page_->localNumLabel()->text(), "0");
  EXPECT_EQ(config.contactsChangeTime(), before);

  clock_->advance(platform::seconds(30));
  adapter->setSyncing(false);
  release.set_value();
  settle();
  const auto limit = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
  while (page_->localNumLabel()->text() != "3" && std::chrono::steady_clock::now() < limit) {
    platform::MainQueue::main().runUntilIdle();
    std::this_thread::yield();
  }
  EXPECT_EQ(page_->localNumLabel()->text(), "3");
  EXPECT_EQ(config.contactsChangeTime(), changed);
}

TEST_F(RootViewControllerTest, EstimateAsksOnlyForNetLossesAndProgressFollowsTheRequests) {
  page_->hideSyncLoadViewController(false);
  page_->syncLoadViewController()->beginSyncAnimation();
  auto estimate = [](int localAdd, int localDelete, int cloudAdd, int cloudDelete) {
    return platform::Json{{"requestCount", 10},
                          {"localPredict", {{"add", localAdd}, {"delete", localDelete}}},
                          {"lumoraPredict", {{"add", cloudAdd}, {"delete", cloudDelete}}}};
  };
  const std::string head = ui::localizedString("本次同步");
  const std::string dot = ui::localizedString("Dot");
  const std::string lumora3 = format("Delete Lumora Contact Format", {3});
  struct Case {
    platform::Json estimate;
    std::string message;
  };
  // The separator stands only between the phone's text and the cloud's:
  // deletions from the cloud that its adds make up for tell the phone
  // nothing, and put none before the cloud's text.
  for (const auto& c : std::vector<Case>{
           {estimate(2, 5, 0, 0), head + lumora3},
           {estimate(2, 5, 4, 1), head + lumora3},
           {estimate(0, 1, 1, 1), head + ui::localizedCountString("Delete Lumora Contact Format", 1)},
           {estimate(0, 0, 1, 3), head + format("Delete Local Contact Format", {2})},
           {estimate(1, 4, 0, 1), head + ui::localizedCountString("Delete Local Contact Format", 1) + dot + lumora3}}) {
    page_->confirmSync(c.estimate, false);
    auto alert = lastAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->message(), c.message);
    alert->dismiss();
  }
  EXPECT_FLOAT_EQ(page_->syncLoadViewController()->processLabel()->toProgress(), 0.1f);

  // Five of ten requests, then the saving states.
  for (int i = 0; i < 5; ++i) page_->didAdapterSyncProcess(kLMSyncProcessPushBatch);
  EXPECT_NEAR(page_->syncLoadViewController()->processLabel()->toProgress(), 0.495, 1e-6);
  const auto status = [&] { return page_->syncLoadViewController()->statusLabel()->text(); };
  EXPECT_EQ(status(), ui::localizedString("正在同步联系人"));
  page_->didAdapterSyncProcess(kLMSyncProcessCloudApplied);
  EXPECT_NEAR(page_->syncLoadViewController()->processLabel()->toProgress(), 0.9, 1e-6);
  EXPECT_EQ(status(), ui::localizedString("正在保存数据"));
  page_->didAdapterSyncProcess(kLMSyncProcessSaved);
  EXPECT_NEAR(page_->syncLoadViewController()->processLabel()->toProgress(), 0.99, 1e-6);
  page_->didAdapterSyncProcess(kLMSyncProcessPhotoData);
  EXPECT_EQ(status(), ui::localizedString("正在上传头像"));

  // "取消" ends the page's sync; a net gain runs without a question (here the
  // run fails at once: nobody is signed in).
  page_->confirmSync(estimate(2, 5, 0, 0), false);
  ASSERT_TRUE(lastAlert()->pressButtonWithTitle(ui::localizedString("取消")));
  EXPECT_GE(root_->ends, 1);
  EXPECT_TRUE(page_->syncLoadViewController()->view()->isHidden());
  page_->confirmSync(estimate(3, 1, 0, 0), false);
  page_->confirmSync(estimate(0, 5, 0, 0), true);
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  settle();
}

TEST_F(RootViewControllerTest, ResultLinesNotificationAndRatingOncePerInstallation) {
  page_->addLocalContactNum = 3;
  page_->deleteLocalContactNum = 5;
  page_->addLumoraContactNum = 4;
  page_->deleteLumoraContactNum = 1;
  const std::vector<std::string> expected = {
      format("Sync Local Result Format", {format("Delete Contact Format", {2})}),
      format("Sync Lumora Result Format", {format("Add Contact Format", {4})})};
  EXPECT_EQ(page_->getSyncResult(), expected);
  page_->updateBackupContactsResultWithIsCancel(false);
  EXPECT_EQ(platform::Application::shared().scheduledLocalNotifications().size(), 1u);

  page_->presentSyncResultMessage();
  ASSERT_TRUE(lastAlert());
  EXPECT_EQ(lastAlert()->buttonTitles().size(), 2u) << "the rating prompt";
  platform::Application::shared().registerURLScheme("https");
  ASSERT_TRUE(lastAlert()->pressButtonWithTitle(ui::localizedString("去评分")));
  EXPECT_EQ(platform::Application::shared().openedURLs().size(), 1u);
  page_->presentSyncResultMessage();
  EXPECT_EQ(lastAlert()->buttonTitles().size(), 1u);
  lastAlert()->dismiss();

  // No net change: no line, no notification, and with the prompt spent (also
  // for a new page of the same installation) no alert.
  page_->addLocalContactNum = page_->deleteLocalContactNum = 2;
  page_->addLumoraContactNum = page_->deleteLumoraContactNum = 0;
  EXPECT_TRUE(page_->getSyncResult().empty());
  page_->updateBackupContactsResultWithIsCancel(false);
  EXPECT_EQ(platform::Application::shared().scheduledLocalNotifications().size(), 1u);
  auto another = std::make_shared<LMRootViewController>();
  another->loadViewIfNeeded();
  another->presentSyncResultMessage();
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  settle();
}

// The result message is punctuated as its language writes a sentence, with
// and without the rating prompt after it.
TEST_F(RootViewControllerTest, ResultMessageJoinsAndEndsItsLinesInTheTablesLanguage) {
  auto& defaults = platform::UserDefaults::standard();
  struct Punctuation {
    const char* language;
    const char* separator;
    const char* end;
    const char* endBeforePrompt;
  };
  for (const auto& [language, separator, end, endBeforePrompt] :
       {Punctuation{"en", ", ", ".", ". "}, Punctuation{"zh-Hans", "，", "。", "。"}}) {
    defaults.registerDefaults({{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({language})}});
    ui::resetLocalizedStringsForTesting();
    defaults.removeObjectForKey(LMRootViewController::kNotFirstRatingKey);
    auto page = std::make_shared<LMRootViewController>();
    page->loadViewIfNeeded();
    page->addLocalContactNum = 1;
    page->addLumoraContactNum = 299;
    const auto lines = page->getSyncResult();
    ASSERT_EQ(lines.size(), 2u);
    const std::string joined = lines[0] + separator + lines[1];
    page->presentSyncResultMessage();
    ASSERT_TRUE(lastAlert());
    EXPECT_EQ(lastAlert()->message(), joined + endBeforePrompt + ui::localizedString("Rating Info")) << language;
    lastAlert()->dismiss();
    page->presentSyncResultMessage();
    ASSERT_TRUE(lastAlert());
    EXPECT_EQ(lastAlert()->message(), joined + end) << language;
    lastAlert()->dismiss();
  }
  ui::resetLocalizedStringsForTesting();
  settle();
}

TEST_F(RootViewControllerTest, TheScreensItOpensReportToThePageWhichClosesThem) {
  // The merge and import screens, presented over the page.
  for (const auto& report : std::vector<std::function<void()>>{
           [&] { page_->mergeDelegate()->didCancelMerge(); },
           [&] { page_->mergeSourceDelegate()->didCancelMergeSource(); },
           [&] { page_->mergeSourceDelegate()->didSuccessMergeSource(true); }}) {
    ASSERT_TRUE(navigation_->presentViewController(std::make_shared<ui::ViewController>(), false));
    report();
    EXPECT_FALSE(navigation_->presentedViewController());
  }
  // The two-step screen a sync's 81003 pushes: cancel returns to the page,
  // success goes on with the login's notice.
  int logins = 0;
  auto login = platform::NotificationCenter::defaultCenter().addObserver(
      "LMPassportDidLoginNotification", [&](const std::string&, const platform::Json&) { ++logins; });
  expectTwoStepScreenReturnsToItsOwner(*navigation_, page_, [&] {
    page_->hideSyncLoadViewController(false);
    page_->syncLoadViewController()->beginSyncAnimation();
    page_->didAdapterFailSynchronize(platform::Error("test", 81003));
    advance(2.1);
  });
  EXPECT_EQ(logins, 1);
  platform::NotificationCenter::defaultCenter().removeObserver(login);
  settle();
}

TEST_F(RootViewControllerTest, FailuresEndTheScreenThenReactByCode) {
  // Shared with the scene factories, which outlive the test in the registry.
  auto orderKept = std::make_shared<std::vector<std::string>>();
  auto& order = *orderKept;
  auto logout = platform::NotificationCenter::defaultCenter().addObserver(
      "LMPassportLogoutNotification", [&](const std::string&, const platform::Json& info) {
        order.push_back(info.value("show", true) ? "logout shown" : "logout silent");
      });
  auto fakeScene = [orderKept](std::string name) {
    return [orderKept, name] {
      orderKept->push_back(name);
      return std::make_shared<ui::ViewController>();
    };
  };
  LMStoryboard::registerScene("passportViewController", fakeScene("login"));
  LMStoryboard::registerScene("OTPViewController", fakeScene("two-step"));

  struct Case {
    std::int64_t code;
    std::vector<std::string> order;
    std::optional<std::string> message;
  };
  const std::vector<Case> cases = {
      {70016, {"logout silent", "login"}, std::nullopt},
      {81003, {"two-step"}, std::nullopt},
      {-10005, {}, ui::localizedString("Bad Access to AddressBook")},
      {123456, {}, ui::localizedString("Bad Sync")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    order.clear();
    page_->dismissViewController(false);
    page_->hideSyncLoadViewController(false);
    page_->syncLoadViewController()->beginSyncAnimation();
    const int ends = root_->ends;
    page_->didAdapterFailSynchronize(platform::Error("test", c.code));
    EXPECT_TRUE(order.empty()) << "nothing before the pulse ends";
    advance(2.1);
    EXPECT_EQ(order, c.order);
    EXPECT_EQ(root_->ends, ends + 2) << "the screen's end and the failure's";
    EXPECT_TRUE(page_->syncLoadViewController()->view()->isHidden());
    auto alert = lastAlert();
    EXPECT_EQ(alert ? std::optional<std::string>(alert->message()) : std::nullopt, c.message);
    if (alert) alert->dismiss();
  }
  EXPECT_EQ(navigation_->viewControllers().size(), 2u) << "the two-step screen was pushed";
  platform::NotificationCenter::defaultCenter().removeObserver(logout);
}

TEST_F(RootViewControllerTest, TheRoadStopsWhileSyncingAndSignedOutOpensTheLogin) {
  auto openedKept = std::make_shared<std::vector<std::string>>();
  auto& opened = *openedKept;
  LMStoryboard::registerScene("passportViewController", [openedKept] {
    openedKept->push_back("login");
    return std::make_shared<ui::ViewController>();
  });
  LMRootViewController::adapter()->setSyncing(true);
  page_->synchronize(true);
  ASSERT_TRUE(lastAlert());
  lastAlert()->dismiss();
  page_->syncContactsWithIsBackground(true);
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty()) << "silent in the background";
  LMRootViewController::adapter()->setSyncing(false);

  page_->synchronize(true);
  settle();
  EXPECT_EQ(opened, std::vector<std::string>{"login"});
  EXPECT_TRUE(page_->presentedViewController());
  EXPECT_EQ(root_->begins, 0);

  // Signed in, the sync follows the login; the first one with people outside
  // the synced source asks about them once, and "不用了" syncs.
  ServiceHosts::setAll("http://127.0.0.1:9");
  {
    auto book = *ab::AddressBook::create();
    ASSERT_TRUE(book->createPerson(book->sourceWithId(ab::kLocalSourceId)).ok());
    ASSERT_TRUE(book->addSource("Card", ab::SourceKind::CardDAV).ok());
    ASSERT_TRUE(book->save().ok());
  }
  auto manager = QBPassportsManager::sharedManager();
  manager->setUserId("7");
  ASSERT_TRUE(manager->passportForSid("lumora", "7"));
  std::vector<platform::Json> logins;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      "LMPassportDidLoginNotification", [&](const std::string&, const platform::Json& info) { logins.push_back(info); });
  page_->didSuccessLogin();
  settle();
  EXPECT_FALSE(page_->presentedViewController());
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].value("type", ""), "contacts");
  ASSERT_TRUE(lastAlert());
  EXPECT_EQ(lastAlert()->title(), ui::localizedString("同步提醒"));
  EXPECT_EQ(root_->begins, 0);
  ASSERT_TRUE(lastAlert()->pressButtonWithTitle(ui::localizedString("不用了")));
  settle();
  EXPECT_EQ(root_->begins, 1);
  settle();
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  ServiceHosts::reset();
}

TEST_F(RootViewControllerTest, NoSyncedSourceEndsTheRunAndTheRemovalAsFailures) {
  auto manager = QBPassportsManager::sharedManager();
  manager->setUserId("7");
  ASSERT_TRUE(manager->passportForSid("lumora", "7"));
  // The address book goes away between the start and the preparation.
  std::promise<void> release;
  auto held = release.get_future().share();
  LMRootViewController::adapter()->performTaskBlock([held] { held.wait(); });
  page_->synchronize(true);
  EXPECT_EQ(root_->begins, 1);
  ASSERT_TRUE(page_->syncLoadViewController());
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Denied).ok());
  release.set_value();
  settle();
  advance(2.1);
  EXPECT_TRUE(page_->syncLoadViewController()->view()->isHidden()) << "the progress screen stops";
  EXPECT_GE(root_->ends, 1) << "the root container hears the end";
  ASSERT_TRUE(lastAlert());
  EXPECT_EQ(lastAlert()->title(), ui::localizedString("Invalid Account Error"));
  lastAlert()->dismiss();

  page_->removeAllContacts();
  advance(1.0);
  settle();
  advance(1.0);
  EXPECT_FALSE(LMProgressHUD::sharedHUD().window()) << "the HUD goes";
  ASSERT_TRUE(lastAlert());
  EXPECT_EQ(lastAlert()->title(), ui::localizedString("Remove All Contacts Fail"));
}

TEST_F(RootViewControllerTest, FirstSyncAsksAboutPeopleOutsideTheSyncedSourceThenSyncsOnNo) {
  ServiceHosts::setAll("http://127.0.0.1:9");  // nothing listens: the load fails at once
  {
    auto book = *ab::AddressBook::create();
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(book->createPerson(book->sourceWithId(ab::kLocalSourceId)).ok());
    ASSERT_TRUE(book->addSource("Card", ab::SourceKind::CardDAV).ok());
    ASSERT_TRUE(book->save().ok());
  }
  auto manager = QBPassportsManager::sharedManager();
  manager->setUserId("7");
  ASSERT_TRUE(manager->passportForSid("lumora", "7"));
  page_->synchronize(true);
  settle();
  const std::string card = ui::localizedString("iCloud Account");
  ASSERT_TRUE(lastAlert());
  EXPECT_EQ(lastAlert()->message(), format("Merge Source Sync Format", {card, std::int64_t{2}, card}));
  EXPECT_EQ(root_->begins, 0) << "no sync before the answer";
  ASSERT_TRUE(lastAlert()->pressButtonWithTitle(ui::localizedString("不用了")));
  settle();
  EXPECT_EQ(root_->begins, 1);
  EXPECT_TRUE(page_->syncLoadViewController()) << "the sync runs in the foreground";
  advance(2.1);
  settle();
  ServiceHosts::reset();
}

TEST_F(RootViewControllerTest, AnEmptiedAddressBookClearsTheStoreFirst) {
  ServiceHosts::setAll("http://127.0.0.1:9");  // the load fails once the store is (or is not) cleared
  auto manager = QBPassportsManager::sharedManager();
  manager->setUserId("7");
  ASSERT_TRUE(manager->passportForSid("lumora", "7"));
  auto store = LMRootViewController::adapter()->context();
  for (const int people : {1, 0}) {
    SCOPED_TRACE(people);
    {
      auto book = *ab::AddressBook::create();
      for (const auto& person : book->people()) ASSERT_TRUE(book->removeRecord(person).ok());
      for (int i = 0; i < people; ++i) ASSERT_TRUE(book->createPerson(book->sourceWithId(ab::kLocalSourceId)).ok());
      ASSERT_TRUE(book->save().ok());
    }
    ASSERT_NO_FATAL_FAILURE(recordSyncData(*store));
    page_->synchronize(true);
    settle();
    advance(2.1);
    EXPECT_EQ(store->serverContactNum(), people == 0 ? 0 : 1);
    EXPECT_EQ(store->serverSync(), people == 0 ? 0 : 42);
    EXPECT_EQ(store->serverSyncExtraInfo().has_value(), people != 0);
    for (auto alert : ui::AlertView::visibleAlerts()) alert->dismiss();
    ASSERT_TRUE(store->deleteAllRelations());
  }
  ServiceHosts::reset();
}

// Each way the book is found: damaged (told as a book that cannot be read,
// with where the logs are), or whole with access denied (the permission
// text, "No Accounts" where the page names the source).
struct BookCase {
  std::string what;
  std::function<void()> make;
  bool unreadable;
};

std::vector<BookCase> bookCases() {
  std::vector<BookCase> cases;
  for (const auto& damaged : testsupport::kBookDamages) {
    cases.push_back({damaged.what, [damage = damaged.damage] { testsupport::damageAddressBook(damage); }, true});
  }
  cases.push_back({"denied",
                   [] {
                     testsupport::makeWholeAddressBook(3);
                     ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Denied).ok());
                   },
                   false});
  return cases;
}

// Runs `check` on each way the book is found, in both languages; leaves a
// whole book. Each case starts once `settle` has let the page's work on the
// case before end (a count of the book still running would read the next
// case's book as it is made).
void forEachBook(const std::function<void()>& settle, const std::function<void(const BookCase&)>& check) {
  auto& defaults = platform::UserDefaults::standard();
  for (const char* language : {"en", "zh-Hans"}) {
    defaults.registerDefaults({{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({language})}});
    ui::resetLocalizedStringsForTesting();
    for (const BookCase& c : bookCases()) {
      SCOPED_TRACE(std::string(language) + " " + c.what);
      settle();
      c.make();
      check(c);
    }
  }
  testsupport::makeWholeAddressBook(0);
  ui::resetLocalizedStringsForTesting();
}

// A damaged address book is told as what it is, with where the logs are,
// in the tables' language; a real denial keeps the permission text.
TEST_F(RootViewControllerTest, AnUnreadableAddressBookSaysSoAndWhereTheLogsAreADenialAsksForAccess) {
  ServiceHosts::setAll("http://127.0.0.1:9");  // a sync that got through would fail at the load
  auto manager = QBPassportsManager::sharedManager();
  manager->setUserId("7");
  ASSERT_TRUE(manager->passportForSid("lumora", "7"));
  forEachBook([this] { settle(); }, [&](const BookCase& c) {
    page_->synchronize(true);
    settle();
    advance(2.1);
    auto alerts = ui::AlertView::visibleAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    const std::string logs = QBLogFileManagerDefault().logsDirectory().string();
    if (c.unreadable) {
      EXPECT_EQ(alerts.front()->title(), ui::localizedString("Unreadable AddressBook"));
      EXPECT_EQ(alerts.front()->message(), format("Unreadable AddressBook Message Format", {logs}));
    } else {
      EXPECT_EQ(alerts.front()->title(), ui::localizedString("No AddressBook Authority"));
      EXPECT_EQ(alerts.front()->message(), ui::localizedString("No AddressBook Authority Message"));
    }
    alerts.front()->dismiss();
    EXPECT_EQ(root_->begins, root_->ends) << "no sync left running";
  });
  ServiceHosts::reset();
}

// The book is damaged while the sync waits its turn on the adapter's queue,
// after the page found it whole: the sync reads it again, tells it as a book
// that cannot be read and keeps the contact sync data.
TEST_F(RootViewControllerTest, ABookDamagedWhileTheSyncWaitsIsToldAsUnreadableAndItsSyncDataKept) {
  ServiceHosts::setAll("http://127.0.0.1:9");  // a sync that got through would fail at the load
  auto manager = QBPassportsManager::sharedManager();
  manager->setUserId("7");
  ASSERT_TRUE(manager->passportForSid("lumora", "7"));
  auto adapter = LMRootViewController::adapter();
  auto store = adapter->context();
  int begun = 0;
  for (const auto& damaged : testsupport::kBookDamages) {
    SCOPED_TRACE(damaged.what);
    testsupport::makeWholeAddressBook(3);
    settle();
    ASSERT_NO_FATAL_FAILURE(recordSyncData(*store));
    std::promise<void> release;
    auto held = release.get_future().share();
    adapter->performTaskBlock([held] { held.wait(); });
    page_->synchronize(true);
    EXPECT_EQ(root_->begins, ++begun) << "the page found the book whole";
    testsupport::damageAddressBook(damaged.damage, 3);
    release.set_value();
    settle();
    advance(2.1);
    auto alerts = ui::AlertView::visibleAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts.front()->title(), ui::localizedString("Unreadable AddressBook"));
    EXPECT_EQ(store->serverContactNum(), 1);
    EXPECT_EQ(store->serverSync(), 42);
    alerts.front()->dismiss();
    ASSERT_TRUE(store->deleteAllRelations());
  }
  testsupport::makeWholeAddressBook(0);
  ServiceHosts::reset();
}

// Where the page names the synced source it says that the book cannot be
// read, as it comes up on such a book and when it counts the book again,
// before any sync is asked for; a denial keeps "No Accounts".
TEST_F(RootViewControllerTest, ThePageSaysWhereItNamesTheSourceThatTheBookCannotBeRead) {
  forEachBook([this] { settle(); }, [&](const BookCase& c) {
    const std::string expected = ui::localizedString(c.unreadable ? "Unreadable AddressBook" : "No Accounts");
    // The app comes up on that book.
    page_ = std::make_shared<LMRootViewController>();
    page_->setDelegate(root_);
    navigation_ = ui::NavigationController::withRoot(page_);
    navigation_->loadViewIfNeeded();
    settle();
    EXPECT_EQ(page_->sourceLabel()->text(), expected) << "as the page is made";
    page_->viewDidAppear(false);
    settle();
    EXPECT_EQ(page_->sourceLabel()->text(), expected) << "once the page is shown";
    EXPECT_EQ(page_->localNumLabel()->text(), "0");
    page_->didLocalContactsChangedNotice(false);
    settle();
    EXPECT_EQ(page_->sourceLabel()->text(), expected) << "counted again";
    EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  });
}

TEST_F(RootViewControllerTest, BackgroundSyncPassesTheGateAndNeverAsks) {
  ServiceHosts::setAll("http://127.0.0.1:9");  // nothing listens: the load fails at once
  auto manager = QBPassportsManager::sharedManager();
  auto& config = LMAppSettingConfig::sharedConfig();
  config.setLastSyncContactsTime(now());
  page_->syncContactsOnBackground();
  settle();
  EXPECT_EQ(root_->begins, 0) << "not signed in";
  manager->setUserId("7");
  ASSERT_TRUE(manager->passportForSid("lumora", "7"));
  page_->syncContactsOnBackground();
  settle();
  EXPECT_EQ(root_->begins, 0) << "synced lately and nothing changed";
  config.setContactsChangeTime(now() + 1);
  page_->syncContactsOnBackground();
  settle();
  settle();
  EXPECT_EQ(root_->begins, 1);
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  EXPECT_FALSE(page_->syncLoadViewController()) << "no progress screen in the background";
  ServiceHosts::reset();
}

}  // namespace
TEST_F(RootViewControllerTest, TheLoginItPresentsReportsBackToThePage) {
  LMStoryboard::registerScene(LMLoginViewController::kSceneIdentifier, [] {
    return ui::NavigationController::withRoot(std::make_shared<LMLoginViewController>());
  });
  std::vector<platform::Json> logins;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      "LMPassportDidLoginNotification", [&](const std::string&, const platform::Json& info) { logins.push_back(info); });
  auto presentedLogin = [this]() -> std::shared_ptr<LMLoginViewController> {
    auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(page_->presentedViewController());
    return navigation ? std::dynamic_pointer_cast<LMLoginViewController>(navigation->rootViewController()) : nullptr;
  };
  // Cancelled by its button, then signed in: each time the page hears it
  // and takes the login away; a success is announced as the contacts' and
  // the sync follows.
  ServiceHosts::setAll("http://127.0.0.1:9");
  for (bool success : {false, true}) {
    SCOPED_TRACE(success ? "success" : "cancel");
    page_->synchronize(true);
    settle();
    auto login = presentedLogin();
    ASSERT_TRUE(login);
    if (success) {
      QBPassportsManager::sharedManager()->setUserId("7");
      ASSERT_TRUE(QBPassportsManager::sharedManager()->passportForSid("lumora", "7"));
      auto delegate = login->delegate.lock();
      ASSERT_TRUE(delegate && delegate->didSuccessLogin);
      delegate->didSuccessLogin();
    } else {
      login->cancelLogin(false);
    }
    settle();
    EXPECT_FALSE(page_->presentedViewController());
    EXPECT_EQ(logins.size(), success ? 1u : 0u);
    EXPECT_EQ(root_->begins, success ? 1 : 0);
    for (const auto& alert : ui::AlertView::visibleAlerts()) alert->dismiss();
  }
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  ServiceHosts::reset();
}

TEST_F(RootViewControllerTest, ALocationWakeUpSyncsThroughTheRealPages) {
  ServiceHosts::setAll("http://127.0.0.1:9");
  auto manager = QBPassportsManager::sharedManager();
  manager->setUserId("7");
  ASSERT_TRUE(manager->passportForSid("lumora", "7"));
  auto& config = LMAppSettingConfig::sharedConfig();
  config.setAutoBackupContacts(true);
  config.setAutoBackupGallery(false);
  config.setLastSyncContactsTime(now());
  config.setContactsChangeTime(now() + 1);
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);

  AppDelegate::Services services;
  services.startReachabilityMonitoring = [] { platform::ReachabilityMonitor::sharedMonitor().startMonitoring(); };
  auto recorder = std::make_shared<RootPageRecorder>();
  services.pages.contacts = [recorder] {
    auto page = std::make_shared<LMRootViewController>();
    page->setDelegate(recorder);  // as the root container would
    return page;
  };
  services.pages.gallery = [] { return std::make_shared<LMGalleryRootViewController>(); };
  auto app = AppDelegate::create(std::move(services));
  platform::Application::shared().setDelegate(app);
  platform::Application::shared().finishLaunching({{platform::kApplicationLaunchOptionsLocationKey, true}});
  clock_->advance(platform::seconds(10));
  platform::MainQueue::main().runUntilIdle();

  auto contacts = std::dynamic_pointer_cast<LMRootViewController>(app->contactsVC());
  ASSERT_TRUE(contacts);
  EXPECT_TRUE(std::dynamic_pointer_cast<LMGalleryRootViewController>(app->galleryVC()));
  settle();
  settle();
  EXPECT_EQ(recorder->begins, 1) << "the rule's sync reaches the page and passes the gate";
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  app.reset();
  platform::Reachability::overrideStatus(std::nullopt);
  LMLocationHelper::sharedHelper()->resetForTesting();
  ServiceHosts::reset();
}

}  // namespace lumora
