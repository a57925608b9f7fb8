// contact_device: one phone of the contact sync and gallery backup tests, as
// a process of its own (its app home, address book, photo library, stores
// and preferences are those of the process, so two phones of one account
// are two processes).
//
//   contact_device HOME CLOUD_URL USER_ID SERVICE_TOKEN KEY COMMAND [ARGS]
//
// Commands:
//   sync              loads the cloud's changes and runs one full sync;
//                     exit 0 on success, 2 on failure (the error on stderr)
//   edit TAG SEED     random edits of the book (people added with names
//                     made from TAG, edited, deleted, moved between
//                     groups); prints {"added", "edited", "deleted"}
//   groups NAME...    adds the groups that are missing
//   people N TAG      adds N people named TAG0 Person, TAG1 Person...;
//                     prints their record ids
//   newbook           replaces the address book by a new, empty one
//   forgetbook        forgets which address book the store's syncs ran
//                     against (as a store that never could read its mark)
//   photo NAME FILE   gives the person named NAME the picture in FILE
//   phone NAME NUMBER gives the person named NAME that mobile number
//   photos            prints {name: SHA-1 of the picture} of the people
//                     with one
//   dump              prints the book in the DeviceDump form
//   backup            backs up the photo library (HOME/Media) once; exit 0
//                     on success, 2 on failure
//
// With LUMORA_DEVICE_STOP_AT=N the process stops itself (SIGSTOP) at the
// N-th step of a sync or backup (each address-book write, each request,
// each progress report, each image backed up), so that a test can kill it
// there.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/passport/QBPassportsManager.h"
#include "contactdevice/DeviceDump.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/UserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbook/Labels.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/EmptyAddressBook.h"
#include "support/Sanitizers.h"
#include "utils/SHA1.h"
#include "utils/ServiceHosts.h"

namespace {

namespace ab = platform::addressbook;
using contactdevice::Json;
using lumora::LMContact;
using lumora::LMManagedRecordContext;

// The system's time without sleeping: the minimum time of batch sends and
// retry pauses pass at once.
class SleeplessClock final : public platform::Clock {
 public:
  TimePoint now() const override { return system_.now(); }
  SteadyTimePoint steadyNow() const override { return system_.steadyNow(); }
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline,
                 const std::function<bool()>& pred) override {
    return system_.waitUntil(lock, cv, deadline, pred);
  }
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, SteadyTimePoint deadline,
                 const std::function<bool()>& pred) override {
    return system_.waitUntil(lock, cv, deadline, pred);
  }
  void sleepFor(Duration) override {}
  bool sleepFor(std::unique_lock<std::mutex>&, std::condition_variable&, Duration,
                const std::function<bool()>&) override {
    return true;
  }

 private:
  platform::SystemClock system_;
};

std::atomic<long> steps{0};
long stopAt = 0;

void step() {
  if (++steps == stopAt) raise(SIGSTOP);
}

class SteppingAdapter : public lumora::LMContactSyncAdapter {
 protected:
  std::shared_ptr<lumora::LMHTTPRequestOperation> operationWithMethod(const std::string& method,
                                                                      const std::string& url,
                                                                      const Json& parameters) override {
    step();
    return LMContactSyncAdapter::operationWithMethod(method, url, parameters);
  }
};

class SteppingGallery : public lumora::LMImageSyncAdapter {
 protected:
  std::shared_ptr<lumora::LMHTTPRequestOperation> galleryOperation(const std::string& method,
                                                                   const std::string& url,
                                                                   const Json& parameters) override {
    step();
    return LMImageSyncAdapter::galleryOperation(method, url, parameters);
  }
};

// Runs `work` on a worker thread while this thread pumps the main queue.
void offMain(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  platform::MainQueue::main().runUntil([&] { return done.load(); }, testsupport::scaled(std::chrono::minutes(5)));
  worker.join();
}

int runBackup() {
  namespace photos = platform::photos;
  if (!photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized)) return 3;
  auto gallery = std::make_shared<SteppingGallery>();
  auto delegate = std::make_shared<lumora::LMImageSyncAdapterDelegate>();
  std::optional<platform::Error> failure;
  delegate->didAdapterUploadImage = [](const std::optional<lumora::LMImage>&, std::uint64_t, std::uint64_t) {
    step();
  };
  delegate->didAdapterFailBackupImages = [&](const platform::Error& error) { failure = error; };
  gallery->setDelegate(delegate);
  offMain([&] { gallery->backupAllImages(); });
  std::cerr << "backup steps: " << steps.load() << "\n";
  if (failure) {
    std::cerr << "backup failed: " << failure->description() << "\n";
    return 2;
  }
  return 0;
}

int runSync() {
  auto adapter = std::make_shared<SteppingAdapter>();
  auto delegate = std::make_shared<lumora::LMContactSyncAdapterDelegate>();
  std::optional<platform::Error> failure;
  delegate->didAdapterSyncProcess = [](std::int32_t) { step(); };
  delegate->didAdapterFailSynchronize = [&](const platform::Error& error) { failure = error; };
  adapter->setDelegate(delegate);
  ab::AddressBook::setWriteFault([](const ab::WriteAttempt&) -> std::optional<platform::Error> {
    step();
    return std::nullopt;
  });

  offMain([&] {
    adapter->loadLumoraChangedRecords([] {}, [&](const platform::Error& error) { failure = error; });
    if (!failure) adapter->synchronizeAllRecords();
  });
  std::cerr << "sync steps: " << steps.load() << "\n";
  if (failure) {
    std::cerr << "sync failed: " << failure->description() << "\n";
    return 2;
  }
  return 0;
}

std::shared_ptr<ab::AddressBook> openBook() {
  auto book = ab::AddressBook::create();
  if (!book.ok()) {
    std::cerr << "no address book: " << book.error().description() << "\n";
    std::exit(3);
  }
  return *book;
}

int groups(const std::vector<std::string>& names) {
  auto book = openBook();
  ab::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book.get());
  for (const std::string& name : names) {
    bool present = false;
    for (const ab::Record& group : book->groupsInSource(source)) present = present || group.name() == name;
    if (present) continue;
    auto group = book->createGroup(source);
    if (!group.ok() || !group->setName(name).ok()) return 3;
  }
  return book->save().ok() ? 0 : 3;
}

int edit(const std::string& tag, unsigned seed) {
  auto book = openBook();
  ab::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book.get());
  std::mt19937 random(seed);
  auto pick = [&random](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  Json report{{"added", Json::array()}, {"edited", Json::array()}, {"deleted", Json::array()}};

  std::vector<ab::Record> people = book->peopleInSource(source);
  const int adds = static_cast<int>(pick(3)) + 1;
  for (int i = 0; i < adds; ++i) {
    LMContact contact;
    contact.givenName = tag + "n" + std::to_string(i);
    contact.familyName = "Person";
    contact.phoneNumberArray =
        Json::array({Json{{"type", "mobile"}, {"value", "+1 555 " + std::to_string(seed % 10000) + std::to_string(i)}}});
    auto person = book->createPerson(source);
    if (!person.ok() || !contact.mergeToLocalRecord(*person).ok()) return 3;
    report["added"].push_back(*contact.givenName + " Person");
  }
  if (!people.empty()) {
    const std::size_t edits = pick(3);
    for (std::size_t i = 0; i < edits; ++i) {
      ab::Record person = people[pick(people.size())];
      if (!person.isInAddressBook()) continue;
      (void)person.setValue(ab::PersonProperty::Note, "note " + tag + "." + std::to_string(i));
      if (pick(2) == 0) {
        ab::MultiValue<std::string> mails;
        mails.add(tag + std::to_string(i) + "@example.com", std::string(ab::kHomeLabel));
        (void)person.setValue(ab::PersonProperty::Email, mails);
      }
      report["edited"].push_back(person.compositeName().value_or(""));
    }
    std::vector<ab::Record> groupList = book->groupsInSource(source);
    for (std::size_t i = 0, moves = groupList.empty() ? 0 : pick(3); i < moves; ++i) {
      ab::Record person = people[pick(people.size())];
      ab::Record group = groupList[pick(groupList.size())];
      if (!person.isInAddressBook()) continue;
      const auto members = group.members();
      const bool member = std::find(members.begin(), members.end(), person) != members.end();
      (void)(member ? group.removeMember(person) : group.addMember(person));
      report["edited"].push_back(person.compositeName().value_or(""));
    }
    if (pick(2) == 0) {
      ab::Record person = people[pick(people.size())];
      report["deleted"].push_back(person.compositeName().value_or(""));
      (void)book->removeRecord(person);
    }
  }
  if (!book->save().ok()) return 3;
  std::cout << report.dump() << "\n";
  return 0;
}

int addPeople(int count, const std::string& tag) {
  auto book = openBook();
  ab::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book.get());
  std::vector<ab::Record> made;
  for (int i = 0; i < count; ++i) {
    LMContact contact;
    contact.givenName = tag + std::to_string(i);
    contact.familyName = "Person";
    auto person = book->createPerson(source);
    if (!person.ok() || !contact.mergeToLocalRecord(*person).ok()) return 3;
    made.push_back(*person);
  }
  if (!book->save().ok()) return 3;
  Json ids = Json::array();
  for (const ab::Record& person : made) ids.push_back(person.id());
  std::cout << ids.dump() << "\n";
  return 0;
}

ab::Record personNamed(ab::AddressBook& book, const std::string& name) {
  for (const ab::Record& person : book.peopleInSource(LMManagedRecordContext::defaultSourceInAddressBook(&book))) {
    if (person.compositeName() == name) return person;
  }
  return ab::Record();
}

// Puts the person `name` into the group `to`, out of the group `from` when
// given.
int member(const std::string& name, const std::string& to, const std::string& from) {
  auto book = openBook();
  ab::Record person = personNamed(*book, name);
  if (!person) return 3;
  for (ab::Record& group : book->groupsInSource(LMManagedRecordContext::defaultSourceInAddressBook(book.get()))) {
    if (group.name() == to && !group.addMember(person).ok()) return 3;
    if (!from.empty() && group.name() == from && !group.removeMember(person).ok()) return 3;
  }
  return book->save().ok() ? 0 : 3;
}

int photo(const std::string& name, const std::string& file) {
  auto book = openBook();
  ab::Record person = personNamed(*book, name);
  std::ifstream in(file, std::ios::binary);
  const platform::Bytes picture((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!person || picture.empty() || !person.setImageData(picture).ok()) return 3;
  return book->save().ok() ? 0 : 3;
}

int phone(const std::string& name, const std::string& number) {
  auto book = openBook();
  ab::Record person = personNamed(*book, name);
  ab::MultiValue<std::string> phones;
  phones.add(number, std::string(ab::kPersonPhoneMobileLabel));
  if (!person || !person.setValue(ab::PersonProperty::Phone, phones).ok()) return 3;
  return book->save().ok() ? 0 : 3;
}

int photos() {
  auto book = openBook();
  Json out = Json::object();
  for (const ab::Record& person : book->peopleInSource(LMManagedRecordContext::defaultSourceInAddressBook(book.get()))) {
    if (!person.hasImageData()) continue;
    if (auto picture = person.imageData(ab::ImageFormat::OriginalSize)) {
      out[person.compositeName().value_or("")] = lumora::sha1String(*picture);
    }
  }
  std::cout << out.dump() << "\n";
  return 0;
}

int dump() {
  auto book = openBook();
  ab::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book.get());
  contactdevice::DumpBuilder builder;
  for (const auto& [id, contact] : LMManagedRecordContext::searchAllLocalContacts(book.get(), source)) {
    builder.person(contact);
  }
  for (const ab::Record& group : book->groupsInSource(source)) {
    std::vector<std::string> members;
    for (const ab::Record& member : group.members()) members.push_back(member.compositeName().value_or(""));
    builder.group(group.name().value_or(""), std::move(members));
  }
  std::cout << builder.dump().dump() << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::cerr << "usage: contact_device HOME CLOUD_URL USER_ID SERVICE_TOKEN KEY COMMAND [ARGS]\n";
    return 64;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const char* stop = std::getenv("LUMORA_DEVICE_STOP_AT")) stopAt = std::atol(stop);
  platform::Clock::setCurrent(std::make_shared<SleeplessClock>());
  platform::AppHome::setRoot(args[0]);
  lumora::ServiceHosts::setAll(args[1]);
  platform::MainQueue::main().bindToCurrentThread();
  if (!ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok()) return 3;

  auto manager = lumora::QBPassportsManager::sharedManager();
  manager->setUserId(args[2]);
  auto passport = manager->passportForSid("lumora", args[2]);
  if (!passport) return 3;
  passport->setServiceToken(args[3]);
  passport->setSSecurity(args[4]);

  const std::string& command = args[5];
  if (command == "sync") return runSync();
  if (command == "dump") return dump();
  if (command == "backup") return runBackup();
  if (command == "photos") return photos();
  if (command == "photo" && args.size() >= 8) return photo(args[6], args[7]);
  if (command == "phone" && args.size() >= 8) return phone(args[6], args[7]);
  if (command == "member" && args.size() >= 8) return member(args[6], args[7], args.size() >= 9 ? args[8] : "");
  if (command == "groups") return groups(std::vector<std::string>(args.begin() + 6, args.end()));
  if (command == "people" && args.size() >= 8) return addPeople(std::stoi(args[6]), args[7]);
  if (command == "newbook") {
    testsupport::replaceAddressBookWithAnEmptyOne();
    return 0;
  }
  if (command == "forgetbook") {
    platform::UserDefaults::standard().removeObjectForKey(lumora::kLMAddressBookMarkKey);
    return platform::UserDefaults::standard().synchronize() ? 0 : 3;
  }
  if (command == "edit" && args.size() >= 8) return edit(args[6], static_cast<unsigned>(std::stoul(args[7])));
  std::cerr << "unknown command " << command << "\n";
  return 64;
}
