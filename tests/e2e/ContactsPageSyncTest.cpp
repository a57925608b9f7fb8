// The contacts page in the offscreen window against the local cloud: a user
// clicks "立即同步", the percentage runs to "同步成功" with the rating prompt
// and both sides agree; after deletions in the cloud the estimate asks first
// ("继续同步"); a relogin fault on the listing ends on the login screen. A
// sync that adds one person on each side tells each in the singular.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "cloud/model/LMContact.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "e2e/E2EHarness.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMContactsScenes.h"
#include "screens/contacts/LMRootViewController.h"
#include "support/Sanitizers.h"

namespace e2e {
namespace {

namespace ab = platform::addressbook;
using lumora::LMRootViewController;

constexpr std::int64_t kPageUserId = 10001;
constexpr const char* kPageKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

lumora::LMContact pageContact(const std::string& name) {
  lumora::LMContact contact;
  contact.givenName = name.substr(0, name.find(' '));
  contact.familyName = name.substr(name.find(' ') + 1);
  contact.name = name;
  return contact;
}

std::set<std::string> pagePeople() {
  std::set<std::string> names;
  auto book = *ab::AddressBook::create();
  auto source = lumora::LMManagedRecordContext::defaultSourceInAddressBook(book.get());
  for (auto& [id, contact] : lumora::LMManagedRecordContext::searchAllLocalContacts(book.get(), source)) {
    names.insert(contact.name.value_or(""));
  }
  return names;
}

// The contacts page shown in the harness's window, the first-launch
// location question answered.
std::shared_ptr<LMRootViewController> showContactsPage(E2EHarness& harness) {
  lumora::registerContactsScenes();
  auto page = std::dynamic_pointer_cast<LMRootViewController>(
      lumora::LMStoryboard::instantiateViewControllerWithIdentifier("rootViewController"));
  if (page) {
    harness.showScreen(ui::NavigationController::withRoot(page));
    harness.answerAlerts(ui::localizedString("取消"));
  }
  return page;
}

// The app's language for a test, the one before put back at its end.
class AppLanguage {
 public:
  explicit AppLanguage(const char* language)
      : before_(platform::UserDefaults::standard().arrayForKey(platform::UserDefaults::kAppleLanguagesKey)) {
    set(platform::Json::array({language}));
  }
  ~AppLanguage() { set(before_.value_or(platform::Json::array({"en"}))); }
  AppLanguage(const AppLanguage&) = delete;
  AppLanguage& operator=(const AppLanguage&) = delete;

 private:
  static void set(const platform::Json& languages) {
    platform::UserDefaults::standard().registerDefaults({{platform::UserDefaults::kAppleLanguagesKey, languages}});
    ui::resetLocalizedStringsForTesting();
  }
  std::optional<platform::Json> before_;
};

TEST(ContactsPageSyncTest, ClickSyncConfirmDeletionsAndEndOnTheLoginScreenAfterARelogin) {
  E2EHarness harness;
  harness.clock().setAutoAdvanceSleeps(true);
  auto& cloud = harness.cloud();
  ASSERT_TRUE(harness.signIn(kPageUserId, "page", kPageKey));

  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
  {
    auto book = *ab::AddressBook::create();
    for (const char* name : {"Ann Lee", "Bo Chen", "Cy Park"}) {
      auto person = book->createPerson(book->sourceWithId(ab::kLocalSourceId));
      ASSERT_TRUE(person.ok());
      ASSERT_TRUE(pageContact(name).mergeToLocalRecord(*person).ok());
    }
    ASSERT_TRUE(book->save().ok());
  }
  std::vector<std::int64_t> cloudIds;
  for (const char* name : {"Di Wu", "Ed Ma"}) {
    auto change = cloud.contacts().add(kPageUserId, "contact", pageContact(name).dictionaryForLumoraJSON()["content"]);
    cloudIds.push_back(change.record.id);
  }

  auto page = showContactsPage(harness);
  ASSERT_TRUE(page);

  // The sync runs on the adapter's thread over the local cloud: its waits
  // are in real time (the main queue can be idle while a reply is on its way).
  auto clickSync = [&] {
    // The adapter clears its syncing flag just after its last report.
    // (off the clock: no timer is due by then).
    const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
    while (LMRootViewController::adapter()->isSyncing() && std::chrono::steady_clock::now() < until) {
      harness.runUntil([] { return true; });
      std::this_thread::yield();
    }
    ASSERT_FALSE(LMRootViewController::adapter()->isSyncing());
    auto frame = page->syncButton()->frame();
    auto at = page->syncButton()->superview()->convertPointToView({frame.midX(), frame.midY()}, nullptr);
    harness.click(at);
  };
  // The progress screen's "完成", once it shows.
  auto clickFinish = [&] {
    auto finish = page->syncLoadViewController()->finishSyncButton();
    ASSERT_TRUE(harness.waitFor([&] { return E2EHarness::reachable(*finish); }));
    harness.click(*finish);
  };
  auto alertTitled = [](const std::string& key) -> std::shared_ptr<ui::AlertView> {
    for (auto& alert : ui::AlertView::visibleAlerts()) {
      if (alert->title() == ui::localizedString(key)) return alert;
    }
    return nullptr;
  };

  clickSync();
  float highest = 0;
  ASSERT_TRUE(harness.waitFor([&] {
    if (auto screen = page->syncLoadViewController()) highest = std::max(highest, screen->processLabel()->progress());
    return alertTitled("同步成功") != nullptr;
  }));
  EXPECT_GT(highest, 0.5f) << "the percentage rose";

  EXPECT_NE(alertTitled("同步成功")->message().find(ui::localizedString("Rating Info")), std::string::npos);
  harness.clickButton(ui::localizedString("我知道了"));
  EXPECT_EQ(pagePeople(), (std::set<std::string>{"Ann Lee", "Bo Chen", "Cy Park", "Di Wu", "Ed Ma"}));
  std::size_t live = 0;
  for (const auto& record : cloud.contacts().records(kPageUserId)) {
    live += record.type == "contact" && record.status == localcloud::ContactStore::kStatusLive;
  }
  EXPECT_EQ(live, 5u);
  clickFinish();

  // Deletions in the cloud are predicted and confirmed first.
  for (auto id : cloudIds) cloud.contacts().remove(kPageUserId, id, std::nullopt, false);
  clickSync();
  ASSERT_TRUE(harness.waitFor([&] { return alertTitled("提示") != nullptr; }));
  harness.clickButton(ui::localizedString("继续同步"));
  ASSERT_TRUE(harness.waitFor([&] { return alertTitled("同步成功") != nullptr; }));
  EXPECT_EQ(pagePeople(), (std::set<std::string>{"Ann Lee", "Bo Chen", "Cy Park"}));
  harness.clickButton(ui::localizedString("我知道了"));
  clickFinish();

  // A relogin fault on the listing: the next click ends on the login screen.
  bool loginOpened = false;
  if (!lumora::LMStoryboard::instantiateViewControllerWithIdentifier("passportViewController")) {
    lumora::LMStoryboard::registerScene("passportViewController", [] { return std::make_shared<ui::ViewController>(); });
  }
  localcloud::Fault relogin;
  relogin.code = 70016;
  cloud.faults().set("/lum/contact/v3/user/" + std::to_string(kPageUserId) + "/full", relogin);
  clickSync();
  ASSERT_TRUE(harness.waitFor([&] {
    loginOpened = page->presentedViewController() != nullptr;
    return loginOpened;
  }));
  harness.screenshot("contacts-page-login");
}

// In German the page reads the English table, whose singular it takes too.
TEST(ContactsPageSyncTest, ASyncThatAddsOnePersonOnEachSideTellsEachInTheSingular) {
  AppLanguage german("de");
  {
    E2EHarness harness;
    harness.clock().setAutoAdvanceSleeps(true);
    ASSERT_TRUE(harness.signIn(kPageUserId, "page", kPageKey));
    ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
    {
      auto book = *ab::AddressBook::create();
      auto person = book->createPerson(book->sourceWithId(ab::kLocalSourceId));
      ASSERT_TRUE(person.ok());
      ASSERT_TRUE(pageContact("Ann Lee").mergeToLocalRecord(*person).ok());
      ASSERT_TRUE(book->save().ok());
    }
    harness.cloud().contacts().add(kPageUserId, "contact", pageContact("Di Wu").dictionaryForLumoraJSON()["content"]);

    auto page = showContactsPage(harness);
    ASSERT_TRUE(page);
    ASSERT_TRUE(harness.click(*page->syncButton()));
    std::shared_ptr<ui::AlertView> done;
    ASSERT_TRUE(harness.waitFor([&] {
      for (auto& alert : ui::AlertView::visibleAlerts()) {
        if (alert->title() == ui::localizedString("同步成功")) done = alert;
      }
      return done != nullptr;
    }));
    EXPECT_EQ(pagePeople(), (std::set<std::string>{"Ann Lee", "Di Wu"}));
    const std::string one = ui::localizedCountString("Add Contact Format", 1);
    EXPECT_NE(one, ui::stringWithFormat(ui::localizedString("Add Contact Format"), {std::int64_t{1}}));
    for (const char* side : {"Sync Local Result Format", "Sync Lumora Result Format"}) {
      EXPECT_NE(done->message().find(ui::stringWithFormat(ui::localizedString(side), {one})), std::string::npos)
          << side << ": " << done->message();
    }
    harness.clickButton(ui::localizedString("我知道了"));
  }
}

}  // namespace
}  // namespace e2e
