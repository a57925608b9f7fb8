// The read-only person card the contacts screens push for one contact: a
// new address-book handle (kept by the caller in `addressBook`, replacing
// the one held before), the person with the contact's record id, the
// fifteen properties the screens show, the title "简介" and the caller's
// back item.
//
// Threading: main thread. Failure: nullptr (nothing pushed) when the
// address book cannot be opened or the person is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/addressbook/AddressBook.h"
#include "platform/addressbookui/PersonViewController.h"

namespace lumora {

class LMPersonCard {
 public:
  LMPersonCard() = delete;
  // The properties the card shows, in its order.
  static const std::vector<platform::addressbook::PersonProperty>& displayedProperties();
  static std::shared_ptr<platform::addressbookui::PersonViewController> personViewController(
      std::optional<std::int32_t> recordID, std::shared_ptr<platform::addressbook::AddressBook>& addressBook,
      std::function<void()> backAction);
};

}  // namespace lumora
