// The phone's address book found damaged in each way a disk or a hand
// leaves one, for the tests of what the app tells of it.
#pragma once

namespace testsupport {

enum class BookDamage {
  CutInHalf,     // the file's second half gone
  Garbage,       // every byte overwritten
  ZeroedPage,    // the page at the root of its records zeroed
  BrokenHeader,  // the file's first bytes no longer name SQLite
  Folder,        // a folder with a file in it where the file was
};

struct BookDamageCase {
  const char* what;
  BookDamage damage;
};

inline constexpr BookDamageCase kBookDamages[] = {
    {"cut in half", BookDamage::CutInHalf},        {"filled with garbage", BookDamage::Garbage},
    {"a zeroed page", BookDamage::ZeroedPage},     {"a broken header", BookDamage::BrokenHeader},
    {"a folder in its place", BookDamage::Folder},
};

// Makes the current app home's address book anew and whole, with access
// granted and `people` people in the device's local source.
void makeWholeAddressBook(int people);

// Makes the book whole (as above), then damages its file that way.
void damageAddressBook(BookDamage damage, int people = 40);

}  // namespace testsupport
