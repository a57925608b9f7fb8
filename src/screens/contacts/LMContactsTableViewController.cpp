#include "screens/contacts/LMContactsTableViewController.h"

#include "platform/ui/Color.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/contacts/LMPersonCard.h"

namespace lumora {

namespace ui = platform::ui;

LMContactsTableViewController::LMContactsTableViewController() {
  cellDelegate_->didContactCellPressed = [this](LMContactCell& cell) { didContactCellPressed(cell); };
}

void LMContactsTableViewController::viewDidLoad() {
  LMTableViewController::viewDidLoad();
  setBackItem(&LMContactsTableViewController::cancel);
  tableView()->registerCell("contactCell", [] {
    auto cell = LMContactCell::create("contactCell");
    cell->textLabel()->setTextColor(ui::Color::black());
    cell->textLabel()->setFont(ui::Font::systemFont(17));
    return cell;
  });
  tableView()->setRowHeight(51);
  tableView()->reloadData();
}

void LMContactsTableViewController::cancel() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->didCancelShowContacts) delegate->didCancelShowContacts();
}

void LMContactsTableViewController::popNavigationViewController() {
  if (auto navigation = navigationController()) navigation->popViewController(true);
}

int LMContactsTableViewController::numberOfRowsInSection(ui::TableView&, int) {
  if (contacts.empty()) {
    numLabel()->setText(ui::localizedString("无联系人"));
    return 0;
  }
  numLabel()->setText(ui::localizedCountString("Contacts Format", static_cast<std::int64_t>(contacts.size())));
  return static_cast<int>(contacts.size());
}

std::shared_ptr<ui::TableViewCell> LMContactsTableViewController::cellForRowAtIndexPath(ui::TableView& table,
                                                                                       ui::IndexPath path) {
  auto cell = std::static_pointer_cast<LMContactCell>(table.dequeueReusableCell("contactCell"));
  if (path.row < 0 || path.row >= static_cast<int>(contacts.size())) return cell;
  cell->setDelegate(cellDelegate_);
  const LMContact& contact = contacts[static_cast<std::size_t>(path.row)];
  cell->textLabel()->setText(contact.name && !contact.name->empty() ? *contact.name
                                                                     : ui::localizedString("无名称"));
  cell->setTag(path.row);
  cell->setIsLast(path.row + 1 == static_cast<int>(contacts.size()));
  return cell;
}

void LMContactsTableViewController::didContactCellPressed(LMContactCell& cell) {
  if (cell.tag() < 0 || cell.tag() >= static_cast<int>(contacts.size())) return;
  std::weak_ptr<LMContactsTableViewController> weak =
      std::static_pointer_cast<LMContactsTableViewController>(shared_from_this());
  auto card = LMPersonCard::personViewController(contacts[static_cast<std::size_t>(cell.tag())].recordID,
                                                 addressBook_, [weak] {
                                                   if (auto self = weak.lock()) self->popNavigationViewController();
                                                 });
  if (!card) return;
  if (auto navigation = navigationController()) navigation->pushViewController(card, true);
}

}  // namespace lumora
