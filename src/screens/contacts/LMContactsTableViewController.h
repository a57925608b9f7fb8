// The list of a given set of contacts by name under a count line; a tap on a
// row pushes the read-only person card of that contact (nothing when the
// person is gone). The back item asks the delegate to close the list.
//
// Ownership: made with std::make_shared; holds the contacts and the address-
// book handle of the card it pushed; the delegate is held weakly.
// Threading: main thread. Nothing fails.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "cloud/model/LMContact.h"
#include "platform/addressbook/AddressBook.h"
#include "screens/contacts/LMContactCell.h"
#include "screens/contacts/LMTableViewController.h"

namespace lumora {

class LMContactsTableViewControllerDelegate {
 public:
  virtual ~LMContactsTableViewControllerDelegate() = default;
  std::function<void()> didCancelShowContacts;
};

class LMContactsTableViewController : public LMTableViewController {
 public:
  LMContactsTableViewController();

  std::vector<LMContact> contacts;
  void setDelegate(std::weak_ptr<LMContactsTableViewControllerDelegate> delegate) { delegate_ = std::move(delegate); }

  void viewDidLoad() override;
  void cancel();
  void popNavigationViewController();
  void didContactCellPressed(LMContactCell& cell);

  int numberOfRowsInSection(platform::ui::TableView& table, int section) override;
  std::shared_ptr<platform::ui::TableViewCell> cellForRowAtIndexPath(platform::ui::TableView& table,
                                                                     platform::ui::IndexPath path) override;

 private:
  std::weak_ptr<LMContactsTableViewControllerDelegate> delegate_;
  std::shared_ptr<LMContactCellDelegate> cellDelegate_ = std::make_shared<LMContactCellDelegate>();
  std::shared_ptr<platform::addressbook::AddressBook> addressBook_;
};

}  // namespace lumora
