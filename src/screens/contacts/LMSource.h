// One address-book source as the source merge screen lists it: its record
// id, name and counts, and whether it is ticked for the import (yes when
// made). Keeps no reference to the address book.
//
// A plain value; main thread. Nothing fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/addressbook/AddressBook.h"

namespace lumora {

class LMSource {
 public:
  // Filled from `source` when both it and `addressBook` are given.
  static LMSource initWithSource(const platform::addressbook::Record& source,
                                 platform::addressbook::AddressBook* addressBook);

  std::int32_t recordID = 0;
  std::optional<std::string> name;
  std::int64_t contactNum = 0;
  std::int64_t groupNum = 0;
  bool selected = true;
};

}  // namespace lumora
