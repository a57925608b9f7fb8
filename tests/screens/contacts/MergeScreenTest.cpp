// The duplicate-merge screen against a real address book: the search and
// its rows, the people picker's own group, dropping groups, the batch merge
// (with an own group of one, with a failed closing save), a drag from a
// tile scrolling the list, and the states without address-book access.
#include <gtest/gtest.h>

#include "platform/ui/StringFormat.h"
#include "screens/contacts/ContactsScreensFixture.h"
#include "screens/contacts/LMMergeTableViewController.h"

namespace lumora {
namespace {

using namespace contactsscreenstest;

class MergeScreenTest : public ContactsScreensFixture {
 protected:
  void SetUp() override {
    ids_ = people({{"Ann", "Lee"}, {"Ann", "Lee"}, {"Bob", "Ray"}, {"Bob", "Ray"}, {"Cat", "Solo"}});
    navigation_->loadViewIfNeeded();
    screen_->loadViewIfNeeded();
  }
  const std::vector<LMMergeGroup>& list() { return *screen_->mergeContactArray(); }
  std::vector<double> heights() {
    std::vector<double> out;
    int rows = screen_->numberOfRowsInSection(*screen_->tableView(), 0);
    for (int row = 0; row < rows; ++row) out.push_back(*screen_->heightForRowAtIndexPath(*screen_->tableView(), {0, row}));
    return out;
  }
  void TearDown() override {
    if (window_) window_->setHidden(true);
  }
  // Picks the person with `id` in a newly opened picker: a tap on its row.
  void pick(std::int32_t id) {
    if (!window_) {
      window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
      window_->setRootViewController(navigation_);
      window_->makeKeyAndVisible();
    }
    screen_->willAddContactToMergeObject(list().back());
    auto picker = std::dynamic_pointer_cast<platform::addressbookui::PeoplePickerNavigationController>(
        screen_->presentedViewController());
    ASSERT_TRUE(picker);
    const auto& listed = picker->people();
    auto found = std::find_if(listed.begin(), listed.end(), [&](const ab::Record& p) { return p.id() == id; });
    ASSERT_NE(found, listed.end());
    window_->layoutIfNeeded();
    auto rows = std::dynamic_pointer_cast<ui::TableView>(picker->topViewController()->view()->subviews().front());
    ASSERT_TRUE(rows);
    auto cell = rows->cellForRowAtIndexPath({0, static_cast<int>(found - listed.begin())});
    ASSERT_TRUE(cell) << "the row is shown";
    EXPECT_EQ(cell->textLabel()->text(), found->compositeName().value_or(""));
    ui::Screen::main().tap(cell->convertPointToView(cell->bounds().center(), nullptr));
    pump();
    EXPECT_FALSE(screen_->presentedViewController()) << "the screen dismisses the picker";
  }
  std::string mergedMessage(std::int64_t n) { return ui::stringWithFormat(L("Merge Contacts Format"), {n}); }
  void batchMerge() {
    screen_->mergeBatchContacts(true);
    auto alerts = ui::AlertView::visibleAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    ASSERT_TRUE(alerts[0]->pressButtonWithTitle(L("批量合并")));
    pump();
  }

  std::vector<std::int32_t> ids_;
  std::shared_ptr<LMMergeTableViewController> screen_ = std::make_shared<LMMergeTableViewController>();
  std::shared_ptr<ui::NavigationController> navigation_ = ui::NavigationController::withRoot(screen_);
  std::shared_ptr<ui::Window> window_;
};

TEST_F(MergeScreenTest, SearchListsGroupsThenTheOwnGroupGrowsThroughThePicker) {
  EXPECT_EQ(heights().size(), 0u);
  EXPECT_EQ(screen_->numLabel()->text(), L("No Contacts to Merge"));
  screen_->searchRepeatedContacts();
  pump();
  EXPECT_FALSE(LMProgressHUD::sharedHUD().window());
  ASSERT_EQ(list().size(), 3u);
  EXPECT_EQ(heights(), (std::vector<double>{51 * 2 + 62, 51 * 2 + 62, 47}));
  EXPECT_EQ(screen_->numLabel()->text(), ui::stringWithFormat(L("Merge Contacts Prompt Format"), {std::int64_t{2}}));
  auto last = std::static_pointer_cast<LMMergeContactCell>(screen_->cellForRowAtIndexPath(*screen_->tableView(), {0, 2}));
  auto first = std::static_pointer_cast<LMMergeContactCell>(screen_->cellForRowAtIndexPath(*screen_->tableView(), {0, 0}));
  EXPECT_TRUE(first->addButton()->isHidden());
  EXPECT_FALSE(last->addButton()->isHidden());

  pick(ids_[4]);
  pick(ids_[4]);
  EXPECT_EQ(takeAlert().second, L("Not Add Contact Again"));
  pick(ids_[0]);
  EXPECT_EQ(takeAlert().second, L("Not Add Contact Again")) << "a person of a found group";
  EXPECT_EQ(list().back()->mergeContacts().size(), 1u);
  EXPECT_EQ(heights().back(), 51 + 93);

  // Dropping a found group frees its people; dropping the own group empties it.
  screen_->didCancelMergeObject(list()[0]);
  ASSERT_EQ(list().size(), 2u);
  pick(ids_[0]);
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  EXPECT_EQ(list().back()->mergeContacts().size(), 2u);
  screen_->didCancelMergeObject(list().back());
  EXPECT_EQ(heights(), (std::vector<double>{51 * 2 + 62, 47}));
}

TEST_F(MergeScreenTest, BatchMergeDropsAnOwnGroupOfOneAndEndsWithAFreshOwnGroup) {
  screen_->searchRepeatedContacts();
  pump();
  pick(ids_[4]);
  batchMerge();
  EXPECT_EQ(takeAlert(), (std::pair{L("批量合并"), mergedMessage(2)}));
  ASSERT_EQ(list().size(), 3u);
  EXPECT_TRUE(list()[0]->isMerged && list()[1]->isMerged);
  EXPECT_TRUE(list()[2]->mergeContacts().empty());
  EXPECT_EQ(heights(), (std::vector<double>{67, 67, 47}));
  EXPECT_EQ(personCount(), 3u);
  EXPECT_EQ(screen_->numLabel()->text(), L("No Contacts to Merge"));
  pick(ids_[4]);
  EXPECT_EQ(takeAlert().second, L("Not Add Contact Again")) << "the removed contact stays listed";

  screen_->mergeBatchContacts(true);
  EXPECT_EQ(takeAlert().second, L("No Contacts to Auto Merge"));
}

TEST_F(MergeScreenTest, AFailedClosingSaveReportsNoneAndLeavesTheGroupsOpen) {
  screen_->searchRepeatedContacts();
  pump();
  ab::AddressBook::setWriteFault([](const ab::WriteAttempt& attempt) -> std::optional<platform::Error> {
    if (attempt.operation == ab::WriteOperation::Save) return platform::Error(ab::kErrorDomain, 0);
    return std::nullopt;
  });
  batchMerge();
  EXPECT_EQ(takeAlert().second, mergedMessage(0));
  ab::AddressBook::setWriteFault(nullptr);
  EXPECT_FALSE(list()[0]->isMerged || list()[1]->isMerged);
  EXPECT_EQ(personCount(), 5u);
}

TEST_F(MergeScreenTest, ADragFromATileScrollsTheListAndATapStillPressesIt) {
  people({{"Dan", "Fox"}, {"Dan", "Fox"}, {"Eve", "Gray"}, {"Eve", "Gray"}, {"Fay", "Hart"}, {"Fay", "Hart"}});
  window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window_->setRootViewController(navigation_);
  window_->makeKeyAndVisible();
  screen_->searchRepeatedContacts();
  pump();
  ASSERT_EQ(list().size(), 6u);
  window_->layoutIfNeeded();
  auto table = screen_->tableView();
  auto cell = std::static_pointer_cast<LMMergeContactCell>(table->cellForRowAtIndexPath({0, 1}));
  ASSERT_TRUE(cell);
  const ui::Point tile = cell->contactButtons().front()->convertPointToView({20, 20}, nullptr);
  auto& touches = ui::Screen::main();
  touches.sendTouch(ui::TouchPhase::Began, tile);
  for (double dy = 10; dy <= 150; dy += 10) touches.sendTouch(ui::TouchPhase::Moved, {tile.x, tile.y - dy});
  touches.sendTouch(ui::TouchPhase::Ended, {tile.x, tile.y - 150});
  pump();
  EXPECT_GT(table->contentOffset().y, 100);
  EXPECT_EQ(navigation_->topViewController(), screen_) << "the drag opened the tile's person";

  const ui::Point moved = cell->contactButtons().front()->convertPointToView({20, 20}, nullptr);
  touches.tap(moved);
  pump();
  EXPECT_NE(navigation_->topViewController(), screen_) << "a tap opens the person";
}

TEST_F(MergeScreenTest, WithoutAccessTheHudComesDownOnTheEmptyState) {
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Denied).ok());
  screen_->searchRepeatedContacts();
  pump();
  EXPECT_FALSE(LMProgressHUD::sharedHUD().window());
  EXPECT_FALSE(screen_->mergeContactArray());
  EXPECT_EQ(heights().size(), 0u);
  EXPECT_EQ(screen_->numLabel()->text(), L("No Contacts to Merge"));
  screen_->mergeBatchContacts(false);
  EXPECT_EQ(takeAlert().second, L("No Contacts to Auto Merge"));
}

// The prompt over a group the user builds: not "nothing to merge" while it
// waits for a second contact, then one group, told as one.
TEST_F(MergeScreenTest, ThePromptFollowsAGroupBeingBuilt) {
  screen_->searchRepeatedContacts();
  pump();
  screen_->didCancelMergeObject(list()[0]);
  screen_->didCancelMergeObject(list()[0]);
  ASSERT_EQ(list().size(), 1u);
  EXPECT_EQ(screen_->numLabel()->text(), L("No Contacts to Merge"));
  pick(ids_[4]);
  EXPECT_EQ(screen_->numLabel()->text(), L("Add Tow Contacts At Least"));
  pick(ids_[0]);
  EXPECT_EQ(screen_->numLabel()->text(), ui::localizedCountString("Merge Contacts Prompt Format", 1));
  EXPECT_NE(screen_->numLabel()->text(), ui::stringWithFormat(L("Merge Contacts Prompt Format"), {std::int64_t{1}}))
      << "one group reads as one";
}

}  // namespace
}  // namespace lumora
