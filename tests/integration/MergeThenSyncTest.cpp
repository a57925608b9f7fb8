// What the merge screens write reaches the cloud with the next sync: a batch
// merge of duplicates and the import of another account's people.
#include "ContactSyncFixture.h"

#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/contacts/LMMergeSourceTableViewController.h"
#include "screens/contacts/LMMergeTableViewController.h"

namespace contactsynctest {
namespace {

class MergeThenSyncTest : public ContactSyncCloudTest {
 protected:
  void TearDown() override {
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    platform::ui::AlertView::resetForTesting();
    ContactSyncCloudTest::TearDown();
  }
  // The screens' HUD fades and tasks on the shared adapter's queue.
  void pumpScreens() {
    for (int i = 0; i < 30; ++i) {
      clock_->advance(std::chrono::milliseconds(100));
      platform::MainQueue::main().runUntilIdle();
      lumora::LMContactSyncAdapter::sharedAdapter()->taskOperationQueue().waitUntilAllOperationsAreFinished();
      platform::MainQueue::main().runUntilIdle();
    }
    for (const auto& alert : platform::ui::AlertView::visibleAlerts()) alert->dismiss();
  }
};

TEST_F(MergeThenSyncTest, MergedAndImportedPeopleReachTheCloud) {
  // One person twice, found by the shared number.
  addPerson(contactNamed("Ann", "Lee", "+1 555 0100"));
  auto annie = contactNamed("Annie", "Lee", "+1 555 0100");
  annie.emailArray = Json::array({{{"type", "home"}, {"value", "ann@example.org"}}});
  addPerson(annie);
  addPerson(contactNamed("Bob", "Ray"));
  ASSERT_TRUE(sync().ok());
  ASSERT_EQ(cloudContacts().size(), 3u);

  auto merge = std::make_shared<lumora::LMMergeTableViewController>();
  merge->loadViewIfNeeded();
  merge->searchRepeatedContacts();
  pumpScreens();
  merge->mergeBatchContacts(false);
  ASSERT_TRUE(platform::ui::AlertView::visibleAlerts().back()->pressButtonWithTitle(
      platform::ui::localizedString("批量合并")));
  pumpScreens();

  auto work = book_->addSource("Work", ab::SourceKind::CardDAV);
  ASSERT_TRUE(book_->save().ok());
  ab::Record dan = *book_->createPerson(*work);
  ASSERT_TRUE(dan.setValue(ab::PersonProperty::FirstName, "Dan").ok());
  ASSERT_TRUE(book_->save().ok());
  auto import = std::make_shared<lumora::LMMergeSourceTableViewController>();
  import->loadViewIfNeeded();
  import->mergeSources();
  pumpScreens();

  ASSERT_TRUE(sync().ok());
  auto cloud = cloudContacts();
  EXPECT_EQ(cloud.size(), 3u);
  ASSERT_TRUE(cloud.count("Ann Lee"));
  EXPECT_FALSE(cloud.count("Annie Lee"));
  EXPECT_EQ(cloud["Ann Lee"]["content"]["emails"].size(), 1u) << cloud["Ann Lee"].dump();
  EXPECT_TRUE(cloud.count("Dan"));
}

}  // namespace
}  // namespace contactsynctest
