#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/storage/AppHome.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbook/Labels.h"
#include "support/TestHome.h"

namespace {

using namespace std::chrono_literals;
using namespace platform::addressbook;
using platform::Bytes;

Date day(int y, unsigned m, unsigned d) {
  return Date(std::chrono::sys_days(std::chrono::year(y) / m / d).time_since_epoch());
}

Date toDate(platform::Clock::TimePoint t) { return std::chrono::time_point_cast<std::chrono::microseconds>(t); }

class AddressBookTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(AddressBook::setAuthorizationStatus(AuthorizationStatus::Authorized)); }
  void TearDown() override { AddressBook::setWriteFault(nullptr); }

  std::shared_ptr<AddressBook> open() {
    auto book = AddressBook::create();
    EXPECT_TRUE(book.ok());
    return book.ok() ? *book : nullptr;
  }

  Record newPerson(AddressBook& book, const std::string& first, const Record& source = Record()) {
    auto person = book.createPerson(source ? source : book.defaultSource());
    EXPECT_TRUE(person.ok());
    EXPECT_TRUE(person->setValue(PersonProperty::FirstName, first));
    return *person;
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock_{clock_};
};

TEST_F(AddressBookTest, AccessIsAskedOnceAndDeniedAccessRefusesHandlesWritesAndSaves) {
  ASSERT_TRUE(AddressBook::setAuthorizationStatus(AuthorizationStatus::NotDetermined));
  auto book = open();
  EXPECT_TRUE(book->sources().empty());  // nothing visible before access
  ASSERT_TRUE(AddressBook::setAccessAnswer(false));
  bool called = false;
  book->requestAccess([&](bool granted, std::optional<platform::Error> error) {
    called = true;
    EXPECT_FALSE(granted);
    EXPECT_FALSE(error);
  });
  EXPECT_TRUE(called);
  EXPECT_EQ(AddressBook::authorizationStatus(), AuthorizationStatus::Denied);
  auto refused = AddressBook::create();
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().domain(), kErrorDomain);
  EXPECT_EQ(refused.error().code(), kOperationNotPermittedByUserError);

  // Granted: the handle sees the local source; access revoked later makes
  // writes and the save of pending edits fail with code 1.
  ASSERT_TRUE(AddressBook::setAuthorizationStatus(AuthorizationStatus::NotDetermined));
  ASSERT_TRUE(AddressBook::setAccessAnswer(true));
  book->requestAccess([](bool granted, std::optional<platform::Error>) { EXPECT_TRUE(granted); });
  ASSERT_EQ(book->sources().size(), 1u);
  EXPECT_EQ(book->defaultSource().id(), kLocalSourceId);
  Record ann = newPerson(*book, "Ann");
  ASSERT_TRUE(AddressBook::setAuthorizationStatus(AuthorizationStatus::Denied));
  auto saved = book->save();
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().domain(), kErrorDomain);
  EXPECT_EQ(saved.error().code(), kOperationNotPermittedByUserError);
  EXPECT_EQ(ann.setValue(PersonProperty::LastName, "Lee").error().code(), kOperationNotPermittedByUserError);
  EXPECT_TRUE(book->hasUnsavedChanges());
  EXPECT_TRUE(book->people().empty());
  ASSERT_TRUE(AddressBook::setAuthorizationStatus(AuthorizationStatus::Authorized));
  EXPECT_TRUE(book->save());
  EXPECT_GT(ann.id(), 0);
}

TEST_F(AddressBookTest, SaveAssignsIdsAndRevertDropsOnlyUnsavedEdits) {
  auto book = open();
  EXPECT_FALSE(book->hasUnsavedChanges());
  Record ann = newPerson(*book, "Ann");
  EXPECT_EQ(ann.id(), kInvalidRecordId);
  EXPECT_TRUE(book->hasUnsavedChanges());
  EXPECT_EQ(book->personCount(), 1u);
  ASSERT_TRUE(book->save());
  EXPECT_FALSE(book->hasUnsavedChanges());
  RecordId id = ann.id();
  ASSERT_GT(id, 0);
  EXPECT_EQ(book->personWithId(id), ann);

  // A save followed by a revert keeps the record and its id.
  book->revert();
  EXPECT_EQ(ann.id(), id);
  EXPECT_EQ(book->personWithId(id), ann);

  // Writing the value the person already has is no change.
  ASSERT_TRUE(ann.setValue(PersonProperty::FirstName, "Ann"));
  EXPECT_FALSE(book->hasUnsavedChanges());

  ASSERT_TRUE(ann.setValue(PersonProperty::FirstName, "Anna"));
  Record bob = newPerson(*book, "Bob");
  ASSERT_TRUE(book->removeRecord(ann));
  EXPECT_TRUE(book->personWithId(id).isNull());
  book->revert();
  EXPECT_FALSE(book->hasUnsavedChanges());
  EXPECT_EQ(ann.stringValue(PersonProperty::FirstName), "Ann");
  EXPECT_TRUE(ann.isInAddressBook());
  EXPECT_FALSE(bob.isInAddressBook());
  EXPECT_EQ(book->personCount(), 1u);
  EXPECT_EQ(bob.setValue(PersonProperty::Note, "x").error().code(), kOperationNotPermittedByStoreError);

  // A person created and removed before any save leaves nothing to save.
  Record temp = newPerson(*book, "Tmp");
  ASSERT_TRUE(book->removeRecord(temp));
  EXPECT_FALSE(book->hasUnsavedChanges());
}

TEST_F(AddressBookTest, ModificationDatesAdvanceOnlyForChangedPeople) {
  auto book = open();
  Record ann = newPerson(*book, "Ann");
  Record bob = newPerson(*book, "Bob");
  auto group = book->createGroup(book->defaultSource());
  ASSERT_TRUE(group.ok());
  ASSERT_TRUE(book->save());
  Date t0 = toDate(clock_->now());
  EXPECT_EQ(ann.dateValue(PersonProperty::CreationDate), t0);
  EXPECT_EQ(ann.dateValue(PersonProperty::ModificationDate), t0);

  clock_->advance(60s);
  ASSERT_TRUE(bob.setValue(PersonProperty::Note, "met at work"));
  ASSERT_TRUE(book->save());
  Date t1 = toDate(clock_->now());
  EXPECT_EQ(bob.dateValue(PersonProperty::ModificationDate), t1);
  EXPECT_EQ(bob.dateValue(PersonProperty::CreationDate), t0);
  EXPECT_EQ(ann.dateValue(PersonProperty::ModificationDate), t0);

  // Group membership is the group's change; an image is the person's.
  clock_->advance(60s);
  ASSERT_TRUE(group->addMember(ann));
  ASSERT_TRUE(book->save());
  EXPECT_EQ(ann.dateValue(PersonProperty::ModificationDate), t0);
  ASSERT_TRUE(ann.setImageData(Bytes{1, 2, 3}));
  ASSERT_TRUE(book->save());
  EXPECT_EQ(ann.dateValue(PersonProperty::ModificationDate), toDate(clock_->now()));
  EXPECT_EQ(bob.dateValue(PersonProperty::ModificationDate), t1);

  // The dates are the store's own.
  EXPECT_EQ(ann.setValue(PersonProperty::ModificationDate, t0).error().code(), kOperationNotPermittedByStoreError);
}

TEST_F(AddressBookTest, EveryPropertyTypeSurvivesAReloadInANewHandle) {
  RecordId id;
  MultiValueIdentifier workPhone;
  {
    auto book = open();
    Record p = newPerson(*book, "Mary");
    for (auto [property, text] : {std::pair{PersonProperty::LastName, "Smith"}, {PersonProperty::MiddleName, "J"},
                                  {PersonProperty::Prefix, "Dr."}, {PersonProperty::Suffix, "Jr."},
                                  {PersonProperty::Nickname, "Mo"}, {PersonProperty::FirstNamePhonetic, "Meri"},
                                  {PersonProperty::LastNamePhonetic, "Smit"}, {PersonProperty::MiddleNamePhonetic, "Jay"},
                                  {PersonProperty::Organization, "Acme"}, {PersonProperty::Department, "R&D"},
                                  {PersonProperty::JobTitle, "Chief"}, {PersonProperty::Note, "line1\nline2 ✓"}}) {
      ASSERT_TRUE(p.setValue(property, std::string(text)));
    }
    ASSERT_TRUE(p.setValue(PersonProperty::Birthday, day(1604, 6, 1)));  // a day without a year
    ASSERT_TRUE(p.setValue(PersonProperty::Kind, static_cast<std::int32_t>(PersonKind::Person)));
    MultiValue<std::string> phones;
    phones.add("+1 555-0100", std::string(kPersonPhoneMobileLabel));
    workPhone = phones.add("555 0101", std::string(kWorkLabel));
    phones.add("555 0102");  // no label
    ASSERT_TRUE(p.setValue(PersonProperty::Phone, phones));
    MultiValue<std::string> emails;
    emails.add("m@example.com", std::string(kHomeLabel));
    ASSERT_TRUE(p.setValue(PersonProperty::Email, emails));
    MultiValue<std::string> related;
    related.add("Tom", std::string(kPersonSpouseLabel));
    ASSERT_TRUE(p.setValue(PersonProperty::RelatedNames, related));
    MultiValue<std::string> urls;
    urls.add("https://example.com", std::string(kPersonHomePageLabel));
    ASSERT_TRUE(p.setValue(PersonProperty::URL, urls));
    MultiValue<Date> dates;
    dates.add(day(2001, 9, 8), std::string(kPersonAnniversaryLabel));
    ASSERT_TRUE(p.setValue(PersonProperty::Date, dates));
    MultiValue<Dictionary> addresses;
    addresses.add(Dictionary{{std::string(kPersonAddressStreetKey), "1 Main St"},
                             {std::string(kPersonAddressCityKey), "Springfield"}},
                  std::string(kHomeLabel));
    ASSERT_TRUE(p.setValue(PersonProperty::Address, addresses));
    MultiValue<Dictionary> ims;
    ims.add(Dictionary{{std::string(kPersonInstantMessageServiceKey), std::string(kPersonInstantMessageServiceQQ)},
                       {std::string(kPersonInstantMessageUsernameKey), "12345"}},
            std::string(kPersonInstantMessageServiceQQ));
    ASSERT_TRUE(p.setValue(PersonProperty::InstantMessage, ims));
    MultiValue<Dictionary> social;
    social.add(Dictionary{{std::string(kPersonSocialProfileServiceKey), "linkedin"}, {"username", "mo"}});
    ASSERT_TRUE(p.setValue(PersonProperty::SocialProfile, social));
    ASSERT_TRUE(p.setImageData(Bytes{0xFF, 0xD8, 0x00, 0x01}));
    ASSERT_TRUE(book->save());
    id = p.id();
  }
  auto book = open();
  Record p = book->personWithId(id);
  ASSERT_TRUE(p);
  EXPECT_EQ(p.stringValue(PersonProperty::Note), "line1\nline2 ✓");
  EXPECT_EQ(p.stringValue(PersonProperty::MiddleNamePhonetic), "Jay");
  EXPECT_EQ(p.stringValue(PersonProperty::Department), "R&D");
  EXPECT_EQ(p.dateValue(PersonProperty::Birthday), day(1604, 6, 1));
  EXPECT_EQ(p.integerValue(PersonProperty::Kind), 0);
  auto phones = p.multiStringValue(PersonProperty::Phone);
  ASSERT_TRUE(phones);
  ASSERT_EQ(phones->size(), 3u);
  EXPECT_EQ((*phones)[0].value, "+1 555-0100");
  EXPECT_EQ((*phones)[0].label, std::string(kPersonPhoneMobileLabel));
  EXPECT_EQ((*phones)[1].identifier, workPhone);
  EXPECT_FALSE((*phones)[2].label.has_value());
  EXPECT_EQ(p.multiStringValue(PersonProperty::Email)->entries()[0].value, "m@example.com");
  EXPECT_EQ(p.multiStringValue(PersonProperty::RelatedNames)->entries()[0].label, std::string(kPersonSpouseLabel));
  EXPECT_EQ(p.multiStringValue(PersonProperty::URL)->entries()[0].value, "https://example.com");
  EXPECT_EQ(p.multiDateValue(PersonProperty::Date)->entries()[0].value, day(2001, 9, 8));
  EXPECT_EQ(p.multiDictionaryValue(PersonProperty::Address)->entries()[0].value.at("City"), "Springfield");
  EXPECT_EQ(p.multiDictionaryValue(PersonProperty::InstantMessage)->entries()[0].value.at("username"), "12345");
  EXPECT_EQ(p.multiDictionaryValue(PersonProperty::SocialProfile)->entries()[0].value.at("service"), "linkedin");
  EXPECT_TRUE(p.hasImageData());
  EXPECT_EQ(p.imageData(ImageFormat::OriginalSize), (Bytes{0xFF, 0xD8, 0x00, 0x01}));
  EXPECT_FALSE(p.imageData(ImageFormat::Thumbnail));  // not a picture: no thumbnail
  EXPECT_EQ(p.compositeName(), "Dr. Mary J Smith Jr.");

  // Identifiers of a removed entry are not handed out again after a reload,
  // and removing values and the image sticks.
  phones->remove(2);
  ASSERT_TRUE(p.setValue(PersonProperty::Phone, *phones));
  ASSERT_TRUE(p.removeValue(PersonProperty::Email));
  ASSERT_TRUE(p.setValue(PersonProperty::URL, MultiValue<std::string>()));  // empty: removed
  ASSERT_TRUE(p.removeImageData());
  ASSERT_TRUE(book->save());
  auto again = open()->personWithId(id);
  auto reread = again.multiStringValue(PersonProperty::Phone);
  ASSERT_EQ(reread->size(), 2u);
  EXPECT_GT(reread->add("555 0199"), (*phones)[1].identifier + 1);
  EXPECT_FALSE(again.multiStringValue(PersonProperty::Email));
  EXPECT_FALSE(again.value(PersonProperty::URL));
  EXPECT_FALSE(again.hasImageData());
  EXPECT_FALSE(again.imageData());
}

TEST_F(AddressBookTest, HandlesSeeEachOthersSavesAndMergeEditsPropertyByProperty) {
  auto a = open();
  auto b = open();
  Record annA = newPerson(*a, "Ann");
  ASSERT_TRUE(a->save());
  Record annB = b->personWithId(annA.id());
  ASSERT_TRUE(annB);
  EXPECT_EQ(annB.stringValue(PersonProperty::FirstName), "Ann");

  // Different properties of one person edited in two handles: both kept.
  ASSERT_TRUE(annA.setValue(PersonProperty::LastName, "Lee"));
  ASSERT_TRUE(annB.setValue(PersonProperty::Note, "friend"));
  ASSERT_TRUE(a->save());
  EXPECT_FALSE(annB.stringValue(PersonProperty::LastName));  // b has unsaved edits: its view stays
  ASSERT_TRUE(b->save());
  EXPECT_EQ(annB.stringValue(PersonProperty::LastName), "Lee");
  EXPECT_EQ(a->personWithId(annA.id()).stringValue(PersonProperty::Note), "friend");

  // A person removed through one handle while the other edits it stays removed.
  ASSERT_TRUE(annB.setValue(PersonProperty::Note, "late edit"));
  ASSERT_TRUE(a->removeRecord(annA));
  ASSERT_TRUE(a->save());
  ASSERT_TRUE(b->save());
  EXPECT_FALSE(annB.isInAddressBook());
  EXPECT_EQ(open()->personCount(), 0u);

  // A person created in a source that another handle removed goes with it.
  auto card = a->addSource("Card", SourceKind::CardDAV);
  ASSERT_TRUE(a->save());
  Record late = newPerson(*b, "Late", b->sourceWithId(card->id()));
  ASSERT_TRUE(a->removeRecord(*card));
  ASSERT_TRUE(a->save());
  ASSERT_TRUE(b->save());
  EXPECT_FALSE(late.isInAddressBook());
  EXPECT_EQ(late.id(), kInvalidRecordId);
  EXPECT_EQ(open()->personCount(), 0u);
}

TEST_F(AddressBookTest, AHandleThatReadOnlySomeRecordsStaysCurrent) {
  RecordId annId, groupId;
  {
    auto book = open();
    Record ann = newPerson(*book, "Ann");
    auto group = book->createGroup(book->defaultSource());
    ASSERT_TRUE(group->addMember(ann));
    ASSERT_TRUE(book->save());
    annId = ann.id();
    groupId = group->id();
  }
  auto a = open();
  Record ann = a->personWithId(annId);
  Record group = a->groupWithId(groupId);
  ASSERT_EQ(group.members().size(), 1u);
  EXPECT_EQ(group.members()[0], ann);  // one node per record, however it was reached
  EXPECT_EQ(a->sources().size(), 1u);

  auto b = open();
  ASSERT_TRUE(b->personWithId(annId).setValue(PersonProperty::FirstName, "Anna"));
  auto card = b->addSource("Card", SourceKind::CardDAV);
  newPerson(*b, "Bob", *card);
  ASSERT_TRUE(b->save());
  EXPECT_EQ(a->personWithId(annId).stringValue(PersonProperty::FirstName), "Anna");
  EXPECT_EQ(ann.stringValue(PersonProperty::FirstName), "Anna");
  EXPECT_EQ(a->sources().size(), 2u);
  EXPECT_EQ(a->personCount(), 2u);

  ASSERT_TRUE(ann.setValue(PersonProperty::Note, "unsaved"));
  ASSERT_TRUE(a->removeRecord(a->groupWithId(groupId)));
  a->revert();
  EXPECT_FALSE(ann.value(PersonProperty::Note));
  EXPECT_EQ(a->groupWithId(groupId).members().size(), 1u);
}

TEST_F(AddressBookTest, ExternalChangeCallbacksReachOtherHandlesOnly) {
  auto a = open();
  auto b = open();
  auto c = open();
  std::atomic<int> onA{0}, onB{0}, onC{0};
  AddressBook* seenByB = nullptr;
  a->registerExternalChangeCallback([&](AddressBook&) { ++onA; });
  int tokenB = b->registerExternalChangeCallback([&](AddressBook& changed) {
    ++onB;
    seenByB = &changed;
    EXPECT_EQ(changed.personCount(), 1u);  // the callback may read at once
  });
  c->registerExternalChangeCallback([&](AddressBook&) { ++onC; });

  newPerson(*a, "Ann");
  ASSERT_TRUE(a->save());
  EXPECT_EQ(onA, 0);
  EXPECT_EQ(onB, 1);
  EXPECT_EQ(onC, 1);
  EXPECT_EQ(seenByB, b.get());

  ASSERT_TRUE(a->save());  // nothing to save: nobody hears of it
  EXPECT_EQ(onB, 1);
  b->unregisterExternalChangeCallback(tokenB);
  newPerson(*c, "Cy");
  ASSERT_TRUE(c->save());
  EXPECT_EQ(onA, 1);
  EXPECT_EQ(onB, 1);
  EXPECT_EQ(onC, 1);
}

TEST_F(AddressBookTest, SavesOfAnotherProcessReachEveryHandleThatListens) {
  auto a = open();
  auto b = open();
  newPerson(*a, "Ann");
  newPerson(*a, "Bob");
  ASSERT_TRUE(a->save());
  platform::Semaphore heard;
  std::atomic<int> onA{0}, onB{0};
  a->registerExternalChangeCallback([&](AddressBook&) {
    ++onA;
    heard.signal();
  });
  b->registerExternalChangeCallback([&](AddressBook&) {
    ++onB;
    heard.signal();
  });
  // This process's own writes are no external change (and nothing of
  // them is heard later either: see the counts below).
  newPerson(*b, "Cy");
  ASSERT_TRUE(b->save());
  ASSERT_TRUE(AddressBook::setAccessAnswer(true));
  heard.wait();  // b's save, heard by a
  EXPECT_EQ(onA, 1);
  EXPECT_EQ(onB, 0);

  // Another process removes Ann and saves: both handles hear of it once.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("ADDRESSBOOK_OTHER_ROOT", platform::AppHome::root().c_str(), 1);
    execl("/proc/self/exe", "other", "--gtest_filter=AddressBookOtherProcess.RemovesAnn", static_cast<char*>(nullptr));
    _exit(6);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  heard.wait();
  heard.wait();
  EXPECT_EQ(onA, 2);
  EXPECT_EQ(onB, 1);
  EXPECT_EQ(a->personCount(), 2u);

  // Becoming active looks again; with nothing new, nobody hears anything.
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  EXPECT_EQ(onA, 2);
  EXPECT_EQ(onB, 1);
}

TEST_F(AddressBookTest, GroupsKeepNamesAndMembersInOrder) {
  RecordId groupId;
  RecordId annId, bobId;
  {
    auto book = open();
    Record ann = newPerson(*book, "Ann");
    ASSERT_TRUE(book->save());
    auto group = book->createGroup(book->defaultSource());
    ASSERT_TRUE(group.ok());
    ASSERT_TRUE(group->setName("Family"));
    Record bob = newPerson(*book, "Bob");  // unsaved people can join too
    ASSERT_TRUE(group->addMember(bob));
    ASSERT_TRUE(group->addMember(ann));
    ASSERT_TRUE(group->addMember(ann));  // already a member
    EXPECT_EQ(group->members().size(), 2u);
    ASSERT_TRUE(book->save());
    groupId = group->id();
    annId = ann.id();
    bobId = bob.id();
  }
  auto book = open();
  Record group = book->groupWithId(groupId);
  ASSERT_TRUE(group);
  EXPECT_EQ(group.name(), "Family");
  EXPECT_EQ(group.compositeName(), "Family");
  auto members = group.members();
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].id(), bobId);
  EXPECT_EQ(members[1].id(), annId);
  EXPECT_EQ(book->groupsInSource(book->defaultSource()).size(), 1u);

  // Removing a member, and removing a person, both leave the group.
  ASSERT_TRUE(group.removeMember(book->personWithId(bobId)));
  ASSERT_TRUE(group.removeMember(book->personWithId(bobId)));  // not a member: no change
  ASSERT_TRUE(book->removeRecord(book->personWithId(annId)));
  EXPECT_TRUE(group.members().empty());
  ASSERT_TRUE(book->save());
  EXPECT_TRUE(open()->groupWithId(groupId).members().empty());

  // Members must share the group's source; Exchange sources hold no groups.
  auto exchange = book->addSource("Work", SourceKind::Exchange);
  ASSERT_TRUE(exchange.ok());
  Record stranger = newPerson(*book, "Stranger", *exchange);
  EXPECT_EQ(group.addMember(stranger).error().code(), kOperationNotPermittedByStoreError);
  EXPECT_FALSE(book->createGroup(*exchange).ok());
}

TEST_F(AddressBookTest, SourcesLinkedPeopleAndRemovingASource) {
  RecordId cardId, localPerson, cardPerson, third;
  {
    auto book = open();
    auto card = book->addSource("Card", SourceKind::CardDAV);
    ASSERT_TRUE(card.ok());
    Record p1 = newPerson(*book, "Ann");
    Record p2 = newPerson(*book, "Ann", *card);
    Record p3 = newPerson(*book, "Bob", *card);
    ASSERT_TRUE(book->linkPeople(p1, p2));
    EXPECT_EQ(p1.linkedPeople().size(), 2u);
    ASSERT_TRUE(book->save());
    cardId = card->id();
    localPerson = p1.id();
    cardPerson = p2.id();
    third = p3.id();
  }
  auto book = open();
  auto sources = book->sources();
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_EQ(sources[0].id(), kLocalSourceId);
  EXPECT_EQ(sources[0].sourceKind(), SourceKind::Local);
  EXPECT_EQ(sources[1].name(), "Card");
  EXPECT_EQ(sources[1].sourceKind(), SourceKind::CardDAV);
  EXPECT_EQ(book->defaultSource().id(), kLocalSourceId);
  EXPECT_EQ(book->peopleInSource(sources[1]).size(), 2u);
  EXPECT_EQ(book->personWithId(cardPerson).source(), sources[1]);

  Record p1 = book->personWithId(localPerson);
  auto linked = p1.linkedPeople();
  ASSERT_EQ(linked.size(), 2u);
  EXPECT_EQ(linked[0].id(), localPerson);
  EXPECT_EQ(linked[1].id(), cardPerson);
  Record p3 = book->personWithId(third);
  ASSERT_EQ(p3.linkedPeople().size(), 1u);  // not linked: only itself
  ASSERT_TRUE(book->linkPeople(p3, book->personWithId(cardPerson)));
  ASSERT_TRUE(book->unlinkPerson(p1));
  ASSERT_TRUE(book->save());
  auto fresh = open();
  EXPECT_EQ(fresh->personWithId(localPerson).linkedPeople().size(), 1u);
  EXPECT_EQ(fresh->personWithId(third).linkedPeople().size(), 2u);

  // Removing a source takes its people and groups with it.
  ASSERT_TRUE(fresh->createGroup(fresh->sourceWithId(cardId)).ok());
  ASSERT_TRUE(fresh->save());
  ASSERT_TRUE(fresh->removeRecord(fresh->sourceWithId(cardId)));
  ASSERT_TRUE(fresh->save());
  auto after = open();
  EXPECT_EQ(after->sources().size(), 1u);
  EXPECT_EQ(after->personCount(), 1u);
  EXPECT_TRUE(after->groups().empty());
  EXPECT_FALSE(after->addSource(std::nullopt, SourceKind::Local).ok());
}

TEST_F(AddressBookTest, InvalidIdsNullRecordsAndWrongTypesAreRefused) {
  auto book = open();
  Record ann = newPerson(*book, "Ann");
  auto group = book->createGroup(book->defaultSource());
  ASSERT_TRUE(book->save());
  EXPECT_TRUE(book->personWithId(kInvalidRecordId).isNull());
  EXPECT_TRUE(book->personWithId(group->id()).isNull());  // lookups are typed
  EXPECT_TRUE(book->groupWithId(ann.id()).isNull());
  EXPECT_TRUE(book->personWithId(9999).isNull());
  EXPECT_TRUE(book->sourceWithId(kLocalSourceId));

  Record null;
  EXPECT_EQ(null.id(), kInvalidRecordId);
  EXPECT_FALSE(null.type());
  EXPECT_FALSE(null.compositeName());
  EXPECT_EQ(null.setValue(PersonProperty::FirstName, "x").error().code(), kOperationNotPermittedByStoreError);
  EXPECT_EQ(book->removeRecord(null).error().code(), kOperationNotPermittedByStoreError);
  EXPECT_FALSE(book->createPerson(null).ok());
  EXPECT_FALSE(book->createPerson(ann).ok());  // not a source

  EXPECT_FALSE(ann.setValue(PersonProperty::Birthday, std::string("2000-01-01")));
  MultiValue<Date> dates;
  dates.add(day(2000, 1, 1));
  EXPECT_FALSE(ann.setValue(PersonProperty::Phone, dates));
  EXPECT_FALSE(ann.setValue(PersonProperty::Kind, std::int32_t(7)));
  EXPECT_FALSE(group->setValue(PersonProperty::FirstName, "x"));
  EXPECT_FALSE(book->sourceWithId(kLocalSourceId).setName("Mine"));
  EXPECT_FALSE(book->hasUnsavedChanges());

  // A record of another handle is not this handle's.
  auto other = open();
  EXPECT_FALSE(other->removeRecord(ann).ok());
  EXPECT_FALSE(other->createPerson(book->defaultSource()).ok());
}

TEST_F(AddressBookTest, CompositeNameAndSortingFollowTheNameParts) {
  auto book = open();
  auto person = [&](std::initializer_list<std::pair<PersonProperty, const char*>> values) {
    auto p = book->createPerson(book->defaultSource());
    for (auto [property, text] : values) EXPECT_TRUE(p->setValue(property, std::string(text)));
    return *p;
  };
  Record full = person({{PersonProperty::FirstName, "Ann"}, {PersonProperty::LastName, "zeta"},
                        {PersonProperty::Organization, "Acme"}});
  Record company = person({{PersonProperty::Organization, "Acme"}, {PersonProperty::Nickname, "Ace"}});
  Record nick = person({{PersonProperty::Nickname, "Bee"}, {PersonProperty::FirstName, ""}});
  Record empty = person({});
  Record alpha = person({{PersonProperty::FirstName, "Zed"}, {PersonProperty::LastName, "Alpha"}});
  EXPECT_EQ(full.compositeName(), "Ann zeta");
  EXPECT_EQ(company.compositeName(), "Acme");
  EXPECT_EQ(nick.compositeName(), "Bee");
  EXPECT_FALSE(empty.compositeName());
  ASSERT_TRUE(full.setValue(PersonProperty::Kind, static_cast<std::int32_t>(PersonKind::Organization)));
  EXPECT_EQ(full.compositeName(), "Acme");

  auto byLast = book->peopleInSource(book->defaultSource(), SortOrdering::ByLastName);
  ASSERT_EQ(byLast.size(), 5u);
  EXPECT_EQ(byLast[0], empty);
  EXPECT_EQ(byLast[1], company);
  EXPECT_EQ(byLast[2], alpha);
  EXPECT_EQ(byLast[3], nick);
  EXPECT_EQ(byLast[4], full);
  auto byFirst = book->peopleInSource(book->defaultSource(), SortOrdering::ByFirstName);
  EXPECT_EQ(byFirst[2], full);
  EXPECT_EQ(byFirst[3], nick);
  EXPECT_EQ(byFirst[4], alpha);
}

TEST_F(AddressBookTest, WriteFaultsStopSingleWritesAndSaves) {
  auto book = open();
  Record ann = newPerson(*book, "Ann");
  ASSERT_TRUE(book->save());
  AddressBook::setWriteFault([](const WriteAttempt& attempt) -> std::optional<platform::Error> {
    if (attempt.property == PersonProperty::Email || attempt.operation == WriteOperation::SetImage) {
      return platform::Error(kErrorDomain, kOperationNotPermittedByStoreError);
    }
    return std::nullopt;
  });
  ASSERT_TRUE(ann.setValue(PersonProperty::LastName, "Lee"));
  MultiValue<std::string> emails;
  emails.add("a@example.com");
  EXPECT_EQ(ann.setValue(PersonProperty::Email, emails).error().code(), kOperationNotPermittedByStoreError);
  EXPECT_FALSE(ann.setImageData(Bytes{1}).ok());
  EXPECT_EQ(ann.stringValue(PersonProperty::LastName), "Lee");  // earlier writes stay
  EXPECT_FALSE(ann.value(PersonProperty::Email));

  AddressBook::setWriteFault([](const WriteAttempt& attempt) -> std::optional<platform::Error> {
    if (attempt.operation == WriteOperation::Save) return platform::Error(kErrorDomain, 0);
    return std::nullopt;
  });
  EXPECT_FALSE(book->save().ok());
  EXPECT_TRUE(book->hasUnsavedChanges());
  EXPECT_FALSE(open()->personWithId(ann.id()).stringValue(PersonProperty::LastName));
}

TEST_F(AddressBookTest, ReadersNeverSeeHalfASave) {
  constexpr int kBatch = 40;
  constexpr int kSaves = 15;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread writer([&] {
    auto book = open();
    for (int s = 0; s < kSaves; ++s) {
      for (int i = 0; i < kBatch; ++i) newPerson(*book, "P" + std::to_string(i));
      EXPECT_TRUE(book->save());
    }
    done = true;
  });
  auto reader = open();
  std::size_t last = 0;
  while (!done) {
    std::size_t count = reader->personCount();
    if (count % kBatch != 0 || count < last) ++torn;
    last = count;
  }
  writer.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(reader->personCount(), static_cast<std::size_t>(kBatch * kSaves));
}

TEST(AddressBookLabels, LocalizedLabelsAreEnglishWordsAndCustomLabelsPassThrough) {
  EXPECT_EQ(localizedLabel(kHomeLabel), "home");
  EXPECT_EQ(localizedLabel(kPersonPhoneHomeFAXLabel), "home fax");
  EXPECT_EQ(localizedLabel(kPersonPhoneIPhoneLabel), "iPhone");
  EXPECT_EQ(localizedLabel(kPersonAnniversaryLabel), "anniversary");
  EXPECT_EQ(localizedLabel(kPersonPhoneMainLabel), "main");
  EXPECT_EQ(localizedLabel("_$!<Cottage>!$_"), "Cottage");
  EXPECT_EQ(localizedLabel("lunar"), "lunar");
  EXPECT_EQ(localizedLabel(""), "");
}

TEST(AddressBookMultiValue, IdentifiersStayWithTheirEntries) {
  MultiValue<std::string> mv;
  auto a = mv.add("a", "x");
  auto b = mv.add("b");
  auto c = mv.insert(0, "c");
  EXPECT_EQ(mv.values(), (std::vector<std::string>{"c", "a", "b"}));
  EXPECT_TRUE(mv.remove(1));
  EXPECT_FALSE(mv.remove(5));
  EXPECT_EQ(mv.indexOf(b), 1u);
  EXPECT_EQ(mv.indexOf(c), 0u);
  EXPECT_FALSE(mv.indexOf(a));
  EXPECT_GT(mv.add("d"), c);  // a's identifier is not reused

  // Stored entries with missing or repeated identifiers get fresh ones.
  auto rebuilt = MultiValue<std::string>::fromEntries({{3, std::nullopt, "p"}, {3, std::nullopt, "q"}, {-1, "l", "r"}});
  EXPECT_EQ(rebuilt[0].identifier, 3);
  EXPECT_NE(rebuilt[1].identifier, 3);
  EXPECT_NE(rebuilt[2].identifier, rebuilt[1].identifier);
  EXPECT_GE(rebuilt[2].identifier, 4);
}

}  // namespace

// The other process of SavesOfAnotherProcessReachEveryHandleThatListens:
// runs only when that test executes it.
TEST(AddressBookOtherProcess, RemovesAnn) {
  const char* root = std::getenv("ADDRESSBOOK_OTHER_ROOT");
  if (!root) GTEST_SKIP();
  platform::AppHome::setRoot(root);
  auto book = platform::addressbook::AddressBook::create();
  ASSERT_TRUE(book.ok());
  for (const auto& person : (*book)->people()) {
    if (person.stringValue(platform::addressbook::PersonProperty::FirstName) == "Ann") {
      ASSERT_TRUE((*book)->removeRecord(person));
    }
  }
  ASSERT_TRUE((*book)->save());
}

// The exiting program: runs only when the test below executes it, so its
// exit handlers are those of a fresh process.
TEST(AddressBookExitChild, OpensHandlesWhileExiting) {
  const char* root = std::getenv("ADDRESSBOOK_EXIT_ROOT");
  if (!root) GTEST_SKIP();
  platform::AppHome::setRoot(root);
  (void)platform::addressbook::AddressBook::setAuthorizationStatus(platform::addressbook::AuthorizationStatus::Authorized);
  static std::atomic<bool> opening{false};
  std::thread([] {
    for (;;) {
      auto book = platform::addressbook::AddressBook::create();
      if (book.ok()) (void)(*book)->personCount();
      opening = true;
    }
  }).detach();
  while (!opening) std::this_thread::yield();
  std::exit(0);
}

// A background refresh still opens and closes address-book handles while
// the process exits: the handles' registry outlives the exit handlers.
TEST(AddressBookExit, HandlesCanBeOpenedWhileTheProcessExits) {
  testsupport::TestHome home;
  for (int run = 0; run < 5; ++run) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setenv("ADDRESSBOOK_EXIT_ROOT", home.root().c_str(), 1);
      execl("/proc/self/exe", "exiting", "--gtest_filter=AddressBookExitChild.OpensHandlesWhileExiting",
            static_cast<char*>(nullptr));
      _exit(6);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}
