#include "support/DamagedAddressBook.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/addressbook/AddressBook.h"
#include "support/DamagedFile.h"

namespace testsupport {
namespace {

namespace ab = platform::addressbook;
namespace fs = std::filesystem;

// One integer SQLite answers about the file.
long long ask(const fs::path& file, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
  const long long value = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
  sqlite3_finalize(st);
  sqlite3_close_v2(db);
  return value;
}

}  // namespace

void makeWholeAddressBook(int people) {
  const fs::path store = ab::AddressBook::storePath();
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove_all(store.string() + suffix, ignored);
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
  auto book = ab::AddressBook::create();
  ASSERT_TRUE(book.ok());
  for (int i = 0; i < people; ++i) {
    auto person = (*book)->createPerson((*book)->sourceWithId(ab::kLocalSourceId));
    ASSERT_TRUE(person.ok());
    ASSERT_TRUE(person->setValue(ab::PersonProperty::FirstName, "Person " + std::to_string(i)).ok());
  }
  ASSERT_TRUE((*book)->save().ok());
}

void damageAddressBook(BookDamage damage, int people) {
  makeWholeAddressBook(people);
  const fs::path store = ab::AddressBook::storePath();
  // What the write-ahead log holds goes into the file, which is then alone.
  ask(store, "PRAGMA wal_checkpoint(TRUNCATE)");
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(store.string() + suffix);
  if (damage == BookDamage::Folder) {
    fs::remove(store);
    fs::create_directory(store);
    std::ofstream(store / "inside") << "x";
    return;
  }
  // The damaged book is made beside the whole one and takes its place: a
  // new file, which no connection of this process opened while it was
  // whole. (Damaged in place, it would share SQLite's state of that file
  // with such a connection: its log and shared memory, and the checkpoint
  // its close writes back into the file.)
  const fs::path damaged = store.string() + ".damaged";
  fs::copy_file(store, damaged, fs::copy_options::overwrite_existing);
  std::string bytes;
  {
    std::ifstream in(damaged, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  switch (damage) {
    case BookDamage::CutInHalf:
      bytes.resize(bytes.size() / 2);
      break;
    case BookDamage::Garbage:
      bytes.assign(bytes.size(), '\x5a');
      break;
    case BookDamage::BrokenHeader:
      bytes.replace(0, 16, "Not SQLite here!");
      break;
    case BookDamage::ZeroedPage:
    case BookDamage::Folder:
      break;
  }
  if (damage == BookDamage::ZeroedPage) {
    ASSERT_TRUE(damageTable(damaged, "Record", '\0'));
  } else {
    std::ofstream(damaged, std::ios::binary | std::ios::trunc) << bytes;
  }
  fs::rename(damaged, store);
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(damaged.string() + suffix);
}

}  // namespace testsupport
