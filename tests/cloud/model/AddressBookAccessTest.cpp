// The record store's address-book helpers: authorisation, sources and their
// kinds, counts, lookups, creation and deletion, saving with a revert.
#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/model/RecordStoreAddressBookSupport.h"
#include "utils/LMErrors.h"
#include "platform/dispatch/MainQueue.h"

namespace {

namespace ab = platform::addressbook;
using lumora::LMManagedRecordContext;
using recordstoretest::AddressBookFixture;

using AddressBookAccess = AddressBookFixture;

struct Answer {
  int calls = 0;
  bool granted = false;
  bool justAsked = false;
  bool onMainThread = false;
};

std::function<void(bool, bool)> recordInto(Answer& answer) {
  return [&answer](bool granted, bool justAsked) {
    ++answer.calls;
    answer.granted = granted;
    answer.justAsked = justAsked;
    answer.onMainThread = platform::MainQueue::isMainThread();
  };
}

TEST_F(AddressBookAccess, AuthorisationAnswersWithoutAskingUnlessUndetermined) {
  Answer none;
  LMManagedRecordContext::requestAuthorizationAddressBook(nullptr, recordInto(none));
  EXPECT_EQ(none.calls, 1);
  EXPECT_FALSE(none.granted);
  EXPECT_FALSE(none.justAsked);

  EXPECT_TRUE(LMManagedRecordContext::isAddressBookAuthorized());
  Answer authorised;
  LMManagedRecordContext::requestAuthorizationAddressBook(book_.get(), recordInto(authorised));
  EXPECT_EQ(authorised.calls, 1);
  EXPECT_TRUE(authorised.granted);
  EXPECT_FALSE(authorised.justAsked);

  // Denied before: no question, even though the user would now say yes.
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Denied));
  ASSERT_TRUE(ab::AddressBook::setAccessAnswer(true));
  EXPECT_FALSE(LMManagedRecordContext::isAddressBookAuthorized());
  Answer denied;
  LMManagedRecordContext::requestAuthorizationAddressBook(book_.get(), recordInto(denied));
  EXPECT_EQ(denied.calls, 1);
  EXPECT_FALSE(denied.granted);
  EXPECT_FALSE(denied.justAsked);
  EXPECT_EQ(ab::AddressBook::authorizationStatus(), ab::AuthorizationStatus::Denied);
}

TEST_F(AddressBookAccess, QuestionAnswerReachesTheMainThread) {
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::NotDetermined));
  ASSERT_TRUE(ab::AddressBook::setAccessAnswer(false));
  Answer fromWorker;
  LMManagedRecordContext::requestAuthorizationAddressBook(book_.get(), recordInto(fromWorker));
  EXPECT_EQ(fromWorker.calls, 0);  // posted to the main queue
  platform::MainQueue::main().runUntilIdle();
  EXPECT_EQ(fromWorker.calls, 1);
  EXPECT_FALSE(fromWorker.granted);
  EXPECT_TRUE(fromWorker.justAsked);
  EXPECT_TRUE(fromWorker.onMainThread);

  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::NotDetermined));
  ASSERT_TRUE(ab::AddressBook::setAccessAnswer(true));
  Answer onMain;
  int callsWhenReturned = -1;
  platform::MainQueue::main().async([&] {
    LMManagedRecordContext::requestAuthorizationAddressBook(book_.get(), recordInto(onMain));
    callsWhenReturned = onMain.calls;  // answered directly on the main thread
  });
  platform::MainQueue::main().runUntilIdle();
  EXPECT_EQ(callsWhenReturned, 1);
  EXPECT_TRUE(onMain.granted);
  EXPECT_TRUE(onMain.justAsked);
  EXPECT_TRUE(LMManagedRecordContext::isAddressBookAuthorized());
}

TEST_F(AddressBookAccess, CardSourceIsSyncedAndOtherSourcesNeedPeople) {
  // Only the local source: it is synced, and there is no other.
  ab::Record onlyLocal = LMManagedRecordContext::defaultSourceInAddressBook(book_.get());
  EXPECT_EQ(onlyLocal.id(), ab::kLocalSourceId);
  EXPECT_FALSE(LMManagedRecordContext::otherSourcesInAddressBook(book_.get()).has_value());

  addSource("Card");
  ab::Record work = addSource("Work", ab::SourceKind::Exchange);
  ab::Record laterCard = addSource("Card");

  ab::Record synced = LMManagedRecordContext::defaultSourceInAddressBook(book_.get());
  EXPECT_EQ(synced, laterCard);  // the last of that name
  EXPECT_EQ(LMManagedRecordContext::sourceType(synced), lumora::kLMSourceTypeCard);
  EXPECT_EQ(LMManagedRecordContext::sourceType(work), lumora::kLMSourceTypeOther);
  EXPECT_EQ(LMManagedRecordContext::sourceType(local()), lumora::kLMSourceTypeLocal);
  EXPECT_EQ(LMManagedRecordContext::sourceType(ab::Record()), lumora::kLMSourceTypeOther);
  EXPECT_FALSE(LMManagedRecordContext::otherSourcesInAddressBook(book_.get()).has_value());

  person(local(), "Ann");
  person(work, "Bob");
  ASSERT_TRUE(book_->save().ok());
  auto others = LMManagedRecordContext::otherSourcesInAddressBook(book_.get());
  ASSERT_TRUE(others.has_value());
  ASSERT_EQ(others->size(), 2u);
  EXPECT_EQ((*others)[0].id(), ab::kLocalSourceId);
  EXPECT_EQ((*others)[1], work);
}

TEST_F(AddressBookAccess, WithoutCardOrLocalSourceEverySourceIsOther) {
  ab::Record work = addSource("Work", ab::SourceKind::Exchange);
  ab::Record home = addSource("Home");
  ASSERT_TRUE(book_->removeRecord(local()).ok());
  ASSERT_TRUE(book_->save().ok());

  EXPECT_FALSE(LMManagedRecordContext::defaultSourceInAddressBook(book_.get()));
  auto others = LMManagedRecordContext::otherSourcesInAddressBook(book_.get());
  ASSERT_TRUE(others.has_value());
  ASSERT_EQ(others->size(), 2u);  // even though both are empty
  EXPECT_EQ((*others)[0], work);
  EXPECT_EQ((*others)[1], home);
}

TEST_F(AddressBookAccess, CountsInsideAndOutsideTheSyncedSource) {
  ab::Record card = addSource("Card");
  for (int i = 0; i < 10; ++i) person(card, "In" + std::to_string(i));
  for (int i = 0; i < 3; ++i) person(local(), "Out" + std::to_string(i));
  ASSERT_TRUE(book_->save().ok());

  EXPECT_EQ(LMManagedRecordContext::getCountOfContactsNotSync(book_.get(), card), 3u);
  EXPECT_EQ(LMManagedRecordContext::getABPersonCount(book_.get(), card), 10u);
  EXPECT_EQ(LMManagedRecordContext::getABPersonCount(book_.get(), local()), 3u);
  EXPECT_EQ(LMManagedRecordContext::getCountOfContactsNotSync(book_.get(), ab::Record()), 13u);
}

TEST_F(AddressBookAccess, CreateLookUpAndDelete) {
  ab::Record created = LMManagedRecordContext::createABPerson(book_.get(), local());
  ASSERT_TRUE(created);
  ab::Record group = LMManagedRecordContext::createABGroup(book_.get(), local());
  ASSERT_TRUE(group);
  ASSERT_TRUE(group.setName("Friends").ok());
  EXPECT_TRUE(LMManagedRecordContext::saveAddressBook(book_.get()).ok());

  const ab::RecordId personId = created.id();
  const ab::RecordId groupId = group.id();
  ASSERT_NE(personId, ab::kInvalidRecordId);
  EXPECT_TRUE(LMManagedRecordContext::recordABPersonWithRecordID(personId, book_.get()));
  EXPECT_TRUE(LMManagedRecordContext::recordABGroupWithRecordID(groupId, book_.get()));
  EXPECT_FALSE(LMManagedRecordContext::recordABGroupWithRecordID(personId, book_.get()));
  EXPECT_FALSE(LMManagedRecordContext::recordABPersonWithRecordID(-1, book_.get()));

  // The address book refuses: no record.
  failWrites([](const ab::WriteAttempt& a) -> std::optional<platform::Error> {
    if (a.operation == ab::WriteOperation::CreateRecord) return storeError();
    return std::nullopt;
  });
  EXPECT_FALSE(LMManagedRecordContext::createABPerson(book_.get(), local()));
  failWrites(nullptr);

  ab::Record found = LMManagedRecordContext::recordABPersonWithRecordID(personId, book_.get());
  EXPECT_TRUE(LMManagedRecordContext::deleteABRecord(found, book_.get()));
  EXPECT_FALSE(LMManagedRecordContext::deleteABRecord(ab::Record(), book_.get()));
  EXPECT_TRUE(book_->hasUnsavedChanges());  // deletion alone does not save
  EXPECT_TRUE(LMManagedRecordContext::saveAddressBook(book_.get()).ok());
  EXPECT_FALSE(LMManagedRecordContext::recordABPersonWithRecordID(personId, book_.get()));
}

TEST_F(AddressBookAccess, SaveIsFollowedByRevertAndFailuresAreConverted) {
  EXPECT_TRUE(LMManagedRecordContext::saveAddressBook(nullptr).ok());
  failWrites(nullptr);
  EXPECT_TRUE(LMManagedRecordContext::saveAddressBook(book_.get()).ok());
  EXPECT_EQ(saves_, 0);  // nothing to save: no save attempted

  ab::Record kept = person(local(), "Kept");
  EXPECT_TRUE(LMManagedRecordContext::saveAddressBook(book_.get()).ok());
  EXPECT_EQ(saves_, 1);
  EXPECT_FALSE(book_->hasUnsavedChanges());
  EXPECT_EQ(book_->personCount(), 1u);

  // A refused save: the local error, logged, and the edits are gone.
  failWrites([](const ab::WriteAttempt& a) -> std::optional<platform::Error> {
    if (a.operation == ab::WriteOperation::Save) return storeError();
    return std::nullopt;
  });
  person(local(), "Lost");
  auto error = LMManagedRecordContext::saveAddressBook(book_.get());
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().domain(), lumora::kLMLocalErrorDomain);
  EXPECT_EQ(error.error().code(), lumora::kLMLocalErrorAddressBookNotAllowed);
  EXPECT_EQ(error.error().userInfo().value("description", ""), "ABAddressBook Error");
  EXPECT_TRUE(log_->contains(error.error().description(), lumora::kLMLogFlagError));
  EXPECT_FALSE(book_->hasUnsavedChanges());
  EXPECT_EQ(book_->personCount(), 1u);

  // Access withdrawn before the save.
  failWrites(nullptr);
  person(local(), "Also lost");
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Denied));
  error = LMManagedRecordContext::saveAddressBook(book_.get());
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().code(), lumora::kLMLocalErrorAddressBookAccessDenied);
}

TEST_F(AddressBookAccess, EmptyingASourceSavesEveryTwentyPeople) {
  ab::Record card = addSource("Card");
  for (int i = 0; i < 45; ++i) person(card, "P" + std::to_string(i));
  for (int i = 0; i < 2; ++i) {
    auto group = book_->createGroup(card);
    ASSERT_TRUE(group.ok());
    ASSERT_TRUE(group->setName("G" + std::to_string(i)).ok());
  }
  person(local(), "Elsewhere");
  ASSERT_TRUE(book_->save().ok());

  int removalsAtSave = 0;
  std::vector<int> removalsBeforeEachSave;
  failWrites([&](const ab::WriteAttempt& a) -> std::optional<platform::Error> {
    if (a.operation == ab::WriteOperation::RemoveRecord) ++removalsAtSave;
    if (a.operation == ab::WriteOperation::Save) removalsBeforeEachSave.push_back(removalsAtSave);
    return std::nullopt;
  });
  EXPECT_TRUE(LMManagedRecordContext::deleteAllABRecords(book_.get(), card));
  // After the 21st and the 41st person, then once at the end (with groups).
  EXPECT_EQ(removalsBeforeEachSave, (std::vector<int>{21, 41, 47}));
  EXPECT_EQ(book_->peopleInSource(card).size(), 0u);
  EXPECT_TRUE(book_->groupsInSource(card).empty());
  EXPECT_EQ(book_->personCount(), 1u);
}

TEST_F(AddressBookAccess, EmptyingASourceStopsAtTheFirstFailure) {
  ab::Record card = addSource("Card");
  for (int i = 0; i < 30; ++i) person(card, "P" + std::to_string(i));
  ASSERT_TRUE(book_->save().ok());

  // The second save (at the end) fails: what the first save stored stays
  // removed, the rest comes back with the revert.
  failWrites([this](const ab::WriteAttempt& a) -> std::optional<platform::Error> {
    if (a.operation == ab::WriteOperation::Save && saves_ == 2) return storeError();
    return std::nullopt;
  });
  EXPECT_FALSE(LMManagedRecordContext::deleteAllABRecords(book_.get(), card));
  EXPECT_EQ(book_->peopleInSource(card).size(), 9u);
}

TEST_F(AddressBookAccess, WholeSourceReadsSkipUnsavedRecords) {
  ab::Record card = addSource("Card");
  ab::Record ann = person(card, "Ann");
  ab::Record bob = person(card, "Bob");
  person(local(), "Elsewhere");
  auto group = book_->createGroup(card);
  ASSERT_TRUE(group.ok());
  ASSERT_TRUE(group->setName("Team").ok());
  ASSERT_TRUE(book_->save().ok());
  ASSERT_TRUE(group->addMember(bob).ok());
  person(card, "Unsaved");

  auto contacts = LMManagedRecordContext::searchAllLocalContacts(book_.get(), card);
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_EQ(contacts.at(ann.id()).givenName, "Ann");
  EXPECT_EQ(contacts.at(bob.id()).givenName, "Bob");
  auto groups = LMManagedRecordContext::searchAllLocalGroups(book_.get(), card);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups.at(group->id()).name, "Team");
  EXPECT_EQ(groups.at(group->id()).memberIDs, (std::set<std::int32_t>{bob.id()}));
  EXPECT_TRUE(LMManagedRecordContext::searchAllLocalContacts(nullptr, card).empty());
}

}  // namespace
