// Local change detection against the relation rows: the rules for people
// added, modified and deleted, groups against the snapshot, group members in
// the rows, and a book of ten thousand people.
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>

#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/model/RecordStoreAddressBookSupport.h"
#include "utils/LMUtils.h"
#include "utils/SHA1.h"
#include "platform/storage/KeyedArchive.h"

namespace {

using recordstoretest::keysOf;

namespace ab = platform::addressbook;
using lumora::LMContact;
using lumora::LMContactRelation;
using lumora::LMGroupRelation;
using lumora::LMManagedRecordContext;
using P = ab::PersonProperty;
using namespace std::chrono_literals;

class LocalChanges : public recordstoretest::AddressBookFixture {
 protected:
  // A row in step with the saved person `p` as it is now.
  static LMContactRelation syncedRow(const ab::Record& p, std::int64_t serverID) {
    std::optional<LMContact> contact = LMContact::initWithABRecord(p);
    EXPECT_TRUE(contact.has_value());
    LMContactRelation row;
    row.setRecordID(p.id());
    row.setServerID(serverID);
    row.setServerSync(serverID + 100);
    row.setLocalServerSync(serverID + 100);
    row.setLocalRecordSync(
        std::chrono::duration<double>(contact->modificationTime->time_since_epoch()).count());
    row.setLocalJsonString(
        lumora::LMUtils::stringFromJSONObject(contact->dictionaryForLumoraJSON()["content"]).value());
    if (auto image = p.imageData()) row.setDigest(lumora::sha1String(*image));
    return row;
  }

  void addRows(std::vector<LMContactRelation> rows) {
    ASSERT_TRUE(store_
                    .performBatch([&]() -> platform::Status {
                      for (auto& row : rows) EXPECT_TRUE(store_.addContactRelation(row));
                      return platform::Status::success();
                    })
                    .ok());
  }

  LMGroupRelation groupRow(const ab::Record& group, std::int64_t serverID, const std::string& name) {
    LMGroupRelation row;
    row.setRecordID(group.id());
    row.setServerID(serverID);
    row.setServerSync(serverID + 10);
    row.setLocalServerSync(serverID + 20);
    row.setLocalName(name);
    EXPECT_TRUE(store_.addGroupRelation(row));
    return row;
  }

  ab::Record group(const std::string& name) {
    auto made = book_->createGroup(local());
    EXPECT_TRUE(made.ok());
    EXPECT_TRUE(made->setName(name).ok());
    return *made;
  }

  LMManagedRecordContext store_;
};

TEST_F(LocalChanges, PeopleAreAddedModifiedOrDeletedByTheirRows) {
  ab::Record added = person(local(), "Added");
  ab::Record sameTime = person(local(), "SameTime");
  ab::Record photoFailed = person(local(), "PhotoFailed");
  ab::Record edited = person(local(), "Edited");
  ab::Record photoAdded = person(local(), "PhotoAdded");
  ab::Record photoRemoved = person(local(), "PhotoRemoved");
  ab::Record touched = person(local(), "Touched");
  ab::Record gone = person(local(), "Gone");
  ASSERT_TRUE(photoRemoved.setImageData({1, 2, 3}).ok());
  ASSERT_TRUE(book_->save().ok());

  std::vector<LMContactRelation> rows;
  std::int64_t serverID = 1;
  for (const ab::Record& p : {sameTime, photoFailed, edited, photoAdded, photoRemoved, touched, gone}) {
    rows.push_back(syncedRow(p, serverID++));
  }
  rows[0].setLocalJsonString(R"({"name": "Someone else"})");  // same time: not even compared
  rows[1].setIsPhotoFail(true);
  LMContactRelation unlinked;  // a cloud contact with no person yet
  unlinked.setServerID(99);
  unlinked.setServerSync(1);
  rows.push_back(unlinked);
  addRows(rows);

  clock_->advance(60s);
  ASSERT_TRUE(edited.setValue(P::LastName, "Lee").ok());
  ASSERT_TRUE(photoAdded.setImageData({4, 5}).ok());
  ASSERT_TRUE(photoRemoved.removeImageData().ok());
  ASSERT_TRUE(touched.setValue(P::Note, "tmp").ok());
  ASSERT_TRUE(book_->save().ok());
  ASSERT_TRUE(touched.removeValue(P::Note).ok());  // newer, but the same again
  ASSERT_TRUE(book_->removeRecord(gone).ok());
  ASSERT_TRUE(book_->save().ok());

  ASSERT_TRUE(store_.loadLocalChangedContactsIgnoreGroupChanges(book_.get(), local()).ok());
  EXPECT_EQ(keysOf(store_.localAddContactDic()), std::set<std::int32_t>{added.id()});
  EXPECT_EQ(keysOf(store_.localModifyContactDic()),
            (std::set<std::int32_t>{photoFailed.id(), edited.id(), photoAdded.id(), photoRemoved.id()}));
  EXPECT_EQ(keysOf(store_.localDeleteContactDic()), std::set<std::int32_t>{rows[6].recordID().value()});
  const LMContact& modified = store_.localModifyContactDic().at(edited.id());
  EXPECT_EQ(modified.serverID, rows[2].serverID());
  EXPECT_EQ(modified.sync, rows[2].localServerSync());
  EXPECT_TRUE(log_->contains("local contact add(1) modify(4) delete(1)", lumora::kLMLogFlagInfo));

  // Without a readable book nothing is found (rather than every row deleted).
  ASSERT_TRUE(store_.loadLocalChangedContactsIgnoreGroupChanges(nullptr, local()).ok());
  EXPECT_TRUE(store_.localDeleteContactDic().empty());
  ASSERT_TRUE(store_.loadLocalChangedContactsIgnoreGroupChanges(book_.get(), local()).ok());
  store_.clearCacheData();
  EXPECT_TRUE(store_.localModifyContactDic().empty());
}

TEST_F(LocalChanges, GroupsAgainstTheSnapshotThatOutlivesARestart) {
  ab::Record ann = person(local(), "Ann");
  ab::Record bob = person(local(), "Bob");
  ab::Record family = group("Family");
  ab::Record work = group("Work");
  ab::Record club = group("Club");
  ab::Record empty = group("Empty");
  ASSERT_TRUE(family.addMember(ann).ok());
  ASSERT_TRUE(work.addMember(bob).ok());
  ASSERT_TRUE(book_->save().ok());
  groupRow(family, 1, "Family");
  groupRow(work, 2, "Work");
  LMGroupRelation clubRow = groupRow(club, 3, "Club");
  groupRow(empty, 4, "Empty");
  ASSERT_TRUE(store_.updateLocalDatabaseGroupMembers(book_.get(), local()).ok());
  EXPECT_FALSE(store_.searchGroupRelationByRecordID(empty.id()).value()->localJsonString().has_value());

  {
    LMManagedRecordContext restarted;
    const auto snapshot = restarted.localSyncGroupDic().value();
    ASSERT_EQ(keysOf(snapshot), (std::set<std::int32_t>{family.id(), work.id(), club.id(), empty.id()}));
    EXPECT_EQ(snapshot.at(family.id()).name, "Family");
    EXPECT_EQ(snapshot.at(family.id()).memberIDs, std::set<std::int32_t>{ann.id()});
    EXPECT_EQ(snapshot.at(club.id()).serverID, 3);
    EXPECT_TRUE(snapshot.at(empty.id()).memberIDs.empty());
  }

  ab::Record fresh = group("Fresh");
  ab::Record late = group("Late");
  ASSERT_TRUE(family.setName("Relatives").ok());
  ASSERT_TRUE(work.addMember(ann).ok());  // members only: not a change of the group
  ASSERT_TRUE(book_->removeRecord(club).ok());
  ASSERT_TRUE(book_->save().ok());
  ASSERT_EQ(store_.localSyncGroupDic()->size(), 4u);  // built now, before Late has a row
  groupRow(late, 5, "Late");

  ASSERT_TRUE(store_.loadLocalChangedGroups(book_.get(), local()).ok());
  EXPECT_EQ(keysOf(store_.localAddGroupDic()), std::set<std::int32_t>{fresh.id()});
  EXPECT_EQ(keysOf(store_.localModifyGroupDic()), std::set<std::int32_t>{family.id()});
  ASSERT_EQ(keysOf(store_.localDeleteGroupDic()), std::set<std::int32_t>{clubRow.recordID().value()});
  const lumora::LMGroup& deleted = store_.localDeleteGroupDic().begin()->second;
  EXPECT_EQ(deleted.serverID, 3);
  EXPECT_EQ(deleted.sync, clubRow.localServerSync());
  EXPECT_EQ(store_.localModifyGroupDic().at(family.id()).serverID, 1);
  EXPECT_EQ(store_.localSyncGroupDic()->size(), 5u);  // dropped by the run, rebuilt with Late

  EXPECT_TRUE(store_.clearLocalSyncGroupDic());
  auto archive = platform::KeyedArchive::readFromFile(store_.localSyncGroupPath());
  ASSERT_TRUE(archive.ok());
  EXPECT_TRUE(archive->values().empty());
}

TEST_F(LocalChanges, TenThousandPeopleWithAHundredOfEachChange) {
  constexpr int kPeople = 10000;
  constexpr int kEach = 100;
  for (int i = 0; i < kPeople; ++i) {
    ab::Record p = person(local(), "P" + std::to_string(i));
    ASSERT_TRUE(p.setValue(P::Phone, recordstoretest::multi<std::string>({{std::nullopt, "555" + std::to_string(i)}}))
                    .ok());
  }
  ASSERT_TRUE(book_->save().ok());
  std::vector<ab::Record> people = book_->peopleInSource(local());
  ASSERT_EQ(people.size(), static_cast<std::size_t>(kPeople));
  std::vector<LMContactRelation> rows;
  for (int i = 0; i < kPeople; ++i) rows.push_back(syncedRow(people[i], i + 1));
  addRows(std::move(rows));

  clock_->advance(60s);
  std::set<std::int32_t> added, edited, deleted;
  for (int i = 0; i < kEach; ++i) {
    ab::Record& toEdit = people[static_cast<std::size_t>(i) * 97];
    ASSERT_TRUE(toEdit.setValue(P::LastName, "Edited").ok());
    edited.insert(toEdit.id());
    ab::Record& toDelete = people[static_cast<std::size_t>(i) * 97 + 1];
    deleted.insert(toDelete.id());
    ASSERT_TRUE(book_->removeRecord(toDelete).ok());
  }
  std::vector<ab::Record> fresh;
  for (int i = 0; i < kEach; ++i) fresh.push_back(person(local(), "New" + std::to_string(i)));
  ASSERT_TRUE(book_->save().ok());
  for (const ab::Record& p : fresh) added.insert(p.id());

  ASSERT_TRUE(store_.loadLocalChangedContactsIgnoreGroupChanges(book_.get(), local()).ok());
  EXPECT_EQ(keysOf(store_.localAddContactDic()), added);
  EXPECT_EQ(keysOf(store_.localModifyContactDic()), edited);
  EXPECT_EQ(keysOf(store_.localDeleteContactDic()), deleted);
}

}  // namespace

// A store that cannot be read is a failure for every step that reads it,
// never an empty store (which would send every person again), and the
// connection waits for another writer instead of failing at once.
TEST_F(LocalChanges, UnreadableRowsFailEveryReaderInsteadOfLookingEmpty) {
  person(local(), "Someone");
  ASSERT_TRUE(book_->save().ok());
  int busyTimeout = 0;
  store_.databaseQueue()->inDatabase([&](sqlite3* db) {
    sqlite3_exec(db, "pragma busy_timeout", [](void* out, int, char** values, char**) {
      *static_cast<int*>(out) = std::atoi(values[0]);
      return 0;
    }, &busyTimeout, nullptr);
    ASSERT_EQ(sqlite3_exec(db, "drop table SyncContact; drop table SyncGroup", nullptr, nullptr, nullptr),
              SQLITE_OK);
  });
  EXPECT_GT(busyTimeout, 0);

  EXPECT_FALSE(store_.loadLocalChangedContactsIgnoreGroupChanges(book_.get(), local()).ok());
  EXPECT_TRUE(store_.localAddContactDic().empty());
  EXPECT_FALSE(store_.loadLocalChangedGroups(book_.get(), local()).ok());
  EXPECT_FALSE(store_.localSyncGroupDic().ok());
  EXPECT_FALSE(store_.filterLumoraChangedRecords().ok());
  EXPECT_FALSE(store_.updateLocalDatabaseGroupMembers(book_.get(), local()).ok());
  lumora::LMContact cloud;
  cloud.serverID = 1;
  cloud.sync = 1;
  EXPECT_FALSE(store_.saveLumoraContacts({cloud}, false).ok());
  // Single rows too: a failed read is no "no such row".
  EXPECT_FALSE(store_.searchContactRelationByServerID(1).ok());
  EXPECT_FALSE(store_.searchContactRelationByRecordID(1).ok());
  EXPECT_FALSE(store_.searchGroupRelationByServerID(1).ok());
  EXPECT_FALSE(store_.searchGroupRelationByRecordID(1).ok());
  EXPECT_FALSE(store_.localRecordIDsFromLumora({1}).ok());
  EXPECT_FALSE(store_.lumoraRecordIDsFromLocal({1}).ok());
}

// One group row that cannot be written does not undo the others (the
// contacts are synced by then); the next sync writes it again.
TEST_F(LocalChanges, AGroupRowThatCannotBeWrittenLeavesTheOthers) {
  ab::Record ann = person(local(), "Ann");
  ab::Record family = group("Family");
  ab::Record work = group("Work");
  ASSERT_TRUE(family.addMember(ann).ok());
  ASSERT_TRUE(work.addMember(ann).ok());
  ASSERT_TRUE(book_->save().ok());
  groupRow(family, 1, "Family");
  groupRow(work, 2, "Work");
  store_.databaseQueue()->inDatabase([&](sqlite3* db) {
    const std::string trigger = "create trigger lm_refuse before update on SyncGroup when new.serverID = 2 "
                                "begin select raise(abort, 'refused'); end";
    ASSERT_EQ(sqlite3_exec(db, trigger.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  });
  EXPECT_TRUE(store_.updateLocalDatabaseGroupMembers(book_.get(), local()).ok());
  EXPECT_TRUE(store_.searchGroupRelationByServerID(1).value()->localJsonString().has_value());
  EXPECT_FALSE(store_.searchGroupRelationByServerID(2).value()->localJsonString().has_value());
}
