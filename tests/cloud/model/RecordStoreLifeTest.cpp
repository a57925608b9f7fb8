// Opening the record store: creation, replacement by schema version, the
// main-thread path and an unusable database file, found at opening or in use.
#include <sqlite3.h>

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/model/RecordStoreTestSupport.h"
#include "utils/LMUtils.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/KeyedArchive.h"
#include "support/DamagedFile.h"

namespace {

using lumora::LMContactRelation;
using lumora::LMGroupRelation;
using lumora::LMManagedRecordContext;
using recordstoretest::StoreFixture;

namespace fs = std::filesystem;

LMContactRelation lifeContactRow(std::int64_t serverID, std::int64_t serverSync = 1) {
  LMContactRelation row;
  row.setServerID(serverID);
  row.setServerSync(serverSync);
  return row;
}

LMGroupRelation lifeGroupRow(std::int64_t serverID, std::int64_t serverSync = 1) {
  LMGroupRelation row;
  row.setServerID(serverID);
  row.setServerSync(serverSync);
  return row;
}

fs::path databaseFile() { return lumora::LMUtils::applicationDocumentsDirectory() / "lumora.db"; }

using RecordStoreLife = StoreFixture;

TEST_F(RecordStoreLife, FirstStartCreatesBothTablesAndRecordsTheVersion) {
  ASSERT_FALSE(defaults().hasKey("LMDBLastVersion"));
  LMManagedRecordContext store;

  EXPECT_EQ(store.databaseFilePath(), databaseFile().string());
  EXPECT_EQ(store.localSyncGroupPath(),
            (lumora::LMUtils::applicationDocumentsDirectory() / "syncGroups.data").string());
  EXPECT_TRUE(fs::exists(databaseFile()));
  EXPECT_DOUBLE_EQ(defaults().doubleForKey("LMDBLastVersion"), 4.0);
  EXPECT_TRUE(log_->contains("create Lumora database success", lumora::kLMLogFlagDebug));

  auto contact = lifeContactRow(1);
  EXPECT_TRUE(store.addContactRelation(contact));
  EXPECT_TRUE(store.addGroupRelation(lifeGroupRow(2)));
  EXPECT_EQ(store.searchAllContactRelations()->size(), 1u);
  EXPECT_EQ(store.searchAllGroupRelations()->size(), 1u);

  // The tables exist now: creating them again fails and says so.
  EXPECT_FALSE(store.createDatabase());
  EXPECT_TRUE(log_->contains("Create table SyncGroup and SyncContact in Lumora database failed",
                             lumora::kLMLogFlagError));
}

// The record-id indexes of the file, by name.
std::set<std::string> indexes() {
  std::set<std::string> names;
  sqlite3* db = nullptr;
  if (sqlite3_open(databaseFile().c_str(), &db) == SQLITE_OK) {
    sqlite3_exec(
        db, "select name from sqlite_master where type='index' and name like '%RecordID'",
        [](void* out, int, char** values, char**) {
          static_cast<std::set<std::string>*>(out)->insert(values[0]);
          return 0;
        },
        &names, nullptr);
  }
  sqlite3_close(db);
  return names;
}

TEST_F(RecordStoreLife, CurrentVersionKeepsRowsAndWatermarkAndGainsIndexes) {
  {
    LMManagedRecordContext store;
    auto contact = lifeContactRow(7);
    ASSERT_TRUE(store.addContactRelation(contact));
    store.setServerSync(99);
    store.setServerSyncExtraInfo("page-3");
  }
  const std::set<std::string> made = {"SyncContactRecordID", "SyncGroupRecordID"};
  EXPECT_EQ(indexes(), made);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(databaseFile().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "drop index SyncContactRecordID; drop index SyncGroupRecordID", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  LMManagedRecordContext reopened;  // a file from before the indexes
  EXPECT_EQ(reopened.searchAllContactRelations()->size(), 1u);
  EXPECT_EQ(indexes(), made);
  EXPECT_EQ(reopened.serverSync(), 99);
  EXPECT_EQ(reopened.serverSyncExtraInfo(), "page-3");
}

TEST_F(RecordStoreLife, OlderVersionDropsFileSnapshotAndWatermark) {
  {
    LMManagedRecordContext store;
    auto contact = lifeContactRow(7);
    ASSERT_TRUE(store.addContactRelation(contact));
    ASSERT_TRUE(store.addGroupRelation(lifeGroupRow(8)));
    store.setServerSync(99);
    store.setServerSyncExtraInfo("page-3");
  }
  defaults().setDouble("LMDBLastVersion", 3.0);

  LMManagedRecordContext upgraded;
  EXPECT_FALSE(defaults().hasKey("LumoraServerSync"));
  EXPECT_FALSE(defaults().hasKey("LumoraServerSyncExtraInfo"));
  EXPECT_DOUBLE_EQ(defaults().doubleForKey("LMDBLastVersion"), 4.0);
  EXPECT_TRUE(upgraded.searchAllContactRelations()->empty());
  EXPECT_TRUE(upgraded.searchAllGroupRelations()->empty());
  auto contact = lifeContactRow(7);
  EXPECT_TRUE(upgraded.addContactRelation(contact));  // fresh, usable tables
  EXPECT_FALSE(log_->contains("Database upgrade fail", lumora::kLMLogFlagError));

  // The group snapshot file holds an archive of an empty dictionary.
  auto snapshot = platform::KeyedArchive::readFromFile(upgraded.localSyncGroupPath());
  ASSERT_TRUE(snapshot.ok());
  EXPECT_TRUE(snapshot->values().empty());
}

TEST_F(RecordStoreLife, AnUnreadableStoreIsMovedAsideAndMadeAgainWithoutAWatermark) {
  const fs::path file = databaseFile();
  auto write = [](const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  };
  const std::vector<std::pair<const char*, std::function<void()>>> damages = {
      {"garbage", [&] { write(file, std::string(4096, '\x5a')); }},
      {"empty", [&] { write(file, ""); }},
      {"bad header", [&] { write(file, std::string("SQLite format 3", 16) + std::string(4080, '\xff')); }},
      {"other tables", [&] {
         sqlite3* db = nullptr;
         sqlite3_open(file.c_str(), &db);
         sqlite3_exec(db, "create table SyncContact (recordID bigint)", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       }},
      {"folder", [&] { fs::create_directories(file / "inside"); }},
      {"link to nowhere", [&] { fs::create_symlink(file.parent_path() / "gone.db", file); }},
  };
  for (const auto& [what, damage] : damages) {
    SCOPED_TRACE(what);
    {
      LMManagedRecordContext store;
      auto contact = lifeContactRow(7);
      ASSERT_TRUE(store.addContactRelation(contact));
      store.setServerSync(99);
      store.setServerSyncExtraInfo("page-3");
    }
    fs::remove(file);
    damage();

    LMManagedRecordContext rebuilt;
    EXPECT_TRUE(rebuilt.searchAllContactRelations()->empty());
    auto contact = lifeContactRow(8);
    EXPECT_TRUE(rebuilt.addContactRelation(contact));
    EXPECT_EQ(rebuilt.serverSync(), 0) << "the next listing is the whole cloud";
    EXPECT_FALSE(rebuilt.serverSyncExtraInfo());
    std::size_t aside = 0;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
      if (entry.path().filename().string().rfind("lumora.db.unreadable-", 0) == 0) {
        ++aside;
        fs::remove_all(entry.path());
      }
    }
    EXPECT_EQ(aside, 1u);
  }
  // A missing file is made again without the watermark of the rows it held.
  {
    LMManagedRecordContext store;
    store.setServerSync(99);
    store.setServerSyncExtraInfo("page-3");
  }
  fs::remove(file);
  LMManagedRecordContext remade;
  EXPECT_EQ(remade.serverSync(), 0);
  EXPECT_FALSE(remade.serverSyncExtraInfo());
}

TEST_F(RecordStoreLife, AStoreFoundDamagedInUseIsMadeAgainAndAListingBegunBeforeKeepsNoWatermark) {
  LMManagedRecordContext store;
  auto contact = lifeContactRow(7);
  ASSERT_TRUE(store.addContactRelation(contact));
  store.setServerSync(99);
  ASSERT_EQ(store.serverSync(), 99);  // a listing from 99 begins

  testsupport::damagePagesInUse(databaseFile(), '\0');
  EXPECT_FALSE(store.searchAllContactRelations().ok()) << "the read that meets the damage fails";
  EXPECT_EQ(testsupport::movedAside(databaseFile()), 1);
  auto rows = store.searchAllContactRelations();
  ASSERT_TRUE(rows.ok());
  EXPECT_TRUE(rows->empty());
  store.setServerSync(120);  // the listing begun before ends
  EXPECT_EQ(store.serverSync(), 0) << "the next listing is the whole cloud";
  store.setServerSync(121);
  EXPECT_EQ(store.serverSync(), 121);
  contact = lifeContactRow(8);
  EXPECT_TRUE(store.addContactRelation(contact));
}

// The adds in flight of a store found damaged, at opening or in use, go
// into the store made in its place: every row that can be read, those past
// a page that cannot be read too.
TEST_F(RecordStoreLife, AddsInFlightAroundAnUnreadablePageAreCarriedIntoTheNewStore) {
  constexpr std::int32_t kAdds = 200;
  lumora::LMPendingContactAdds sent;
  for (std::int32_t id = 1; id <= kAdds; ++id) {
    sent[id].content = fmt::format(R"({{"displayName": "Marker{:03}", "note": "{}"}})", id, std::string(200, 'n'));
    // Each with its mark and its book, but for the adds recorded before
    // adds had them.
    if (id % 3 != 0) sent[id].mark = fmt::format("mark-{}", id);
    if (id % 4 != 0) sent[id].book = fmt::format("book-{}", id % 2);
  }
  // The bad page first in the table, or in its middle.
  for (const auto& [lost, inUse] : {std::pair{1, false}, std::pair{100, false}, std::pair{1, true}, std::pair{100, true}}) {
    SCOPED_TRACE(fmt::format("{}, the page of {}", inUse ? "in use" : "at opening", lost));
    auto store = std::make_unique<LMManagedRecordContext>();
    ASSERT_TRUE(store->recordPendingContactAdds(sent).ok());
    if (!inUse) store.reset();
    ASSERT_TRUE(testsupport::damagePageHolding(databaseFile(), fmt::format("Marker{:03}", lost), '\x5a', inUse));
    if (inUse) {
      EXPECT_FALSE(store->pendingContactAdds().ok()) << "the read that meets the damage fails";
    } else {
      store = std::make_unique<LMManagedRecordContext>();
    }
    auto carried = store->pendingContactAdds();
    ASSERT_TRUE(carried.ok());
    EXPECT_EQ(carried->count(lost), 0u) << "on the page that cannot be read";
    EXPECT_GE(carried->size(), static_cast<std::size_t>(kAdds - 20)) << "only that page is lost";
    for (const auto& [id, add] : *carried) {
      EXPECT_EQ(add.content, sent[id].content);
      EXPECT_EQ(add.mark, sent[id].mark);
      EXPECT_EQ(add.book, sent[id].book);
    }
    EXPECT_EQ(carried->count(kAdds), 1u);
  }
}

// A store whose adds in flight were recorded before adds had marks (or
// kept their book) keeps them, without, and records new ones with theirs;
// a damaged store of either form carries them too.
TEST_F(RecordStoreLife, AddsInFlightRecordedWithoutMarksAreKeptAndCarried) {
  struct Form {
    const char* what;
    const char* table;  // the table and its row of an add recorded then
    std::optional<std::string> mark;
  };
  const Form forms[] = {
      {"before marks", "create table PendingContactAdd (recordID integer primary key, content text);"
                       "insert into PendingContactAdd values (4, '{\"displayName\": \"Before\"}');",
       std::nullopt},
      {"before books", "create table PendingContactAdd (recordID integer primary key, content text, mark text);"
                       "insert into PendingContactAdd values (4, '{\"displayName\": \"Before\"}', 'mark-4');",
       "mark-4"},
  };
  int aside = 0;
  for (const Form& form : forms) {
    for (const bool damaged : {false, true}) {
      SCOPED_TRACE(std::string(form.what) + (damaged ? ", damaged" : ", whole"));
      { LMManagedRecordContext made; }
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(databaseFile().c_str(), &db), SQLITE_OK);
      const std::string sql = std::string("drop table if exists PendingContactAdd;") + form.table +
                              "drop table if exists Filler; create table Filler (text text);"
                              "insert into Filler values ('FillerMarker')";
      ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(db);
      if (damaged) {
        ASSERT_TRUE(testsupport::damagePageHolding(databaseFile(), "FillerMarker", '\x5a'));
      }
      LMManagedRecordContext store;
      EXPECT_EQ(testsupport::movedAside(databaseFile()), aside += damaged);
      ASSERT_TRUE(store.recordPendingContactAdds({{5, {R"({"displayName": "After"})", "mark-5", "book-5"}}}).ok());
      auto adds = store.pendingContactAdds();
      ASSERT_TRUE(adds.ok());
      EXPECT_EQ(*adds, (lumora::LMPendingContactAdds{{4, {R"({"displayName": "Before"})", form.mark, std::nullopt}},
                                                     {5, {R"({"displayName": "After"})", "mark-5", "book-5"}}}));
    }
  }
}

TEST_F(RecordStoreLife, OnTheMainThreadTablesAreCreatedAheadOfLaterStatements) {
  std::unique_ptr<LMManagedRecordContext> store;
  platform::MainQueue::main().async([&] {
    ASSERT_TRUE(platform::MainQueue::isMainThread());
    store = std::make_unique<LMManagedRecordContext>();
  });
  platform::MainQueue::main().runUntilIdle();
  ASSERT_TRUE(store);

  // The first statement waits behind the queued creation.
  auto contact = lifeContactRow(5);
  EXPECT_TRUE(store->addContactRelation(contact));
  EXPECT_DOUBLE_EQ(defaults().doubleForKey("LMDBLastVersion"), 4.0);

  // A store dropped at once still finishes its queued creation first.
  store.reset();
  std::filesystem::remove(databaseFile());
  defaults().removeObjectForKey("LMDBLastVersion");
  platform::MainQueue::main().async([] { LMManagedRecordContext dropped; });
  platform::MainQueue::main().runUntilIdle();
  EXPECT_DOUBLE_EQ(defaults().doubleForKey("LMDBLastVersion"), 4.0);
}

TEST_F(RecordStoreLife, UnremovableOldFileIsLoggedAndOperationsFailQuietly) {
  // A non-empty directory in place of the file can be neither removed nor
  // opened as a database.
  fs::create_directories(databaseFile() / "blocker");
  LMManagedRecordContext store;
  EXPECT_TRUE(log_->contains("Database upgrade fail", lumora::kLMLogFlagError));
  EXPECT_FALSE(defaults().hasKey("LMDBLastVersion"));

  auto contact = lifeContactRow(1);
  EXPECT_FALSE(store.addContactRelation(contact));
  EXPECT_FALSE(store.searchAllContactRelations().ok());
  EXPECT_EQ(store.serverContactNum(), 0);
  EXPECT_FALSE(store.clearSynchronousData());
  EXPECT_FALSE(store.createDatabase());
}

}  // namespace
