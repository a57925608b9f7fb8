// The merge screens in the app's offscreen window over an address book
// seeded with duplicates and a second account, opened from the menu: the
// manual merge of one group with a photo choice, the batch merge of the
// rest, a person picked into the own group, and the import of the second
// account into the synced source, clicked as a user would.
#include <gtest/gtest.h>

#include "app/AppScenes.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "e2e/E2EHarness.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbookui/PeoplePickerNavigationController.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMManualMergeTableViewController.h"
#include "screens/contacts/LMMergeTableViewController.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "support/TestMedia.h"

namespace e2e {
namespace {

namespace ab = platform::addressbook;
using lumora::LMProgressHUD;

class MergeScreensE2ETest : public ::testing::Test {
 protected:
  MergeScreensE2ETest() {
    EXPECT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
    book_ = *ab::AddressBook::create();
    lumora::registerAppScenes();
    lumora::LMContactSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedRecordContext>());
  }
  ~MergeScreensE2ETest() override {
    lumora::LMContactSyncAdapter::sharedAdapter()->setContext(nullptr);
    LMProgressHUD::sharedHUD().resetForTesting();
    ui::AlertView::resetForTesting();
  }
  std::int32_t person(const std::string& first, const std::string& last, ab::Record source = {},
                      platform::Bytes photo = {}) {
    ab::Record p = *book_->createPerson(source ? source : book_->sourceWithId(ab::kLocalSourceId));
    EXPECT_TRUE(p.setValue(ab::PersonProperty::FirstName, first).ok());
    EXPECT_TRUE(p.setValue(ab::PersonProperty::LastName, last).ok());
    if (!photo.empty()) {
      EXPECT_TRUE(p.setImageData(photo).ok());
    }
    EXPECT_TRUE(book_->save().ok());
    return p.id();
  }
  // Pumps the window while the contact adapter's tasks run, until `pred`
  // holds (the tasks hop to the main queue and wait for it).
  bool waitFor(const std::function<bool()>& pred) { return harness_.waitFor(pred); }
  bool hudDown() { return !LMProgressHUD::sharedHUD().window(); }
  // The message of the alert in front, answered with its "我知道了".
  std::string alertMessage() {
    auto alerts = ui::AlertView::visibleAlerts();
    if (alerts.empty()) return "<none>";
    std::string message = alerts.back()->message();
    harness_.clickButton(ui::localizedString("我知道了"));
    return message;
  }
  std::size_t localPeople() {
    book_->revert();
    return book_->peopleInSource(book_->sourceWithId(ab::kLocalSourceId)).size();
  }

  E2EHarness harness_;
  std::shared_ptr<ab::AddressBook> book_;
};

TEST_F(MergeScreensE2ETest, ManualThenBatchMergeThenThePickerThenImportOfTheSecondAccount) {
  platform::Bytes photo = testsupport::makeJpeg(120, 90);
  std::int32_t keep = person("Ann", "Lee", {}, testsupport::makeJpeg(40, 40));
  person("Ann", "Lee", {}, photo);
  person("Bob", "Ray");
  person("Bob", "Ray");
  person("Cat", "Solo");
  auto work = *book_->addSource("Work", ab::SourceKind::CardDAV);
  ASSERT_TRUE(book_->save().ok());
  person("Dan", "Work", work);
  person("Eve", "Work", work);

  // The app, and its menu's "合并联系人".
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(
      lumora::LMStoryboard::instantiateInitialViewController());
  ASSERT_TRUE(navigation);
  harness_.showScreen(navigation);
  harness_.answerAlerts(ui::localizedString("取消"));
  auto app = std::dynamic_pointer_cast<lumora::LMBaseRootViewController>(navigation->rootViewController());
  ASSERT_TRUE(app);
  harness_.click(*app->menuButton());
  harness_.clickButton(ui::localizedString("合并联系人"));
  std::shared_ptr<ui::NavigationController> merge;
  std::shared_ptr<lumora::LMMergeTableViewController> screen;
  ASSERT_TRUE(waitFor([&] {
    merge = std::dynamic_pointer_cast<ui::NavigationController>(navigation->presentedViewController());
    screen = merge ? std::dynamic_pointer_cast<lumora::LMMergeTableViewController>(merge->topViewController()) : nullptr;
    return hudDown() && screen && screen->mergeContactArray();
  }));
  ASSERT_EQ(screen->mergeContactArray()->size(), 3u);
  harness_.screenshot("merge-found");

  // The manual merge of the Ann group, taking the second Ann's photo.
  auto cell = [&](int row) {
    return std::static_pointer_cast<lumora::LMMergeContactCell>(screen->tableView()->cellForRowAtIndexPath({0, row}));
  };
  ASSERT_TRUE(cell(0));
  harness_.click(*cell(0)->mergeButton());
  auto manual = std::dynamic_pointer_cast<lumora::LMManualMergeTableViewController>(merge->topViewController());
  ASSERT_TRUE(manual);
  ASSERT_TRUE(manual->photoSelectView());
  harness_.click(*manual->photoSelectView()->photoButtons()[1]);
  EXPECT_EQ(manual->photoSelectView()->selectIndex(), 1);
  harness_.screenshot("manual-merge");
  harness_.clickBarItem(*merge, false);
  ASSERT_TRUE(waitFor([&] { return hudDown() && merge->topViewController() == screen; }));
  EXPECT_TRUE((*screen->mergeContactArray())[0]->isMerged);
  book_->revert();
  EXPECT_EQ(book_->personWithId(keep).imageData(ab::ImageFormat::OriginalSize), photo);

  // The batch merge takes the Bob group.
  harness_.clickBarItem(*merge, false);
  ASSERT_EQ(ui::AlertView::visibleAlerts().size(), 1u);
  harness_.clickButton(ui::localizedString("批量合并"));
  ASSERT_TRUE(waitFor([&] { return hudDown() && !ui::AlertView::visibleAlerts().empty(); }));
  harness_.screenshot("merge-batch");
  EXPECT_EQ(alertMessage(), ui::localizedCountString("Merge Contacts Format", 1));
  EXPECT_EQ(localPeople(), 3u);

  // The people picker lists the book; a tap on a row puts that person in
  // the own group.
  const int own = static_cast<int>(screen->mergeContactArray()->size()) - 1;
  ASSERT_TRUE(cell(own));
  harness_.click(*cell(own)->addButton());
  auto picker = std::dynamic_pointer_cast<platform::addressbookui::PeoplePickerNavigationController>(
      screen->presentedViewController());
  ASSERT_TRUE(picker);
  harness_.settle(1);
  harness_.screenshot("people-picker");
  auto list = std::dynamic_pointer_cast<ui::TableView>(picker->topViewController()->view()->subviews().front());
  ASSERT_TRUE(list);
  ASSERT_EQ(list->numberOfRowsInSection(0), 5);
  std::shared_ptr<ui::TableViewCell> cat;
  for (const auto& path : list->indexPathsForVisibleRows()) {
    auto shown = list->cellForRowAtIndexPath(path);
    if (shown->textLabel()->text() == "Cat Solo") cat = shown;
  }
  ASSERT_TRUE(cat);
  harness_.click(*cat);
  ASSERT_TRUE(waitFor([&] { return !screen->presentedViewController(); }));
  ASSERT_EQ(screen->mergeContactArray()->back()->mergeContacts().size(), 1u);
  EXPECT_EQ(screen->mergeContactArray()->back()->mergeContacts()[0].givenName, "Cat");

  // "<" closes the screen; the menu's import takes the second account.
  harness_.clickBarItem(*merge, true);
  ASSERT_TRUE(waitFor([&] { return !navigation->presentedViewController(); }));
  harness_.click(*app->menuButton());
  harness_.clickButton(ui::localizedString("导入联系人"));
  ASSERT_TRUE(waitFor([&] { return navigation->presentedViewController() != nullptr; }));
  auto import = std::dynamic_pointer_cast<ui::NavigationController>(navigation->presentedViewController());
  ASSERT_TRUE(import);
  harness_.screenshot("import");
  harness_.clickBarItem(*import, false);
  ASSERT_TRUE(waitFor([&] { return hudDown() && !ui::AlertView::visibleAlerts().empty(); }));
  EXPECT_EQ(alertMessage(), ui::stringWithFormat(ui::localizedString("Merge Source Success Format"), {std::int64_t{2}}));
  EXPECT_EQ(localPeople(), 5u);
  harness_.clickBarItem(*import, true);
  EXPECT_TRUE(waitFor([&] { return !navigation->presentedViewController(); }));
}

}  // namespace
}  // namespace e2e
