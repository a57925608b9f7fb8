// Helpers shared by the contacts benchmarks: a scratch app home, the heap in
// use, an authorised address book filled with people, and a raw SQLite
// connection for the reference runs that do the same work by hand.
#pragma once

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/storage/AppHome.h"
#include "platform/storage/UserDefaults.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbook/Labels.h"

namespace contactsbench {

namespace ab = platform::addressbook;

// A fresh app home for one benchmark run, removed afterwards.
class ScratchHome {
 public:
  ScratchHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumora-bench-XXXXXX").string();
    if (char* made = mkdtemp(pattern.data())) root_ = made;
    platform::AppHome::setRoot(root_);
    platform::UserDefaults::resetStandardForTesting();
    (void)ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized);
  }
  ~ScratchHome() {
    platform::UserDefaults::resetStandardForTesting();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;
  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
};

// Bytes of heap in use right now.
inline std::size_t heapInUse() { return mallinfo2().uordblks; }

// Times `work(home)` once per iteration in a new scratch home and reports as
// "heap_held_bytes" the heap still held by what it returns.
template <class Work>
void timeWithHeapHeld(benchmark::State& state, const Work& work) {
  std::size_t held = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ScratchHome home;
    const std::size_t before = heapInUse();
    state.ResumeTiming();
    {
      auto kept = work(home);
      state.PauseTiming();
      held = heapInUse() - before;
    }
    state.ResumeTiming();
  }
  state.counters["heap_held_bytes"] = static_cast<double>(held);
}

// Person `i` of a benchmark book: first and last name, a phone number and an
// e-mail address (unsaved).
inline ab::Record addPerson(ab::AddressBook& book, const ab::Record& source, int i) {
  ab::Record person = *book.createPerson(source);
  (void)person.setValue(ab::PersonProperty::FirstName, "Given" + std::to_string(i));
  (void)person.setValue(ab::PersonProperty::LastName, "Family" + std::to_string(i % 997));
  ab::MultiValue<std::string> phones;
  phones.add("+1 555 " + std::to_string(1000000 + i), std::string(ab::kPersonPhoneMobileLabel));
  (void)person.setValue(ab::PersonProperty::Phone, phones);
  ab::MultiValue<std::string> emails;
  emails.add("person" + std::to_string(i) + "@example.org", std::nullopt);
  (void)person.setValue(ab::PersonProperty::Email, emails);
  return person;
}

// A handle on a book of `count` saved people in the local source.
inline std::shared_ptr<ab::AddressBook> filledBook(int count) {
  auto book = *ab::AddressBook::create();
  const ab::Record local = book->sourceWithId(ab::kLocalSourceId);
  for (int i = 0; i < count; ++i) addPerson(*book, local, i);
  (void)book->save();
  return book;
}

// A raw SQLite connection on a file of the scratch home.
class RawDatabase {
 public:
  explicit RawDatabase(const std::filesystem::path& file) {
    sqlite3_open(file.string().c_str(), &db_);
  }
  ~RawDatabase() { sqlite3_close(db_); }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;
  sqlite3* get() const { return db_; }
  void exec(const char* sql) { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace contactsbench
