// The app home's address book replaced by a new, empty one, as a restore or
// a reset leaves it (and as the app's damaged-book message advises): its
// file emptied, its log gone. The next handle makes the book anew in it,
// with a mark of its own, and its record ids start over from the first.
// No handle of the book may be open.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/addressbook/AddressBook.h"

namespace testsupport {

inline void replaceAddressBookWithAnEmptyOne() {
  const std::string store = platform::addressbook::AddressBook::storePath().string();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(store + suffix);
  std::ofstream(store, std::ios::binary | std::ios::trunc).flush();
}

}  // namespace testsupport
