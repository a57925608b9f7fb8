// The address book stand-in against raw SQLite doing the same work: one
// person by id among 50,000 (in a new handle, and in a handle in use), and
// saving 10,000 new people (time and heap held afterwards).
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include <random>
#include <vector>

#include "ContactsBenchSupport.h"

namespace {

using contactsbench::RawDatabase;
using contactsbench::ScratchHome;
namespace ab = platform::addressbook;

constexpr int kBookPeople = 50000;
constexpr int kNewPeople = 10000;

// One book of 50,000 people shared by the look-up benchmarks, removed with
// its folder when the process exits.
struct AddressBookBenchLookupBook {
  AddressBookBenchLookupBook() { contactsbench::filledBook(kBookPeople); }
  ScratchHome home;
};

ScratchHome& lookupHome() {
  static AddressBookBenchLookupBook book;
  platform::AppHome::setRoot(book.home.root());
  return book.home;
}

ab::RecordId randomPerson(std::mt19937& random) {
  return static_cast<ab::RecordId>(1 + random() % kBookPeople);  // the local source is id 0
}

// Opening a handle (the connection to the store file), which comes before
// any look-up.
void BM_AddressBookOpenHandle(benchmark::State& state) {
  lookupHome();
  for (auto _ : state) benchmark::DoNotOptimize(*ab::AddressBook::create());
}
BENCHMARK(BM_AddressBookOpenHandle)->Unit(benchmark::kMicrosecond)->Iterations(20);

void BM_AddressBookFirstLookupInNewHandle(benchmark::State& state) {
  lookupHome();
  std::mt19937 random(3);
  for (auto _ : state) {
    state.PauseTiming();
    auto book = *ab::AddressBook::create();
    state.ResumeTiming();
    benchmark::DoNotOptimize(book->personWithId(randomPerson(random)).id());
    state.PauseTiming();
    book.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AddressBookFirstLookupInNewHandle)->Unit(benchmark::kMicrosecond)->Iterations(20);

void BM_AddressBookLookupInHandleInUse(benchmark::State& state) {
  lookupHome();
  auto book = *ab::AddressBook::create();
  std::mt19937 random(3);
  (void)book->personWithId(randomPerson(random));
  for (auto _ : state) {
    ab::Record person = book->personWithId(randomPerson(random));
    benchmark::DoNotOptimize(person.stringValue(ab::PersonProperty::FirstName));
  }
}
BENCHMARK(BM_AddressBookLookupInHandleInUse)->Unit(benchmark::kMicrosecond);

void BM_RawSqlitePersonById(benchmark::State& state) {
  lookupHome();
  RawDatabase db(ab::AddressBook::storePath());
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db.get(), "select type, source, link, data from Record where id=?", -1, &select, nullptr);
  std::mt19937 random(3);
  for (auto _ : state) {
    sqlite3_bind_int(select, 1, randomPerson(random));
    if (sqlite3_step(select) == SQLITE_ROW) {
      auto data = nlohmann::json::parse(reinterpret_cast<const char*>(sqlite3_column_text(select, 3)));
      benchmark::DoNotOptimize(data);
    }
    sqlite3_reset(select);
  }
  sqlite3_finalize(select);
}
BENCHMARK(BM_RawSqlitePersonById)->Unit(benchmark::kMicrosecond);

void BM_AddressBookSaveNewPeople(benchmark::State& state) {
  contactsbench::timeWithHeapHeld(state, [](const ScratchHome&) {
    auto book = *ab::AddressBook::create();
    const ab::Record local = book->sourceWithId(ab::kLocalSourceId);
    for (int i = 0; i < kNewPeople; ++i) contactsbench::addPerson(*book, local, i);
    benchmark::DoNotOptimize(book->save().ok());
    return book;
  });
}
BENCHMARK(BM_AddressBookSaveNewPeople)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same people as JSON rows, inserted in one transaction, kept in memory.
void BM_RawSqliteSaveNewPeople(benchmark::State& state) {
  struct Row {
    std::int64_t id;
    std::string data;
  };
  struct Kept {
    std::unique_ptr<RawDatabase> db;
    std::vector<Row> rows;
  };
  contactsbench::timeWithHeapHeld(state, [](const ScratchHome& home) {
    Kept kept{std::make_unique<RawDatabase>(home.root() / "raw.db"), {}};
    RawDatabase& db = *kept.db;
    db.exec("pragma journal_mode=wal");
    db.exec("create table Record(id integer primary key autoincrement, type integer not null, "
            "source integer not null, link integer, data text not null, image blob)");
    kept.rows.reserve(kNewPeople);
    db.exec("begin immediate");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db.get(), "insert into Record(type, source, data) values (0, 0, ?)", -1, &insert, nullptr);
    for (int i = 0; i < kNewPeople; ++i) {
      nlohmann::json values = {
          {"FirstName", "Given" + std::to_string(i)},
          {"LastName", "Family" + std::to_string(i % 997)},
          {"Phone", {{{"id", 0}, {"label", ab::kPersonPhoneMobileLabel}, {"value", "+1 555 " + std::to_string(1000000 + i)}}}},
          {"Email", {{{"id", 0}, {"value", "person" + std::to_string(i) + "@example.org"}}}},
          {"CreationDate", 1700000000000000},
          {"ModificationDate", 1700000000000000}};
      std::string data = nlohmann::json{{"values", values}}.dump();
      sqlite3_bind_text(insert, 1, data.c_str(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
      kept.rows.push_back(Row{sqlite3_last_insert_rowid(db.get()), std::move(data)});
    }
    sqlite3_finalize(insert);
    db.exec("commit");
    return kept;
  });
}
BENCHMARK(BM_RawSqliteSaveNewPeople)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
