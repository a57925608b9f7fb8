// The platform's person card: the person's name as the address book
// composes it, over a read-only list of the person's values for the
// properties the caller names, in the caller's order, each value under its
// label's display text (the property's own name when it has no label), in
// the app's language. The caller supplies the navigation title and the
// back item; nothing can be edited.
//
// Ownership: holds the address-book handle and the person it was given.
// Threading: main thread. Failure: a person without values shows no rows.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/addressbook/AddressBook.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"

namespace platform::addressbookui {

class PersonViewController : public ui::ViewController, public ui::TableViewDataSource {
 public:
  struct Row {
    std::string label;
    std::string value;
  };

  void setAddressBook(std::shared_ptr<addressbook::AddressBook> book) { addressBook_ = std::move(book); }
  void setDisplayedPerson(addressbook::Record person) { person_ = std::move(person); }
  void setDisplayedProperties(std::vector<addressbook::PersonProperty> properties) {
    properties_ = std::move(properties);
  }
  // Always false here: the card never edits.
  bool allowsEditing() const { return false; }
  const addressbook::Record& displayedPerson() const { return person_; }

  // The rows shown now: every value of the displayed properties, in order.
  std::vector<Row> rows() const;
  // The name over the rows ("" for a person without one).
  std::string name() const;
  // The display text of a value's label, or of the property when the value
  // has none, in the app's language.
  static std::string labelText(const std::optional<std::string>& label, addressbook::PersonProperty property);
  const std::shared_ptr<ui::Label>& nameLabel() const { return nameLabel_; }

  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewWillLayoutSubviews() override;
  int numberOfRowsInSection(ui::TableView&, int) override { return static_cast<int>(rows_.size()); }
  std::shared_ptr<ui::TableViewCell> cellForRowAtIndexPath(ui::TableView& table, ui::IndexPath path) override;

 private:
  std::shared_ptr<addressbook::AddressBook> addressBook_;
  addressbook::Record person_;
  std::vector<addressbook::PersonProperty> properties_;
  std::vector<Row> rows_;
  std::shared_ptr<ui::TableView> table_;
  std::shared_ptr<ui::Label> nameLabel_;
};

}  // namespace platform::addressbookui
