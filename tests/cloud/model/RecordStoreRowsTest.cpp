// The relation rows: round trips of every column, preconditions, defaults,
// status queries, counts, deletion and values that look like SQL.
#include <set>
#include <thread>

#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/model/RecordStoreTestSupport.h"
#include "utils/LMErrors.h"

namespace {

using lumora::LMContactRelation;
using lumora::LMGroupRelation;
using lumora::LMManagedRecordContext;

LMContactRelation contactRelation(std::int64_t serverID, std::optional<std::int32_t> recordID,
                             const char* status = "default") {
  LMContactRelation row;
  row.setServerID(serverID);
  row.setServerSync(1);
  row.setRecordID(recordID);
  row.setServerStatus(status);
  return row;
}

LMContactRelation fullContact(std::int64_t serverID) {
  LMContactRelation row = contactRelation(serverID, 12, "custom");
  row.setLocalRecordSync(1700000000.625);
  row.setLocalServerSync(40);
  row.setLocalJsonString(R"({"name":"local"})");
  row.setServerSync(41);
  row.setPhotoId("photo-1");
  row.setThumbnailId("thumb-1");
  row.setJsonString(R"({"name":"cloud"})");
  row.setDigest("da39a3ee5e6b4b0d3255bfef95601890afd80709");
  row.setIsPhotoFail(true);
  return row;
}

LMGroupRelation groupRelation(std::int64_t serverID, std::int32_t recordID, const char* status) {
  LMGroupRelation row;
  row.setServerID(serverID);
  row.setServerSync(3);
  row.setRecordID(recordID);
  row.setServerStatus(status);
  return row;
}

class RecordStoreRows : public recordstoretest::StoreFixture {
 protected:
  LMManagedRecordContext store_;
};

TEST_F(RecordStoreRows, ContactRowsRoundTripEveryColumnAndUpdate) {
  LMContactRelation row = fullContact(100);
  ASSERT_TRUE(store_.addContactRelation(row));
  // Every column comes back in its place (the digest and the content are
  // distinct columns; the fraction of the time survives).
  EXPECT_EQ(store_.searchContactRelationByServerID(100).value(), row);
  EXPECT_EQ(store_.searchContactRelationByRecordID(12).value(), row);

  LMContactRelation sparse = contactRelation(101, 13);
  ASSERT_TRUE(store_.addContactRelation(sparse));
  auto read = store_.searchContactRelationByServerID(101).value();
  ASSERT_TRUE(read.has_value());
  EXPECT_FALSE(read->localJsonString().has_value());
  EXPECT_FALSE(read->localServerSync().has_value());

  LMContactRelation changed = fullContact(101);
  changed.setRecordID(14);
  changed.setServerStatus("default");
  ASSERT_TRUE(store_.updateContactRelation(changed));
  EXPECT_EQ(store_.searchContactRelationByServerID(101).value(), changed);
  EXPECT_EQ(store_.searchAllContactRelations()->size(), 2u);
}

TEST_F(RecordStoreRows, WritesNeedServerIdAndVersion) {
  LMContactRelation noSync;
  noSync.setServerID(1);
  EXPECT_FALSE(store_.addContactRelation(noSync));
  EXPECT_FALSE(store_.updateContactRelation(noSync));
  LMGroupRelation groupNoSync;
  groupNoSync.setServerID(1);
  EXPECT_FALSE(store_.addGroupRelation(groupNoSync));
  EXPECT_FALSE(store_.deleteGroupRelation(LMGroupRelation()));
  EXPECT_FALSE(store_.deleteContactRelation(LMContactRelation()));
  EXPECT_TRUE(store_.searchAllContactRelations()->empty());
  EXPECT_TRUE(store_.searchAllGroupRelations()->empty());
  EXPECT_FALSE(store_.searchContactRelationByRecordID(std::nullopt).value().has_value());
}

TEST_F(RecordStoreRows, MissingTimeAndPhotoFlagAreFilledInTheObjectAndStored) {
  LMContactRelation row = contactRelation(9, 4);
  row.setLocalRecordSync(std::nullopt);
  row.setIsPhotoFail(std::nullopt);
  ASSERT_TRUE(store_.addContactRelation(row));
  EXPECT_EQ(row.localRecordSync(), 0.0);
  EXPECT_EQ(row.isPhotoFail(), false);
  EXPECT_EQ(store_.searchContactRelationByServerID(9).value(), row);
}

TEST_F(RecordStoreRows, DuplicateServerIdIsRefusedAndTheFirstRowKept) {
  LMContactRelation first = fullContact(3);
  ASSERT_TRUE(store_.addContactRelation(first));
  LMContactRelation second = contactRelation(3, 99);
  EXPECT_FALSE(store_.addContactRelation(second));
  EXPECT_EQ(store_.searchContactRelationByServerID(3).value(), first);
}

TEST_F(RecordStoreRows, GroupRowsInsertUpdateQueryAndDelete) {
  LMGroupRelation row = groupRelation(20, 7, "custom");
  row.setLocalName("Family");
  row.setLocalServerSync(2);
  row.setLocalJsonString("[1,2]");
  row.setServerName("Family & Friends");
  ASSERT_TRUE(store_.addGroupRelation(row));
  EXPECT_EQ(store_.searchGroupRelationByRecordID(7).value(), row);
  ASSERT_TRUE(store_.addGroupRelation(groupRelation(21, -1, "default")));
  ASSERT_EQ(store_.searchAllUnsyncGroupRelations()->size(), 1u);

  row.setServerStatus("default");
  row.setLocalJsonString(std::nullopt);
  row.setRecordID(8);
  ASSERT_TRUE(store_.updateGroupRelation(row));
  EXPECT_EQ(store_.searchGroupRelationByServerID(20).value(), row);
  EXPECT_TRUE(store_.searchAllUnsyncGroupRelations()->empty());

  ASSERT_TRUE(store_.deleteGroupRelation(row));
  auto all = store_.searchAllGroupRelations().value();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].serverID(), 21);
}

TEST_F(RecordStoreRows, StatusQueriesPhotoFailuresCountAndDeletion) {
  std::vector<LMContactRelation> rows = {contactRelation(1, 10, "default"), contactRelation(2, 11, "custom"),
                                         contactRelation(3, 12, "deleted"), contactRelation(4, 11, "custom")};
  for (std::size_t i = 1; i < rows.size(); ++i) rows[i].setIsPhotoFail(true);
  for (auto& row : rows) ASSERT_TRUE(store_.addContactRelation(row));
  ASSERT_TRUE(store_.addGroupRelation(groupRelation(1, 1, "default")));

  auto unsynced = store_.searchAllUnsyncContactRelations().value();
  ASSERT_EQ(unsynced.size(), 3u);
  EXPECT_EQ(unsynced[0].serverID(), 2);
  // By record id: the later of two rows with record id 11 wins.
  auto failed = store_.searchAllPhotoFailRelations().value();
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed.at(11).serverID(), 4);
  EXPECT_EQ(failed.at(12).serverID(), 3);
  EXPECT_EQ(store_.serverContactNum(), 3);  // "default" and "custom", not "deleted"

  ASSERT_TRUE(store_.deleteContactRelation(contactRelation(2, std::nullopt)));
  EXPECT_FALSE(store_.searchContactRelationByServerID(2).value().has_value());
  EXPECT_EQ(store_.searchAllContactRelations()->size(), 3u);
  EXPECT_TRUE(store_.deleteAllRelations());
  EXPECT_TRUE(store_.searchAllContactRelations()->empty());
  EXPECT_TRUE(store_.searchAllGroupRelations()->empty());
}

TEST_F(RecordStoreRows, ValuesThatLookLikeSqlAreStoredAsText) {
  LMContactRelation row = contactRelation(1, 1);
  const std::string hostile = "x'); drop table SyncContact; --";
  row.setJsonString(hostile);
  row.setServerStatus("default' or '1'='1");
  ASSERT_TRUE(store_.addContactRelation(row));
  EXPECT_EQ(store_.searchContactRelationByServerID(1).value()->jsonString(), hostile);
  EXPECT_EQ(store_.searchAllUnsyncContactRelations()->size(), 1u);
  LMContactRelation second = contactRelation(2, 2);
  EXPECT_TRUE(store_.addContactRelation(second));  // the table is still there
}

TEST_F(RecordStoreRows, BatchesKeepAllOrNothingAndNest) {
  auto add = [this](std::int64_t serverID) {
    auto row = contactRelation(serverID, static_cast<std::int32_t>(serverID));
    return store_.addContactRelation(row);
  };
  auto failure = [] { return lumora::LMManagedRecordContextDatabase::error("stop"); };
  platform::Status outer = store_.performBatch([&]() -> platform::Status {
    EXPECT_TRUE(add(1));
    platform::Status inner = store_.performBatch([&]() -> platform::Status {
      EXPECT_TRUE(add(2));
      return failure();
    });
    EXPECT_FALSE(inner.ok());
    EXPECT_FALSE(store_.searchContactRelationByServerID(2).value().has_value());  // only its own part undone
    EXPECT_TRUE(add(3));
    return platform::Status::success();
  });
  ASSERT_TRUE(outer.ok());
  platform::Status dropped = store_.performBatch([&]() -> platform::Status {
    EXPECT_TRUE(add(4));
    EXPECT_TRUE(store_.performBatch([&] { return add(5) ? platform::Status::success() : failure(); }).ok());
    return failure();
  });
  EXPECT_EQ(dropped.error().code(), lumora::kLMLocalErrorDatabase);
  std::set<std::int64_t> stored;
  const auto allRows = store_.searchAllContactRelations().value();
  for (const auto& row : allRows) stored.insert(*row.serverID());
  EXPECT_EQ(stored, (std::set<std::int64_t>{1, 3}));
}

TEST_F(RecordStoreRows, WritesFromSeveralThreadsAllLand) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 25; ++i) {
        auto row = contactRelation(t * 100 + i, t * 100 + i);
        EXPECT_TRUE(store_.addContactRelation(row));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(store_.serverContactNum(), 100);
}

}  // namespace
