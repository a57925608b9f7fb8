#include "screens/contacts/LMPersonCard.h"

#include "cloud/model/LMManagedRecordContext.h"
#include "platform/ui/Resources.h"
#include "screens/contacts/LMTableViewController.h"

namespace lumora {

namespace ab = platform::addressbook;

const std::vector<ab::PersonProperty>& LMPersonCard::displayedProperties() {
  static const std::vector<ab::PersonProperty> properties = {
      ab::PersonProperty::FirstNamePhonetic, ab::PersonProperty::LastNamePhonetic,
      ab::PersonProperty::MiddleNamePhonetic, ab::PersonProperty::Organization, ab::PersonProperty::JobTitle,
      ab::PersonProperty::Department, ab::PersonProperty::Email, ab::PersonProperty::Birthday,
      ab::PersonProperty::Note, ab::PersonProperty::Address, ab::PersonProperty::Date, ab::PersonProperty::Phone,
      ab::PersonProperty::InstantMessage, ab::PersonProperty::URL, ab::PersonProperty::RelatedNames};
  return properties;
}

std::shared_ptr<platform::addressbookui::PersonViewController> LMPersonCard::personViewController(
    std::optional<std::int32_t> recordID, std::shared_ptr<ab::AddressBook>& addressBook,
    std::function<void()> backAction) {
  addressBook.reset();
  auto opened = ab::AddressBook::create();
  if (!opened) return nullptr;
  addressBook = *opened;
  ab::Record person = LMManagedRecordContext::recordABPersonWithRecordID(recordID, addressBook.get());
  if (!person) return nullptr;
  auto card = std::make_shared<platform::addressbookui::PersonViewController>();
  card->setAddressBook(addressBook);
  card->setDisplayedPerson(person);
  card->setDisplayedProperties(displayedProperties());
  card->navigationItem().title = platform::ui::localizedString("简介");
  card->navigationItem().leftBarButtonItem = LMTableViewController::backItem(std::move(backAction));
  return card;
}

}  // namespace lumora
