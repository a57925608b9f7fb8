// The duplicate-merge screen: the groups of duplicate contacts that the
// contacts store finds in the synced source, each a row, followed by the
// user's own group (filled through the people picker). The user leaves
// contacts out, drops groups, looks at a contact's card, opens the field-by-
// field merge of a group, or merges every mergeable group at once. The
// search and the batch merge run as tasks on the contact sync adapter's
// queue behind the HUD and hand their results to the main queue; the list
// and the set of listed ids change only on the main thread.
//
// Ownership: made with std::make_shared (the scene registry does); owns the
// list (groups shared with the cells and the manual merge screen); the
// delegate is held weakly. Threading: main thread, apart from the two tasks.
// Failure: an address book that cannot be opened (or has no synced source)
// ends the search with the empty state and the batch merge with a result
// of 0; the HUD always comes down.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbookui/PeoplePickerNavigationController.h"
#include "screens/contacts/LMManualMergeTableViewController.h"
#include "screens/contacts/LMMergeContactCell.h"
#include "screens/contacts/LMTableViewController.h"

namespace lumora {

class LMMergeTableViewControllerDelegate {
 public:
  virtual ~LMMergeTableViewControllerDelegate() = default;
  std::function<void()> didCancelMerge;
};

class LMMergeTableViewController : public LMTableViewController {
 public:
  LMMergeTableViewController();

  void setDelegate(std::weak_ptr<LMMergeTableViewControllerDelegate> delegate) { delegate_ = std::move(delegate); }
  // nullopt until a search has found contacts.
  const std::optional<std::vector<LMMergeGroup>>& mergeContactArray() const { return mergeContactArray_; }
  const std::set<std::int32_t>& mergeContactIDs() const { return mergeContactIDs_; }
  std::shared_ptr<LMContactSyncAdapter> adapter() const { return LMContactSyncAdapter::sharedAdapter(); }

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;

  void searchRepeatedContacts();
  // `fromUser`: pressed (recorded in the statistics) rather than called.
  void cancelMerge(bool fromUser);
  void mergeBatchContacts(bool fromUser);
  void popNavigationViewController();
  void showAlertViewWithTitle(const std::optional<std::string>& title, const std::string& message);

  // Merge group cells.
  void willManualMergeObject(const LMMergeGroup& group);
  void willAddContactToMergeObject(const LMMergeGroup& group);
  void didCancelMergeObject(const LMMergeGroup& group);
  void didSelectMergeContact(const LMContact& contact);
  // People picker.
  void peoplePickerDidSelectPerson(platform::addressbookui::PeoplePickerNavigationController& picker,
                                   const platform::addressbook::Record& person);
  // Manual merge screen.
  void didSuccessMergeObject(const LMMergeGroup& group);
  void didFailMergeObject();

  int numberOfRowsInSection(platform::ui::TableView& table, int section) override;
  std::shared_ptr<platform::ui::TableViewCell> cellForRowAtIndexPath(platform::ui::TableView& table,
                                                                     platform::ui::IndexPath path) override;
  std::optional<double> heightForRowAtIndexPath(platform::ui::TableView& table, platform::ui::IndexPath path) override;

 private:
  void cancelMergeButton() { cancelMerge(true); }
  void mergeBatchButton() { mergeBatchContacts(true); }
  void confirmBatchMerge(const std::string& buttonTitle);
  void didFinishSearch(std::optional<std::vector<LMMergeManagedObject>> groups);
  void didFinishBatchMerge(std::vector<LMMergeGroup> groups, std::vector<LMMergeManagedObject> merged,
                           std::size_t result);
  static LMMergeGroup newOwnGroup();
  std::weak_ptr<LMMergeTableViewController> weakSelf();

  std::weak_ptr<LMMergeTableViewControllerDelegate> delegate_;
  std::optional<std::vector<LMMergeGroup>> mergeContactArray_;
  std::set<std::int32_t> mergeContactIDs_;
  std::shared_ptr<platform::addressbook::AddressBook> addressBook_;
  std::shared_ptr<LMMergeContactCellDelegate> cellDelegate_ = std::make_shared<LMMergeContactCellDelegate>();
  std::shared_ptr<platform::addressbookui::PeoplePickerNavigationControllerDelegate> pickerDelegate_ =
      std::make_shared<platform::addressbookui::PeoplePickerNavigationControllerDelegate>();
  std::shared_ptr<LMManualMergeTableViewControllerDelegate> manualDelegate_ =
      std::make_shared<LMManualMergeTableViewControllerDelegate>();
};

}  // namespace lumora
