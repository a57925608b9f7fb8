// The platform's people picker: a navigation screen listing the address
// book's people by display name. A tap on a row reports that person to the
// delegate, "取消" reports the cancel; the picker never dismisses itself (the
// presenter does).
//
// Ownership: made with create(); it owns its list screen and its address-book
// handle; the delegate is held weakly and its hooks are optional. Threading:
// main thread. Failure: without address-book access the list is empty.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/addressbook/AddressBook.h"
#include "platform/ui/ViewController.h"

namespace platform::addressbookui {

class PeoplePickerNavigationController;

class PeoplePickerNavigationControllerDelegate {
 public:
  virtual ~PeoplePickerNavigationControllerDelegate() = default;
  std::function<void(PeoplePickerNavigationController& picker, const addressbook::Record& person)> didSelectPerson;
  std::function<void(PeoplePickerNavigationController& picker)> didCancel;
};

class PeoplePickerNavigationController : public ui::NavigationController {
 public:
  // A picker over a new handle on the device's address book.
  static std::shared_ptr<PeoplePickerNavigationController> create();

  void setPeoplePickerDelegate(std::weak_ptr<PeoplePickerNavigationControllerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  // The people listed, in row order.
  const std::vector<addressbook::Record>& people() const { return people_; }
  // What a tap on row `index` does (out of range: nothing).
  void selectPersonAtIndex(std::size_t index);
  void cancel();

 private:
  std::weak_ptr<PeoplePickerNavigationControllerDelegate> delegate_;
  std::shared_ptr<addressbook::AddressBook> addressBook_;
  std::vector<addressbook::Record> people_;
  friend class PeopleListController;
};

}  // namespace platform::addressbookui
