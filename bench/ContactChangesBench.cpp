// Change detection and duplicate search over a book of 10,000 people, each
// run on a new address-book handle (so reading the book is part of it).
#include <benchmark/benchmark.h>

#include <chrono>

#include "ContactsBenchSupport.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "utils/LMUtils.h"
#include "platform/dispatch/Clock.h"

namespace {

using contactsbench::ScratchHome;
using lumora::LMContact;
using lumora::LMContactRelation;
using lumora::LMManagedRecordContext;
namespace ab = platform::addressbook;

constexpr int kPeople = 10000;
constexpr int kEach = 100;

// Rows in step with every person of the book, as a finished sync leaves them.
void recordSynced(LMManagedRecordContext& store, ab::AddressBook& book) {
  std::int64_t serverID = 1;
  (void)store.performBatch([&]() -> platform::Status {
    for (const auto& [recordID, contact] :
         LMManagedRecordContext::searchAllLocalContacts(&book, book.sourceWithId(ab::kLocalSourceId))) {
      LMContactRelation row;
      row.setRecordID(recordID);
      row.setServerID(serverID);
      row.setServerSync(serverID);
      row.setLocalServerSync(serverID++);
      row.setLocalRecordSync(
          std::chrono::duration<double>(contact.modificationTime->time_since_epoch()).count());
      row.setLocalJsonString(lumora::LMUtils::stringFromJSONObject(contact.dictionaryForLumoraJSON()["content"]).value());
      store.addContactRelation(row);
    }
    return platform::Status::success();
  });
}

// Times `run(book)` once per iteration on a new handle (opened untimed).
template <class Run>
void onNewHandle(benchmark::State& state, const Run& run) {
  for (auto _ : state) {
    state.PauseTiming();
    auto book = *ab::AddressBook::create();
    state.ResumeTiming();
    run(*book, book->sourceWithId(ab::kLocalSourceId));
  }
}

void BM_LocalChangeDetection(benchmark::State& state) {
  ScratchHome home;
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  LMManagedRecordContext store;
  {
    auto book = contactsbench::filledBook(kPeople);
    recordSynced(store, *book);
    // A hundred people added, a hundred edited and a hundred deleted since.
    clock->advance(std::chrono::minutes(1));
    const ab::Record local = book->sourceWithId(ab::kLocalSourceId);
    for (int i = 0; i < kEach; ++i) {
      contactsbench::addPerson(*book, local, kPeople + i);
      (void)book->personWithId(1 + i * 97).setValue(ab::PersonProperty::Note, "edited");
      (void)book->removeRecord(book->personWithId(2 + i * 97));
    }
    (void)book->save();
  }
  std::size_t found = 0;
  onNewHandle(state, [&](ab::AddressBook& book, const ab::Record& local) {
    if (!store.loadLocalChangedContactsIgnoreGroupChanges(&book, local).ok()) {
      state.SkipWithError("the store could not be read");
      return;
    }
    found = store.localAddContactDic().size() + store.localModifyContactDic().size() +
            store.localDeleteContactDic().size();
  });
  state.counters["changes_found"] = static_cast<double>(found);
}
BENCHMARK(BM_LocalChangeDetection)->Unit(benchmark::kMillisecond);

void BM_DuplicateSearch(benchmark::State& state) {
  ScratchHome home;
  {
    auto book = contactsbench::filledBook(kPeople);
    // A hundred people each sharing a name, a number or an address with
    // somebody of the book.
    const ab::Record local = book->sourceWithId(ab::kLocalSourceId);
    for (int i = 0; i < kEach; ++i) {
      ab::Record twin = *book->createPerson(local);
      const int of = i * 97;
      switch (i % 3) {
        case 0:
          (void)twin.setValue(ab::PersonProperty::FirstName, "Given" + std::to_string(of));
          (void)twin.setValue(ab::PersonProperty::LastName, "Family" + std::to_string(of % 997));
          break;
        case 1: {
          ab::MultiValue<std::string> phones;
          phones.add("+1-555-" + std::to_string(1000000 + of), std::nullopt);
          (void)twin.setValue(ab::PersonProperty::Phone, phones);
          break;
        }
        default: {
          ab::MultiValue<std::string> emails;
          emails.add("person" + std::to_string(of) + "@example.org", std::nullopt);
          (void)twin.setValue(ab::PersonProperty::Email, emails);
        }
      }
    }
    (void)book->save();
  }
  std::size_t groups = 0;
  onNewHandle(state, [&](ab::AddressBook& book, const ab::Record& local) {
    auto found = LMManagedRecordContext::searchForMergeContacts(&book, local);
    groups = found ? found->size() : 0;
  });
  state.counters["groups_found"] = static_cast<double>(groups);
}
BENCHMARK(BM_DuplicateSearch)->Unit(benchmark::kMillisecond);

}  // namespace
