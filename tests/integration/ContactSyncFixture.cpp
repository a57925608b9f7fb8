#include "ContactSyncFixture.h"

#include "cloud/model/LMManagedRecordContext.h"
#include "platform/addressbook/Labels.h"
#include "support/EmptyAddressBook.h"

namespace contactsynctest {

lumora::LMContact contactNamed(const std::string& given, const std::string& family,
                               const std::optional<std::string>& phone) {
  lumora::LMContact contact;
  contact.givenName = given;
  contact.familyName = family;
  contact.name = given + " " + family;
  if (phone) contact.phoneNumberArray = Json::array({Json{{"type", "mobile"}, {"value", *phone}}});
  return contact;
}

RecordingDelegate::RecordingDelegate() {
  auto note = [this](const std::string& call) {
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.calls.push_back(call);
  };
  auto counting = [this, note](const std::string& key) {
    return [this, note, key](std::uint64_t add, std::uint64_t modify, std::uint64_t remove) {
      note(key);
      std::lock_guard<std::mutex> guard(mutex_);
      reports_.counts[key] = {add, modify, remove};
    };
  };
  willAdapterBeginSynchronize = [note] { note("begin"); };
  willAdapterSynchronizeGroups = [note] { note("groups"); };
  didAdapterSynchronizeLocalGroups = counting("localGroups");
  didAdapterSynchronizeLumoraGroups = counting("lumoraGroups");
  willAdapterSynchronizeContacts = [note] { note("contacts"); };
  didAdapterSynchronizeLocalContacts = counting("localContacts");
  didAdapterSynchronizeLumoraContacts = counting("lumoraContacts");
  willAdapterFinishSynchronize = [note] { note("willFinish"); };
  didAdapterFinishSynchronize = [this, note](bool) {
    note("finish");
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.finished = true;
  };
  didAdapterFailSynchronize = [this, note](const platform::Error& error) {
    note("fail");
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.failure = error;
  };
  didAdapterSyncProcess = [this](std::int32_t process) {
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.progress.push_back(process);
  };
}

Reports RecordingDelegate::take() {
  std::lock_guard<std::mutex> guard(mutex_);
  return std::exchange(reports_, Reports());
}

void ContactSyncCloudTest::SetUp() {
  clock_->setAutoAdvanceSleeps(true);
  SignedRequestCloudTest::SetUp();
  signInWithKnownKey();
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
  auto created = ab::AddressBook::create();
  ASSERT_TRUE(created.ok());
  book_ = *created;
  contacts_ = std::make_shared<lumora::LMContactSyncAdapter>();
  contacts_->setDelegate(delegate_);
}

void ContactSyncCloudTest::TearDown() {
  contacts_.reset();
  book_.reset();
  SignedRequestCloudTest::TearDown();
}

std::int64_t ContactSyncCloudTest::addCloudContact(const lumora::LMContact& contact) {
  auto change = server_->contacts().add(signedtest::kUserId, "contact",
                                        contact.dictionaryForLumoraJSON()["content"]);
  EXPECT_EQ(change.outcome, localcloud::ContactStore::Outcome::Applied);
  return change.record.id;
}

std::int64_t ContactSyncCloudTest::addCloudGroup(const std::string& title) {
  auto change = server_->contacts().add(signedtest::kUserId, "group", Json{{"title", title}});
  EXPECT_EQ(change.outcome, localcloud::ContactStore::Outcome::Applied);
  return change.record.id;
}

std::map<std::string, Json> ContactSyncCloudTest::cloudContacts() {
  std::map<std::string, Json> live;
  for (const auto& record : server_->contacts().records(signedtest::kUserId)) {
    if (record.type != "contact" || record.status != localcloud::ContactStore::kStatusLive) continue;
    EXPECT_EQ(live.count(record.content.value("displayName", "")), 0u) << "duplicate " << record.content.dump();
    live[record.content.value("displayName", "")] = record.envelope();
  }
  return live;
}

void ContactSyncCloudTest::replaceBookWithAnEmptyOne() {
  book_.reset();
  testsupport::replaceAddressBookWithAnEmptyOne();
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
  book_ = *ab::AddressBook::create();
}

ab::RecordId ContactSyncCloudTest::addPerson(const lumora::LMContact& contact) {
  auto person = book_->createPerson(book_->sourceWithId(ab::kLocalSourceId));
  EXPECT_TRUE(person.ok());
  EXPECT_TRUE(contact.mergeToLocalRecord(*person).ok());
  EXPECT_TRUE(book_->save().ok());
  return person->id();
}

std::map<std::string, lumora::LMContact> ContactSyncCloudTest::people() {
  std::map<std::string, lumora::LMContact> out;
  auto book = ab::AddressBook::create();
  if (!book.ok()) return out;
  auto source = lumora::LMManagedRecordContext::defaultSourceInAddressBook(book->get());
  for (auto& [id, contact] : lumora::LMManagedRecordContext::searchAllLocalContacts(book->get(), source)) {
    std::string name = contact.name.value_or("");
    EXPECT_EQ(out.count(name), 0u) << "duplicate person " << name;
    out.emplace(name, std::move(contact));
  }
  return out;
}

platform::Status ContactSyncCloudTest::sync() {
  platform::Status outcome;
  clock_->advance(std::chrono::seconds(1));
  offMain([&] {
    contacts_->loadLumoraChangedRecords([] {}, [&](const platform::Error& error) { outcome = error; });
    if (outcome.ok()) contacts_->synchronizeAllRecords();
  });
  clock_->advance(std::chrono::seconds(1));
  lastReports = delegate_->take();
  if (outcome.ok() && lastReports.failure) outcome = *lastReports.failure;
  return outcome;
}

}  // namespace contactsynctest
