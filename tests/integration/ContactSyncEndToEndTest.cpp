// The contact sync from end to end against the local cloud: both directions,
// batching, the conflict rules and groups, each shown on both sides.
#include "ContactSyncFixture.h"

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server/http/FaultInjector.h"

namespace contactsynctest {
namespace {

using lumora::LMContactSyncAdapter;

class ContactSyncEndToEndTest : public ContactSyncCloudTest {};

TEST_F(ContactSyncEndToEndTest, CloudContactsComeDownAndLocalOnesGoUpInBatchesOfFive) {
  for (int i = 0; i < 450; ++i) {
    addCloudContact(contactNamed("Cloud" + std::to_string(i), "Person", "+1 555 " + std::to_string(1000 + i)));
  }
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(people().size(), 450u);
  EXPECT_EQ(lastReports.counts["localContacts"], (std::vector<std::uint64_t>{450, 0, 0}));
  EXPECT_EQ(lastReports.counts["lumoraContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_TRUE(lastReports.finished);
  EXPECT_EQ(lastReports.progress.front(), lumora::kLMSyncProcessBegin);

  for (int i = 0; i < 12; ++i) addPerson(contactNamed("Local" + std::to_string(i), "Person"));
  server_->signedEndpoints().clearJournal();
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(callsTo(batchPath()), 3u);  // 5, 5 and 2
  EXPECT_EQ(std::count(lastReports.progress.begin(), lastReports.progress.end(),
                       lumora::kLMSyncProcessPushBatch),
            3);
  EXPECT_EQ(lastReports.counts["lumoraContacts"], (std::vector<std::uint64_t>{12, 0, 0}));
  EXPECT_EQ(cloudContacts().size(), 462u);

  // Nothing changed: nothing is sent, nothing is written.
  server_->signedEndpoints().clearJournal();
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(callsTo(batchPath()), 0u);
  EXPECT_EQ(lastReports.counts["localContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(people().size(), 462u);
}

// Edits `contact`'s person here (a note) and saves.
void editPerson(ab::AddressBook& book, ab::RecordId id, const std::string& note) {
  ab::Record person = book.personWithId(id);
  ASSERT_TRUE(person);
  ASSERT_TRUE(person.setValue(ab::PersonProperty::Note, note).ok());
  ASSERT_TRUE(book.save().ok());
}

TEST_F(ContactSyncEndToEndTest, ConflictsBetweenTheTwoSidesSettleTheSameWayOnBoth) {
  // Added on both sides: equal ones become one, compatible ones are merged.
  addPerson(contactNamed("Same", "Both", "+1 555 0001"));
  addCloudContact(contactNamed("Same", "Both", "+1 555 0001"));
  lumora::LMContact withMail = contactNamed("Merged", "Both", "+1 555 0002");
  withMail.emailArray = Json::array({Json{{"type", "home"}, {"value", "merged@example.com"}}});
  addPerson(contactNamed("Merged", "Both", "+1 555 0002"));
  addCloudContact(withMail);
  // Synced first, then changed on one side and deleted on the other.
  const ab::RecordId editedHere = addPerson(contactNamed("Edited", "Here"));
  const std::int64_t editedThere = addCloudContact(contactNamed("Edited", "There"));
  const ab::RecordId deletedBoth = addPerson(contactNamed("Deleted", "Both"));
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(lastReports.counts["lumoraContacts"], (std::vector<std::uint64_t>{2, 2, 0}));
  auto cloud = cloudContacts();
  ASSERT_EQ(cloud.size(), 5u);
  EXPECT_EQ(cloud["Merged Both"]["content"]["emails"].size(), 1u);
  EXPECT_EQ(cloud["Merged Both"]["content"]["phoneNumbers"].size(), 1u);
  ASSERT_EQ(people().size(), 5u);
  EXPECT_EQ(people()["Merged Both"].emailArray.size(), 1u);

  const std::int64_t editedHereId = cloud["Edited Here"]["content"]["id"];
  const std::int64_t deletedBothId = cloud["Deleted Both"]["content"]["id"];
  editPerson(*book_, editedHere, "changed here");
  ASSERT_TRUE(server_->contacts().remove(signedtest::kUserId, editedHereId, std::nullopt, false).record.id);
  lumora::LMContact changedThere = contactNamed("Edited", "There");
  changedThere.note = "changed there";
  server_->contacts().modify(signedtest::kUserId, editedThere, "contact", changedThere.dictionaryForLumoraJSON()["content"],
                             std::nullopt);
  ab::RecordId editedThereHere = people()["Edited There"].recordID.value_or(-1);
  ASSERT_TRUE(book_->removeRecord(book_->personWithId(editedThereHere)).ok());
  ASSERT_TRUE(book_->removeRecord(book_->personWithId(deletedBoth)).ok());
  ASSERT_TRUE(book_->save().ok());
  server_->contacts().remove(signedtest::kUserId, deletedBothId, std::nullopt, false);

  ASSERT_TRUE(sync().ok());
  // Changed here, deleted there: sent again as a new record. Changed there,
  // deleted here: created here again. Deleted on both: gone from both.
  cloud = cloudContacts();
  auto here = people();
  for (const auto* side : {"cloud", "here"}) {
    SCOPED_TRACE(side);
    const bool onCloud = std::string(side) == "cloud";
    EXPECT_EQ(onCloud ? cloud.size() : here.size(), 4u);
    EXPECT_EQ(onCloud ? cloud.count("Deleted Both") : here.count("Deleted Both"), 0u);
  }
  EXPECT_EQ(cloud["Edited Here"]["content"]["note"], "changed here");
  EXPECT_NE(cloud["Edited Here"]["content"]["id"], editedHereId);
  EXPECT_EQ(here["Edited There"].note, "changed there");

  // The next sync has nothing to do: in particular the person edited here
  // is not deleted for its old cloud record.
  server_->signedEndpoints().clearJournal();
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(callsTo(batchPath()), 0u);
  EXPECT_EQ(lastReports.counts["localContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(people().size(), 4u);
  EXPECT_EQ(cloudContacts().size(), 4u);
}

TEST_F(ContactSyncEndToEndTest, GroupsAndTheirMembersTravelBothWays) {
  const std::int64_t family = addCloudGroup("Family");
  lumora::LMContact member = contactNamed("Cloud", "Member");
  member.groupIDs = {family};
  addCloudContact(member);
  ab::Record local = book_->sourceWithId(ab::kLocalSourceId);
  auto familyHere = book_->createGroup(local);  // added on both sides: paired by name
  auto work = book_->createGroup(local);
  ASSERT_TRUE(familyHere.ok() && work.ok());
  ASSERT_TRUE(familyHere->setName("Family").ok());
  ASSERT_TRUE(work->setName("Work").ok());
  ASSERT_TRUE(book_->save().ok());
  const ab::RecordId colleague = addPerson(contactNamed("Local", "Colleague"));
  ASSERT_TRUE(work->addMember(book_->personWithId(colleague)).ok());
  ASSERT_TRUE(book_->save().ok());

  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(lastReports.counts["lumoraGroups"], (std::vector<std::uint64_t>{1, 0, 0}));
  EXPECT_EQ(lastReports.counts["localGroups"], (std::vector<std::uint64_t>{0, 0, 0}));
  std::map<std::string, std::int64_t> cloudGroups;
  for (const auto& record : server_->contacts().records(signedtest::kUserId)) {
    if (record.type == "group" && record.status == "custom") cloudGroups[record.content.value("title", "")] = record.id;
  }
  EXPECT_EQ(cloudGroups.size(), 2u);
  auto cloud = cloudContacts();
  ASSERT_EQ(cloud.count("Local Colleague"), 1u);
  EXPECT_EQ(cloud["Local Colleague"]["content"]["groups"], Json::array({Json{{"value", cloudGroups["Work"]}}}));
  auto members = book_->groupWithId(familyHere->id()).members();
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].compositeName(), "Cloud Member");
  EXPECT_EQ(book_->groupsInSource(local).size(), 2u);

  // Nothing changed: nothing sent. Then a group removed here goes in the
  // cloud too.
  server_->signedEndpoints().clearJournal();
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(callsTo(batchPath()), 0u);
  ASSERT_TRUE(book_->removeRecord(book_->groupWithId(work->id())).ok());
  ASSERT_TRUE(book_->save().ok());
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(lastReports.counts["lumoraGroups"], (std::vector<std::uint64_t>{0, 0, 1}));
  EXPECT_EQ(server_->contacts().find(signedtest::kUserId, cloudGroups["Work"])->status, "deleted");
}

TEST_F(ContactSyncEndToEndTest, CloudChangesWhosePersonWentMeanwhileAreSettledOnce) {
  const std::int64_t changed = addCloudContact(contactNamed("Changed", "There"));
  const std::int64_t deleted = addCloudContact(contactNamed("Deleted", "There"));
  ASSERT_TRUE(sync().ok());
  auto here = people();
  const ab::RecordId changedHere = *here["Changed There"].recordID;
  const ab::RecordId deletedHere = *here["Deleted There"].recordID;

  lumora::LMContact edit = contactNamed("Changed", "There");
  edit.note = "edited";
  server_->contacts().modify(signedtest::kUserId, changed, "contact", edit.dictionaryForLumoraJSON()["content"],
                             std::nullopt);
  server_->contacts().remove(signedtest::kUserId, deleted, std::nullopt, false);
  addPerson(contactNamed("Something", "New"));  // so that a batch is pushed
  // Both persons go while the sync pushes, after it looked at the book.
  delegate_->didAdapterSyncProcess = [&](std::int32_t process) {
    if (process != lumora::kLMSyncProcessPushBatch) return;
    ASSERT_TRUE(book_->removeRecord(book_->personWithId(changedHere)).ok());
    ASSERT_TRUE(book_->removeRecord(book_->personWithId(deletedHere)).ok());
    ASSERT_TRUE(book_->save().ok());
  };
  ASSERT_TRUE(sync().ok());
  delegate_->didAdapterSyncProcess = nullptr;
  here = people();
  EXPECT_EQ(here.count("Deleted There"), 0u);
  ASSERT_EQ(here.count("Changed There"), 1u);  // the cloud's change wins over the deletion
  EXPECT_EQ(here["Changed There"].note, "edited");

  // Nothing is left pending: the next sync has no change to count.
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(lastReports.counts["localContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(lastReports.counts["lumoraContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
}

// A batch of adds whose reply is lost for good made its records in the
// cloud; the person deleted here before the next sync stays deleted there
// too, one edited meanwhile is still one person with the edit, one changed
// in the cloud meanwhile takes that change, and nobody is lost. Before,
// the deleted one came back at the next sync and the edited one doubled.
TEST_F(ContactSyncEndToEndTest, ChangesAfterABatchWhoseReplyWasLostApplyToTheRecordsItMade) {
  std::vector<ab::RecordId> ids;
  for (const char* given : {"Ann", "Bob", "Cid", "Dee"}) {
    lumora::LMContact contact = contactNamed(given, "Lost");
    contact.note = "first";
    ids.push_back(addPerson(contact));
  }
  localcloud::Fault lost;
  lost.dropReply = true;
  server_->faults().set(batchPath(), lost);
  ASSERT_FALSE(sync().ok());
  server_->faults().clearAll();
  ASSERT_EQ(cloudContacts().size(), 4u);  // the batch was applied

  ASSERT_TRUE(book_->removeRecord(book_->personWithId(ids[1])).ok());
  ASSERT_TRUE(book_->save().ok());
  editPerson(*book_, ids[0], "second");
  Json dee = cloudContacts().at("Dee Lost")["content"];
  dee["note"] = "changed there";
  ASSERT_EQ(server_->contacts().modify(signedtest::kUserId, dee["id"].get<std::int64_t>(), "contact", dee,
                                        std::nullopt).outcome,
            localcloud::ContactStore::Outcome::Applied);
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(sync().ok()) << run;
    auto here = people();
    auto there = cloudContacts();
    EXPECT_EQ(here.size(), 3u) << run;
    EXPECT_EQ(there.size(), 3u) << run;
    for (const char* name : {"Ann Lost", "Cid Lost", "Dee Lost"}) {
      EXPECT_EQ(here.count(name), 1u) << run << name;
      EXPECT_EQ(there.count(name), 1u) << run << name;
    }
    EXPECT_EQ(here["Ann Lost"].note, "second") << run;
    EXPECT_EQ(there["Ann Lost"]["content"].value("note", ""), "second") << run;
    EXPECT_EQ(here["Dee Lost"].note, "changed there") << run;
    EXPECT_EQ(there["Dee Lost"]["content"].value("note", ""), "changed there") << run;
  }
}

// A batch of adds whose reply was lost made a record that another device
// deleted before the next sync: the add sent again is answered with that
// record, so the person unchanged since is deleted here; one edited since
// goes up as a new record and stays on both sides.
TEST_F(ContactSyncEndToEndTest, ARecordALostReplyMadeAndAnotherDeviceDeletedSettlesItsAdd) {
  for (const bool edited : {false, true}) {
    SCOPED_TRACE(edited ? "edited here since" : "unchanged here");
    const std::string given = edited ? "Eve" : "Fay";
    const std::string name = given + " Gone";
    const ab::RecordId id = addPerson(contactNamed(given, "Gone"));
    localcloud::Fault lost;
    lost.dropReply = true;
    server_->faults().set(batchPath(), lost);
    ASSERT_FALSE(sync().ok());
    server_->faults().clearAll();
    auto there = cloudContacts();
    ASSERT_EQ(there.count(name), 1u);
    const std::int64_t made = there[name]["content"]["id"].get<std::int64_t>();
    ASSERT_EQ(server_->contacts().remove(signedtest::kUserId, made, std::nullopt, false).outcome,
              localcloud::ContactStore::Outcome::Applied);
    if (edited) editPerson(*book_, id, "edited");

    for (int run = 0; run < 2; ++run) {
      server_->signedEndpoints().clearJournal();
      ASSERT_TRUE(sync().ok()) << run;
      // The add once again, then (edited) the person as a new record.
      EXPECT_EQ(callsTo(batchPath()), run > 0 ? 0u : edited ? 2u : 1u) << run;
      EXPECT_EQ(people().count(name), edited ? 1u : 0u) << run;
      EXPECT_EQ(cloudContacts().count(name), edited ? 1u : 0u) << run;
    }
  }
}

// A batch the network dropped before the cloud read it leaves its adds in
// flight. A person with the same content as one of them, made and deleted
// on another device, is no record of this phone's: the syncs after keep
// every person on both sides. Before, the look-alike's deletion took Z1.
TEST_F(ContactSyncEndToEndTest, AnAddThatNeverArrivedOutlivesALookAlikeDeletedElsewhere) {
  std::set<std::string> everyone;
  for (int i = 0; i < 10; ++i) {
    addPerson(contactNamed("Z" + std::to_string(i), "Person"));
    everyone.insert("Z" + std::to_string(i) + " Person");
  }
  localcloud::Fault dropped;
  dropped.drop = true;
  server_->faults().set(batchPath(), dropped);
  ASSERT_FALSE(sync().ok());
  server_->faults().clearAll();
  ASSERT_TRUE(cloudContacts().empty());
  const std::int64_t lookAlike = addCloudContact(contactNamed("Z1", "Person"));
  ASSERT_EQ(server_->contacts().remove(signedtest::kUserId, lookAlike, std::nullopt, false).outcome,
            localcloud::ContactStore::Outcome::Applied);

  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(sync().ok()) << run;
    std::set<std::string> here;
    for (const auto& [name, person] : people()) here.insert(name);
    std::set<std::string> there;
    for (const auto& [name, record] : cloudContacts()) there.insert(name);
    EXPECT_EQ(here, everyone) << run;
    EXPECT_EQ(there, everyone) << run;
  }
}

}  // namespace
}  // namespace contactsynctest

namespace contactsynctest {
namespace {

// A name without Latin letters in three parts is read back from the cloud
// with the middle name joined to the given name; neither the person nor the
// cloud's copy may change for that, and a save with no change sends nothing.
TEST_F(ContactSyncEndToEndTest, ANonLatinNameInThreePartsStaysAsItIsOnBothSides) {
  lumora::LMContact person = contactNamed("明", "张");
  person.middleName = "小";
  person.name = "张小明";
  const ab::RecordId id = addPerson(person);
  for (int run = 0; run < 10; ++run) {
    if (run > 0) {
      // Saved again, in the end unchanged.
      ab::Record saved = book_->personWithId(id);
      ASSERT_TRUE(saved.setValue(ab::PersonProperty::Note, "draft").ok());
      ASSERT_TRUE(book_->save().ok());
      ASSERT_TRUE(saved.removeValue(ab::PersonProperty::Note).ok());
      ASSERT_TRUE(book_->save().ok());
    }
    server_->signedEndpoints().clearJournal();
    ASSERT_TRUE(sync().ok()) << run;
    if (run > 0) {
      EXPECT_EQ(callsTo(batchPath()), 0u) << run;
    }
    auto book = ab::AddressBook::create();
    ASSERT_TRUE(book.ok());
    ab::Record here = (*book)->personWithId(id);
    EXPECT_EQ(here.stringValue(ab::PersonProperty::LastName), "张") << run;
    EXPECT_EQ(here.stringValue(ab::PersonProperty::MiddleName), "小") << run;
    EXPECT_EQ(here.stringValue(ab::PersonProperty::FirstName), "明") << run;
    auto cloud = cloudContacts();
    ASSERT_EQ(cloud.size(), 1u) << run;
    const Json& name = cloud.begin()->second["content"]["name"];
    EXPECT_EQ(name.value("middleName", ""), "小") << run;
    EXPECT_EQ(name.value("givenName", ""), "明") << run;
  }
}

}  // namespace
}  // namespace contactsynctest

namespace contactsynctest {
namespace {

// Cloud contacts are written to the address book 21 at a time; a save that
// fails ends the sync as a failure, keeps what the earlier saves wrote, and
// the next sync brings the rest without doubling anyone.
TEST_F(ContactSyncEndToEndTest, CloudContactsAreSavedTwentyOneAtATimeAndAFailedSaveLosesNothing) {
  for (int i = 0; i < 45; ++i) addCloudContact(contactNamed("Cloud" + std::to_string(i), "Saved"));
  std::atomic<int> saves{0};
  ab::AddressBook::setWriteFault([&saves](const ab::WriteAttempt& attempt) -> std::optional<platform::Error> {
    if (attempt.operation == ab::WriteOperation::Save && ++saves == 2) {
      return platform::Error("ABAddressBookErrorDomain", 1);
    }
    return std::nullopt;
  });
  EXPECT_FALSE(sync().ok());
  ab::AddressBook::setWriteFault(nullptr);
  EXPECT_EQ(people().size(), 21u);
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(people().size(), 45u);
  EXPECT_EQ(cloudContacts().size(), 45u);
}

}  // namespace
}  // namespace contactsynctest

namespace contactsynctest {
namespace {

class ContactPushRepliesTest : public ContactSyncCloudTest {
 protected:
  // Runs `change` on the cloud once, as the first batch of the next sync
  // goes out (after the sync read both sides), so what it sends is stale.
  void changeCloudDuringPush(std::function<void()> change) {
    auto pending = std::make_shared<std::function<void()>>(std::move(change));
    delegate_->didAdapterSyncProcess = [pending](std::int32_t process) {
      if (process != lumora::kLMSyncProcessPushBatch || !*pending) return;
      std::exchange(*pending, nullptr)();
    };
  }
  void noteCloud(std::int64_t id, const std::string& given, const std::string& family, const std::string& note) {
    lumora::LMContact edit = contactNamed(given, family);
    edit.note = note;
    server_->contacts().modify(signedtest::kUserId, id, "contact", edit.dictionaryForLumoraJSON()["content"],
                               std::nullopt);
  }
};

// The cloud answers a push with its own record when it holds a newer one:
// a delete it keeps brings the person back here, a modify it answers with
// another version writes that version here and is not counted as sent.
TEST_F(ContactPushRepliesTest, RepliesWithTheCloudsOwnRecordWinHere) {
  const std::int64_t kept = addCloudContact(contactNamed("Kept", "There"));
  const std::int64_t edited = addCloudContact(contactNamed("Edited", "Both"));
  ASSERT_TRUE(sync().ok());
  auto here = people();
  ASSERT_TRUE(book_->removeRecord(book_->personWithId(*here["Kept There"].recordID)).ok());
  ASSERT_TRUE(book_->save().ok());
  editPerson(*book_, *here["Edited Both"].recordID, "edited here");
  changeCloudDuringPush([&] {
    noteCloud(kept, "Kept", "There", "kept there");
    noteCloud(edited, "Edited", "Both", "edited there");
  });

  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(lastReports.counts["lumoraContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(lastReports.counts["localContacts"], (std::vector<std::uint64_t>{1, 1, 0}));
  here = people();
  auto cloud = cloudContacts();
  for (const auto& [name, note] : {std::pair{"Kept There", "kept there"}, std::pair{"Edited Both", "edited there"}}) {
    ASSERT_EQ(here.count(name), 1u) << name;
    EXPECT_EQ(here[name].note, note) << name;
    EXPECT_EQ(cloud[name]["content"]["note"], note) << name;
  }

  // Both sides agree: nothing is left to send.
  server_->signedEndpoints().clearJournal();
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(callsTo(batchPath()), 0u);
  EXPECT_EQ(people().size(), 2u);
}

// Each step of a run that fails ends it there: the delegate hears the
// steps before it and the failure, nothing after it, and the adapter is
// no longer syncing.
TEST_F(ContactPushRepliesTest, ARunEndsAtTheStepThatFails) {
  auto dropTables = [this] {
    contacts_->context()->databaseQueue()->inDatabase([](sqlite3* db) {
      ASSERT_EQ(sqlite3_exec(db, "drop table SyncContact; drop table SyncGroup", nullptr, nullptr, nullptr), SQLITE_OK);
    });
  };
  localcloud::Fault refused;
  refused.code = 40001;
  refused.times = 1;
  struct Step {
    const char* what;
    std::function<void()> arrange;
    std::vector<std::string> heard;  // the reports of the run, in order
  };
  const std::vector<Step> steps = {
      {"the group phase",
       [&] {
         auto group = book_->createGroup(book_->sourceWithId(ab::kLocalSourceId));
         ASSERT_TRUE(group.ok() && group->setName("Club").ok() && book_->save().ok());
         server_->faults().set(batchPath(), refused);
       },
       {"begin", "groups", "fail"}},
      {"the contact phase",
       [&] {
         addPerson(contactNamed("New", "Here"));
         // The group the first step left unsent goes first; the contacts' batch is refused.
         localcloud::Fault second = refused;
         second.skip = 1;
         server_->faults().set(batchPath(), second);
       },
       {"begin", "groups", "localGroups", "lumoraGroups", "contacts", "fail"}},
      {"the member lists",
       [&] {
         addPerson(contactNamed("Newer", "Here"));
         delegate_->didAdapterSynchronizeLumoraContacts = [&, heard = delegate_->didAdapterSynchronizeLumoraContacts](
                                                              std::uint64_t a, std::uint64_t m, std::uint64_t d) {
           heard(a, m, d);
           dropTables();
         };
       },
       {"begin", "groups", "localGroups", "lumoraGroups", "contacts", "localContacts", "lumoraContacts", "fail"}},
      {"sorting the cloud's changes",
       [&] {
         ASSERT_TRUE(contacts_->context()->createDatabase());
         delegate_->willAdapterBeginSynchronize = [&, heard = delegate_->willAdapterBeginSynchronize] {
           heard();
           dropTables();
         };
       },
       {"begin", "fail"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.arrange();
    EXPECT_FALSE(sync().ok());
    EXPECT_EQ(lastReports.calls, step.heard);
    EXPECT_FALSE(contacts_->isSyncing());
    server_->faults().clearAll();
  }
}

}  // namespace
}  // namespace contactsynctest
