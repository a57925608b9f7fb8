// Recording cloud changes in the rows (incremental pages and full listings),
// failures that must leave the watermark, sorting the rows into the cloud
// change maps, and group id translation.
#include <sqlite3.h>

#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/model/RecordStoreTestSupport.h"
#include "utils/LMErrors.h"

namespace {

using recordstoretest::keysOf;

using lumora::LMContact;
using lumora::LMContactRelation;
using lumora::LMGroup;
using lumora::LMGroupRelation;
using lumora::LMManagedRecordContext;
using platform::Json;

LMContact cloudContact(std::int64_t id, std::optional<std::int64_t> tag, const char* status,
                       const std::string& name = "Someone") {
  Json content = {{"id", id}, {"status", status}, {"displayName", name}};
  if (tag) content["tag"] = *tag;
  return LMContact::initWithLumoraJSON(content).value();
}

LMGroup cloudGroup(std::int64_t id, std::int64_t tag, const char* status,
                   std::optional<std::string> title = std::nullopt) {
  Json content = {{"id", id}, {"tag", tag}, {"status", status}};
  if (title) content["title"] = *title;
  return LMGroup::initWithLumoraJSON(content).value();
}

LMContactRelation contactRow(std::int64_t serverID, std::int32_t recordID, std::int64_t sync = 5) {
  LMContactRelation row;
  row.setServerID(serverID);
  row.setServerSync(sync);
  row.setRecordID(recordID);
  row.setJsonString(R"({"displayName": "Before"})");
  row.setLocalRecordSync(0.0);  // as stored
  return row;
}

class CloudChanges : public recordstoretest::StoreFixture {
 protected:
  void addRows(std::vector<LMContactRelation> rows) {
    for (auto& row : rows) ASSERT_TRUE(store_.addContactRelation(row));
  }
  std::optional<LMContactRelation> row(std::int64_t serverID) {
    return store_.searchContactRelationByServerID(serverID).value();
  }
  // Runs SQL on the store's file through a connection of its own.
  void sql(const std::string& text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store_.databaseFilePath().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  LMManagedRecordContext store_;
};

TEST_F(CloudChanges, IncrementalPageRecordsNewerVersionsAndSortsThem) {
  LMContactRelation withPhoto = contactRow(4, 13);
  withPhoto.setPhotoId("photo-4");
  addRows({contactRow(1, 10), contactRow(2, -1), contactRow(3, 12), withPhoto});
  LMGroupRelation friends;
  friends.setServerID(1);
  friends.setServerSync(1);
  friends.setRecordID(20);
  ASSERT_TRUE(store_.addGroupRelation(friends));

  std::vector<LMContact> page = {
      cloudContact(1, 5, "custom", "Same version"), cloudContact(2, 6, "deleted"),
      cloudContact(3, 6, "deleted"), cloudContact(4, 7, "custom", "Newer"),
      cloudContact(5, 1, "custom", "New"), cloudContact(6, 1, "deleted"),
      cloudContact(7, 9, "other"), cloudContact(8, std::nullopt, "custom")};
  std::vector<LMGroup> groups = {cloudGroup(1, 2, "custom", "Friends"), cloudGroup(2, 1, "custom"),
                                 cloudGroup(3, 1, "weird", "Ignored")};
  ASSERT_TRUE(store_.saveLumoraGroups(groups, page, 77, "cursor", false).ok());
  EXPECT_EQ(store_.serverSync(), 77);
  EXPECT_EQ(store_.serverSyncExtraInfo(), "cursor");

  EXPECT_EQ(row(1), contactRow(1, 10));
  EXPECT_FALSE(row(2).has_value());
  EXPECT_EQ(row(3)->serverStatus(), "deleted");
  EXPECT_EQ(row(4)->serverStatus(), "custom");
  EXPECT_EQ(row(4)->serverSync(), 7);
  EXPECT_NE(row(4)->jsonString()->find("Newer"), std::string::npos);
  EXPECT_EQ(row(4)->photoId(), "photo-4");  // photo columns are the sync's, not the listing's
  EXPECT_EQ(row(5)->recordID(), -1);
  EXPECT_EQ(row(5)->serverStatus(), "custom");
  for (std::int64_t absent : {6, 7, 8}) EXPECT_FALSE(row(absent).has_value()) << absent;
  EXPECT_EQ(store_.searchGroupRelationByServerID(1).value()->serverName(), "Friends");
  EXPECT_FALSE(store_.searchGroupRelationByServerID(3).value().has_value());

  ASSERT_TRUE(store_.filterLumoraChangedRecords().ok());
  EXPECT_EQ(keysOf(store_.lumoraAddContactDic()), std::set<std::int64_t>{5});
  EXPECT_EQ(keysOf(store_.lumoraModifyContactDic()), std::set<std::int64_t>{4});
  EXPECT_EQ(keysOf(store_.lumoraDeleteContactDic()), std::set<std::int64_t>{3});
  EXPECT_EQ(store_.lumoraModifyContactDic().at(4).recordID, 13);
  EXPECT_EQ(store_.lumoraModifyContactDic().at(4).name, "Newer");
  EXPECT_EQ(keysOf(store_.lumoraModifyGroupDic()), std::set<std::int64_t>{1});
  ASSERT_EQ(keysOf(store_.lumoraAddGroupDic()), std::set<std::int64_t>{2});
  EXPECT_EQ(store_.lumoraAddGroupDic().at(2).name, "Group");
  EXPECT_TRUE(log_->contains("lumora contact add(1) modify(1) delete(1)", lumora::kLMLogFlagInfo));
}

TEST_F(CloudChanges, FullListingMarksMissingRowsAndHonoursDeletions) {
  addRows({contactRow(1, 10), contactRow(2, -1), contactRow(3, 12), contactRow(4, 13),
           contactRow(5, -1)});
  LMGroupRelation missingGroup;
  missingGroup.setServerID(9);
  missingGroup.setServerSync(1);
  missingGroup.setRecordID(30);
  ASSERT_TRUE(store_.addGroupRelation(missingGroup));

  std::vector<LMContact> all = {cloudContact(3, 5, "custom"), cloudContact(4, 6, "deleted"),
                                cloudContact(5, 6, "deleted"), cloudContact(8, 1, "custom", "Old"),
                                cloudContact(8, 2, "custom", "Latest")};
  ASSERT_TRUE(store_.saveLumoraGroups({cloudGroup(10, 1, "custom", "New")}, all, 5, "", true).ok());
  EXPECT_EQ(row(1)->serverStatus(), "deleted");  // gone from the cloud, still on the device
  EXPECT_FALSE(row(2).has_value());
  EXPECT_EQ(row(3), contactRow(3, 12));
  EXPECT_EQ(row(4)->serverStatus(), "deleted");
  EXPECT_FALSE(row(5).has_value());
  EXPECT_EQ(row(8)->serverSync(), 2);
  EXPECT_NE(row(8)->jsonString()->find("Latest"), std::string::npos);
  EXPECT_EQ(store_.searchGroupRelationByServerID(9).value()->serverStatus(), "deleted");
  EXPECT_FALSE(defaults().hasKey("LumoraServerSyncExtraInfo"));
}

TEST_F(CloudChanges, StoreFailureMidPageKeepsTheWatermarkAndTheNextRunRecordsThePageOnce) {
  store_.setServerSync(10);
  addRows({contactRow(100, 1)});
  std::vector<LMContact> page;
  for (std::int64_t id = 1; id <= 50; ++id) page.push_back(cloudContact(id, 3, "custom"));
  page.push_back(cloudContact(100, 9, "custom", "Updated"));

  for (const char* trigger : {"before insert on SyncContact when new.serverID = 25",
                              "before update on SyncContact"}) {
    sql(std::string("create trigger fault ") + trigger + " begin select raise(abort, 'injected'); end");
    platform::Status failed = store_.saveLumoraGroups({cloudGroup(1, 1, "custom")}, page, 20, "x", false);
    ASSERT_FALSE(failed.ok()) << trigger;
    EXPECT_EQ(failed.error().code(), lumora::kLMLocalErrorDatabase);
    EXPECT_EQ(store_.serverSync(), 10);
    EXPECT_EQ(store_.searchAllContactRelations()->size(), 1u);
    EXPECT_TRUE(store_.searchAllGroupRelations()->empty());
    EXPECT_EQ(row(100), contactRow(100, 1));
    sql("drop trigger fault");
  }

  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(store_.saveLumoraGroups({}, page, 20, "x", false).ok());
    EXPECT_EQ(store_.serverSync(), 20);
    EXPECT_EQ(store_.searchAllContactRelations()->size(), 51u);
    EXPECT_EQ(row(100)->serverSync(), 9);
  }
}

TEST_F(CloudChanges, ContentThatCannotBeJsonTextRecordsNothing) {
  store_.setServerSync(10);
  std::vector<LMContact> page = {cloudContact(1, 1, "custom"), cloudContact(2, 1, "custom")};
  page[1].nickName = std::string("bad \xff text");
  platform::Status failed = store_.saveLumoraGroups({cloudGroup(1, 1, "custom")}, page, 20, "", false);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().domain(), lumora::kLMJSONErrorDomain);
  EXPECT_EQ(store_.serverSync(), 10);
  EXPECT_TRUE(store_.searchAllContactRelations()->empty());
  EXPECT_TRUE(store_.searchAllGroupRelations()->empty());
}

TEST_F(CloudChanges, SortingStopsAtUnreadableContentAndGroupIdsTranslate) {
  std::vector<LMContactRelation> rows = {contactRow(1, -1), contactRow(2, 11), contactRow(3, -1)};
  for (auto& r : rows) r.setServerStatus("custom");
  rows[1].setServerStatus("deleted");
  rows[1].setJsonString("{unreadable");
  addRows(rows);
  platform::Status sorted = store_.filterLumoraChangedRecords();
  ASSERT_FALSE(sorted.ok());
  EXPECT_EQ(keysOf(store_.lumoraAddContactDic()), std::set<std::int64_t>{1});
  EXPECT_EQ(keysOf(store_.lumoraDeleteContactDic()), std::set<std::int64_t>{2});

  for (auto [serverID, recordID] : {std::pair<std::int64_t, std::int32_t>{100, 7}, {101, -1}}) {
    LMGroupRelation group;
    group.setServerID(serverID);
    group.setServerSync(1);
    group.setRecordID(recordID);
    ASSERT_TRUE(store_.addGroupRelation(group));
  }
  EXPECT_EQ(store_.localRecordIDsFromLumora({100, 101, 102}).value(), std::set<std::int32_t>{7});
  EXPECT_EQ(store_.lumoraRecordIDsFromLocal({7, 8}).value(), std::set<std::int64_t>{100});
}

}  // namespace
