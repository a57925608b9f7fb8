// The merge screens in the offscreen window over an address book seeded
// with duplicates and a second account: the manual merge of one group with
// a photo choice, the batch merge of the rest, and the import of the second
// account into the synced source, clicked as a user would.
#include <gtest/gtest.h>

#include "app/AppScenes.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "e2e/E2EHarness.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMManualMergeTableViewController.h"
#include "screens/contacts/LMMergeTableViewController.h"
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
  }
  ~MergeScreensE2ETest() override {
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
  // Pumps the window and the contact adapter's queue until `pred` holds.
  bool waitFor(const std::function<bool()>& pred) {
    for (int i = 0; i < 50; ++i) {
      if (harness_.runUntil(pred, 5)) return true;
      lumora::LMContactSyncAdapter::sharedAdapter()->taskOperationQueue().waitUntilAllOperationsAreFinished();
    }
    return pred();
  }
  bool hudDown() { return !LMProgressHUD::sharedHUD().window(); }
  void clickView(const ui::View& view) {
    harness_.click(view.convertPointToView({view.frame().width / 2, view.frame().height / 2}, nullptr));
  }
  void clickRightBarItem() { harness_.click({ui::Screen::main().bounds().width - 38, 42}); }
  std::string alertMessage() {
    auto alerts = ui::AlertView::visibleAlerts();
    if (alerts.empty()) return "<none>";
    std::string message = alerts.back()->message();
    alerts.back()->pressButtonAtIndex(0);
    return message;
  }
  std::size_t localPeople() {
    book_->revert();
    return book_->peopleInSource(book_->sourceWithId(ab::kLocalSourceId)).size();
  }

  E2EHarness harness_;
  std::shared_ptr<ab::AddressBook> book_;
};

TEST_F(MergeScreensE2ETest, ManualThenBatchMergeThenImportOfTheSecondAccount) {
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

  auto merge = std::dynamic_pointer_cast<ui::NavigationController>(
      lumora::LMStoryboard::instantiateViewControllerWithIdentifier("mergeViewController"));
  ASSERT_TRUE(merge);
  harness_.showScreen(merge);
  auto screen = std::dynamic_pointer_cast<lumora::LMMergeTableViewController>(merge->topViewController());
  ASSERT_TRUE(screen);
  screen->searchRepeatedContacts();
  ASSERT_TRUE(waitFor([&] { return hudDown() && screen->mergeContactArray(); }));
  ASSERT_EQ(screen->mergeContactArray()->size(), 3u);
  harness_.screenshot("merge-found");

  // The manual merge of the Ann group, taking the second Ann's photo.
  auto cell = std::static_pointer_cast<lumora::LMMergeContactCell>(
      screen->tableView()->cellForRowAtIndexPath({0, 0}));
  ASSERT_TRUE(cell);
  clickView(*cell->mergeButton());
  auto manual = std::dynamic_pointer_cast<lumora::LMManualMergeTableViewController>(merge->topViewController());
  ASSERT_TRUE(manual);
  ASSERT_TRUE(manual->photoSelectView());
  clickView(*manual->photoSelectView()->photoButtons()[1]);
  EXPECT_EQ(manual->photoSelectView()->selectIndex(), 1);
  harness_.screenshot("manual-merge");
  clickRightBarItem();
  ASSERT_TRUE(waitFor([&] { return hudDown() && merge->topViewController() == screen; }));
  EXPECT_TRUE((*screen->mergeContactArray())[0]->isMerged);
  book_->revert();
  EXPECT_EQ(book_->personWithId(keep).imageData(ab::ImageFormat::OriginalSize), photo);

  // The batch merge takes the Bob group.
  clickRightBarItem();
  ASSERT_EQ(ui::AlertView::visibleAlerts().size(), 1u);
  ASSERT_TRUE(ui::AlertView::visibleAlerts()[0]->pressButtonWithTitle(ui::localizedString("批量合并")));
  ASSERT_TRUE(waitFor([&] { return hudDown() && !ui::AlertView::visibleAlerts().empty(); }));
  harness_.screenshot("merge-batch");
  EXPECT_EQ(alertMessage(), ui::stringWithFormat(ui::localizedString("Merge Contacts Format"), {std::int64_t{1}}));
  EXPECT_EQ(localPeople(), 3u);

  // The import of the second account.
  auto import = std::dynamic_pointer_cast<ui::NavigationController>(
      lumora::LMStoryboard::instantiateViewControllerWithIdentifier("mergeSourceViewController"));
  ASSERT_TRUE(import);
  harness_.showScreen(import);
  harness_.screenshot("import");
  clickRightBarItem();
  ASSERT_TRUE(waitFor([&] { return hudDown() && !ui::AlertView::visibleAlerts().empty(); }));
  EXPECT_EQ(alertMessage(), ui::stringWithFormat(ui::localizedString("Merge Source Success Format"), {std::int64_t{2}}));
  EXPECT_EQ(localPeople(), 5u);
}

}  // namespace
}  // namespace e2e
