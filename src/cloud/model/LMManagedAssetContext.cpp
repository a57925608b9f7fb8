// The gallery store: opening and upgrading "gallery.db", its two tables and
// every row operation.
#include "cloud/model/LMManagedAssetContext.h"

#include <filesystem>
#include <system_error>
#include <tuple>

#include <fmt/format.h>
#include <sqlite3.h>

#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/Bytes.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/DamagedStore.h"
#include "platform/storage/UserDefaults.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;
using Statement = LMManagedRecordContextDatabase::Statement;

constexpr const char* kPrimaryID = "primaryID";
constexpr const char* kAssetID = "assetID";
constexpr const char* kServerID = "serverID";
constexpr const char* kServerSync = "serverSync";
constexpr const char* kImagesSync = "imagesSync";
constexpr const char* kImagesExtra = "imagesExtra";
constexpr const char* kAssetGroupID = "assetGroupID";
constexpr const char* kImageSha1 = "imageSha1";
constexpr const char* kImageSize = "imageSize";

// Rows are read by position: every select names its columns in this order.
constexpr const char* kAlbumColumns = "primaryID, assetID, serverID, serverSync, imagesSync, imagesExtra";
constexpr const char* kImageColumns = "primaryID, assetID, serverID, serverSync, assetGroupID, imageSha1, imageSize";

using platform::hasText;

bool createTables(LMManagedRecordContextDatabase& database) {
  const std::string albumTable =
      fmt::format("create table {} ({} integer primary key autoincrement, {} text, {} bigint, {} bigint, "
                  "{} bigint, {} text)",
                  kLMSyncAlbumTable, kPrimaryID, kAssetID, kServerID, kServerSync, kImagesSync, kImagesExtra);
  const std::string imageTable =
      fmt::format("create table {} ({} integer primary key autoincrement, {} text, {} bigint, {} bigint, "
                  "{} text, {} text, {} bigint)",
                  kLMSyncImageTable, kPrimaryID, kAssetID, kServerID, kServerSync, kAssetGroupID, kImageSha1,
                  kImageSize);
  bool created = false;
  database.inDatabase([&](sqlite3* db) {
    created = Statement(db, albumTable).execute() && Statement(db, imageTable).execute();
  });
  if (created) LM_LOG_DEBUG("create Lumora gallery database success");
  else LM_LOG_ERROR("Create table {} and {} in Lumora database failed", kLMSyncAlbumTable, kLMSyncImageTable);
  return created;
}

// Whether the file at `path` holds both tables with their columns and is
// whole (see platform::isDamagedStore).
bool isDamaged(const std::string& path) {
  return platform::isDamagedStore(path, {fmt::format("select {} from {} limit 0", kAlbumColumns, kLMSyncAlbumTable),
                                         fmt::format("select {} from {} limit 0", kImageColumns, kLMSyncImageTable)});
}

// A relation is written after every uploaded image: with a write-ahead log a
// commit costs no flush to disk. A commit lost to a power cut only offers
// its image again, which the cloud then knows.
void setJournal(LMManagedRecordContextDatabase& database) {
  database.inDatabase([](sqlite3* db) {
    if (sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
      LM_LOG_ERROR("Cannot set the gallery database's journal: {}", sqlite3_errmsg(db));
    }
  });
}

// Removes the store's file with its write-ahead log and index, so that the
// new store starts with nothing of the old one.
bool removeDatabaseFiles(const std::string& path) {
  std::error_code ec;
  for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(path + suffix, ec);
  return fs::remove(path, ec);
}

}  // namespace

LMManagedAssetContext::LMManagedAssetContext()
    : databaseFilePath_((LMUtils::applicationDocumentsDirectory() / kLMGalleryDatabaseFileName).string()) {
  std::error_code ec;
  // A link counts as there, whether or not it leads anywhere.
  const bool exists = fs::symlink_status(databaseFilePath_, ec).type() != fs::file_type::not_found;
  const double version = platform::UserDefaults::standard().doubleForKey(kLMGalleryDatabaseVersionKey);
  if (exists && version >= kLMGalleryDatabaseVersion) {
    if (!isDamaged(databaseFilePath_)) return;
    // Its rows only say which images the cloud already has: a new store
    // offers each image again, and the cloud knows the ones it holds.
    LM_LOG_ERROR("The gallery store {} cannot be read; moving it aside", databaseFilePath_);
    if (!platform::moveDamagedStoreAside(databaseFilePath_)) {
      LM_LOG_ERROR("The gallery store cannot be made again");
      std::lock_guard<std::mutex> guard(mutex_);
      usable_ = false;
      return;
    }
  } else if (exists && !removeDatabaseFiles(databaseFilePath_)) {
    // The old file stays, and with it an unknown layout: nothing is written
    // into it, and the next start tries again.
    LM_LOG_ERROR("Database gallery upgrade fail");
    std::lock_guard<std::mutex> guard(mutex_);
    usable_ = false;
    return;
  }
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) {
    finishCreation(false);
    return;
  }
  if (platform::MainQueue::isMainThread()) {
    // Queued on the database queue itself, so every later step runs after it.
    database->async([this, database](sqlite3*) { finishCreation(createTables(*database)); });
  } else {
    finishCreation(createTables(*database));
  }
}

LMManagedAssetContext::~LMManagedAssetContext() = default;

void LMManagedAssetContext::finishCreation(bool created) {
  if (!created) {
    LM_LOG_ERROR("Create gallery database fail");
    std::lock_guard<std::mutex> guard(mutex_);
    usable_ = false;
    return;
  }
  platform::UserDefaults::standard().setDouble(kLMGalleryDatabaseVersionKey, kLMGalleryDatabaseVersion);
  platform::UserDefaults::standard().synchronize();
}

LMManagedRecordContextDatabase* LMManagedAssetContext::databaseQueue() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!database_) {
    database_ = LMManagedRecordContextDatabase::open(databaseFilePath_);
    if (database_) {
      setJournal(*database_);
      // A file found damaged while in use was replaced by an empty one.
      database_->setRemadeHandler([this, database = database_.get()] {
        setJournal(*database);
        finishCreation(createTables(*database));
      });
    }
  }
  return database_.get();
}

bool LMManagedAssetContext::createDatabase() {
  LMManagedRecordContextDatabase* database = databaseQueue();
  return database != nullptr && createTables(*database);
}

platform::Status LMManagedAssetContext::databaseError() {
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database != nullptr) database->inDatabase([](sqlite3*) {});  // let a pending creation finish
  std::lock_guard<std::mutex> guard(mutex_);
  if (usable_ && database != nullptr) return platform::Status::success();
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorDatabase,
      {{kLMErrorReasonKey, "The gallery database cannot be used."}, {kLMErrorDescriptionKey, kLMErrorTitleDatabase}});
}

// ---- Rows ----

LMAlbumRelation LMManagedAssetContext::createAlbumRelationWithResult(const Statement& result) {
  LMAlbumRelation relation;
  relation.primaryID = result.int32Column(0).value_or(0);
  relation.assetID = result.stringColumn(1).value_or("");
  relation.serverID = result.int64Column(2).value_or(0);
  relation.serverSync = result.int64Column(3).value_or(0);
  relation.imagesSync = result.int64Column(4).value_or(0);
  relation.imagesExtra = result.stringColumn(5).value_or("");
  return relation;
}

LMImageRelation LMManagedAssetContext::createImageRelationWithResult(const Statement& result) {
  LMImageRelation relation;
  relation.primaryID = result.int32Column(0).value_or(0);
  relation.assetID = result.stringColumn(1).value_or("");
  relation.serverID = result.int64Column(2).value_or(0);
  relation.serverSync = result.int64Column(3).value_or(0);
  relation.assetGroupID = result.stringColumn(4).value_or("");
  relation.sha1 = result.stringColumn(5).value_or("");
  relation.size = result.int64Column(6).value_or(0);
  return relation;
}

namespace {

// Runs one query on the store's queue and reads rows with `read`; at most
// `limit` rows (0: all). A query that cannot run is the database error.
template <class Row, class Bind>
platform::Result<std::vector<Row>> readRows(LMManagedRecordContextDatabase* database, const std::string& sql,
                                            const Bind& bind, Row (*read)(const Statement&), std::size_t limit = 0) {
  if (database == nullptr) return LMManagedRecordContextDatabase::error("Cannot open the gallery store");
  std::vector<Row> rows;
  std::optional<platform::Error> failure;
  database->inDatabase([&](sqlite3* db) {
    Statement statement(db, sql);
    bind(statement);
    while (statement.next()) {
      rows.push_back(read(statement));
      if (limit != 0 && rows.size() == limit) break;
    }
    if (statement.failed()) {
      failure = LMManagedRecordContextDatabase::error(fmt::format("{} [{}]", sqlite3_errmsg(db), sql));
    }
  });
  if (failure) return *failure;
  return rows;
}

// The first row of such a query, if any.
template <class Row, class Bind>
platform::Result<std::optional<Row>> readRow(LMManagedRecordContextDatabase* database, const std::string& sql,
                                             const Bind& bind, Row (*read)(const Statement&)) {
  auto rows = readRows(database, sql, bind, read, 1);
  if (!rows) return rows.error();
  if (rows->empty()) return std::optional<Row>();
  return std::optional<Row>(std::move(rows->front()));
}

template <class Bind>
bool update(LMManagedRecordContextDatabase* database, const std::string& sql, const Bind& bind) {
  bool done = false;
  if (database == nullptr) return false;
  database->inDatabase([&](sqlite3* db) {
    Statement statement(db, sql);
    bind(statement);
    done = statement.execute();
  });
  return done;
}

const auto kNoBinding = [](Statement&) {};

// A binder of `values` to the statement's places, in order.
template <class... Values>
auto inOrder(const Values&... values) {
  return [refs = std::tie(values...)](Statement& statement) {
    std::apply([&](const auto&... value) {
      int index = 0;
      (statement.bind(++index, value), ...);
    }, refs);
  };
}

}  // namespace

LMManagedRecordContextDatabase* LMManagedAssetContext::usableDatabase() {
  return databaseError().ok() ? databaseQueue() : nullptr;
}

platform::Result<std::vector<LMAlbumRelation>> LMManagedAssetContext::searchAllAlbumRelations() {
  return readRows(usableDatabase(), fmt::format("select {} from {}", kAlbumColumns, kLMSyncAlbumTable), kNoBinding,
               &createAlbumRelationWithResult);
}

platform::Result<std::optional<LMAlbumRelation>> LMManagedAssetContext::searchAlbumRelationByAssetID(
    const std::optional<std::string>& assetID) {
  if (!hasText(assetID)) return std::optional<LMAlbumRelation>();
  return readRow(usableDatabase(), fmt::format("select {} from {} where {}=?", kAlbumColumns, kLMSyncAlbumTable, kAssetID),
                 inOrder(assetID), &createAlbumRelationWithResult);
}

platform::Result<std::vector<LMAlbumRelation>> LMManagedAssetContext::searchAlbumRelationsByServerID(
    std::optional<std::int64_t> serverID) {
  if (!serverID) return std::vector<LMAlbumRelation>();
  return readRows(usableDatabase(), fmt::format("select {} from {} where {}=?", kAlbumColumns, kLMSyncAlbumTable, kServerID),
                  inOrder(serverID), &createAlbumRelationWithResult, 1);
}

bool LMManagedAssetContext::addAlbumRelation(LMAlbumRelation& relation) {
  if (!relation.assetID || !relation.serverID || !relation.serverSync) return false;
  if (!relation.imagesSync) relation.imagesSync = 0;
  if (!relation.imagesExtra) relation.imagesExtra = "";
  return update(usableDatabase(), fmt::format("insert into {} values (?, ?, ?, ?, ?, ?)", kLMSyncAlbumTable),
                inOrder(relation.primaryID, relation.assetID, relation.serverID, relation.serverSync,
                        relation.imagesSync, relation.imagesExtra));
}

bool LMManagedAssetContext::updateAlbumRelation(LMAlbumRelation& relation) {
  if (!relation.primaryID || !relation.assetID || !relation.serverID || !relation.serverSync) return false;
  if (!relation.imagesSync) relation.imagesSync = 0;
  if (!relation.imagesExtra) relation.imagesExtra = "";
  return update(usableDatabase(),
                fmt::format("update {} set {}=?, {}=?, {}=?, {}=?, {}=? where {}=?", kLMSyncAlbumTable, kAssetID,
                            kServerSync, kImagesSync, kImagesExtra, kServerID, kPrimaryID),
                inOrder(relation.assetID, relation.serverSync, relation.imagesSync, relation.imagesExtra,
                        relation.serverID, relation.primaryID));
}

bool LMManagedAssetContext::deleteAlbumRelation(const LMAlbumRelation& relation) {
  if (!relation.primaryID) return false;
  return update(usableDatabase(), fmt::format("delete from {} where {}=?", kLMSyncAlbumTable, kPrimaryID),
                inOrder(relation.primaryID));
}

bool LMManagedAssetContext::deleteAllAlbumRelations() {
  return update(usableDatabase(), fmt::format("delete from {}", kLMSyncAlbumTable), kNoBinding);
}

platform::Result<std::vector<LMImageRelation>> LMManagedAssetContext::searchAllImageRelations() {
  return readRows(usableDatabase(), fmt::format("select {} from {}", kImageColumns, kLMSyncImageTable), kNoBinding,
               &createImageRelationWithResult);
}

platform::Result<std::vector<LMImageRelation>> LMManagedAssetContext::searchAllImageRelationsByAlbumID(
    const std::optional<std::string>& albumID) {
  if (!hasText(albumID)) return std::vector<LMImageRelation>();
  return readRows(usableDatabase(), fmt::format("select {} from {} where {}=?", kImageColumns, kLMSyncImageTable, kAssetGroupID),
                  inOrder(albumID), &createImageRelationWithResult);
}

platform::Result<std::vector<LMImageRelation>> LMManagedAssetContext::searchImageRelationByAssetID(
    const std::optional<std::string>& assetID) {
  if (!hasText(assetID)) return std::vector<LMImageRelation>();
  return readRows(usableDatabase(), fmt::format("select {} from {} where {}=?", kImageColumns, kLMSyncImageTable, kAssetID),
                  inOrder(assetID), &createImageRelationWithResult, 1);
}

platform::Result<std::optional<LMImageRelation>> LMManagedAssetContext::searchImageRelationByAssetID(
    const std::optional<std::string>& assetID, const std::optional<std::string>& assetsGroupID) {
  if (!hasText(assetID) || !hasText(assetsGroupID)) return std::optional<LMImageRelation>();
  return readRow(usableDatabase(),
                 fmt::format("select {} from {} where {}=? and {}=?", kImageColumns, kLMSyncImageTable, kAssetID, kAssetGroupID),
                 inOrder(assetID, assetsGroupID), &createImageRelationWithResult);
}

platform::Result<std::optional<LMImageRelation>> LMManagedAssetContext::searchImageRelationByServerID(
    std::optional<std::int64_t> serverID, const std::optional<std::string>& assetID,
    const std::optional<std::string>& assetGroupID) {
  if (!serverID) return std::optional<LMImageRelation>();
  return readRow(usableDatabase(),
                 fmt::format("select {} from {} where {}=? and {}=? and {}=?", kImageColumns, kLMSyncImageTable, kServerID,
                             kAssetID, kAssetGroupID),
                 inOrder(serverID, assetID, assetGroupID), &createImageRelationWithResult);
}

platform::Result<std::vector<LMImageRelation>> LMManagedAssetContext::searchImageRelationsByServerID(
    std::optional<std::int64_t> serverID) {
  if (!serverID) return std::vector<LMImageRelation>();
  return readRows(usableDatabase(), fmt::format("select {} from {} where {}=?", kImageColumns, kLMSyncImageTable, kServerID),
               inOrder(serverID), &createImageRelationWithResult, 1);
}

bool LMManagedAssetContext::addImageRelation(const LMImageRelation& r) {
  if (!r.assetID || !r.serverID || !r.serverSync || !r.assetGroupID || !r.sha1 || !r.size) return false;
  return update(usableDatabase(), fmt::format("insert into {} values (?, ?, ?, ?, ?, ?, ?)", kLMSyncImageTable),
                inOrder(r.primaryID, r.assetID, r.serverID, r.serverSync, r.assetGroupID, r.sha1, r.size));
}

bool LMManagedAssetContext::updateImageRelation(const LMImageRelation& r) {
  if (!r.primaryID || !r.assetID || !r.serverID || !r.serverSync || !r.assetGroupID || !r.sha1 || !r.size) {
    return false;
  }
  return update(usableDatabase(),
                fmt::format("update {} set {}=?, {}=?, {}=?, {}=?, {}=?, {}=? where {}=?", kLMSyncImageTable,
                            kAssetID, kServerSync, kAssetGroupID, kImageSha1, kImageSize, kServerID, kPrimaryID),
                inOrder(r.assetID, r.serverSync, r.assetGroupID, r.sha1, r.size, r.serverID, r.primaryID));
}

bool LMManagedAssetContext::deleteImageRelation(const LMImageRelation& relation) {
  if (!relation.primaryID) return false;
  return update(usableDatabase(), fmt::format("delete from {} where {}=?", kLMSyncImageTable, kPrimaryID),
                inOrder(relation.primaryID));
}

bool LMManagedAssetContext::deleteAllImageRelationsInAlbum(const std::optional<std::string>& albumID) {
  if (!albumID) return false;
  return update(usableDatabase(), fmt::format("delete from {} where {}=?", kLMSyncImageTable, kAssetGroupID),
                inOrder(albumID));
}

bool LMManagedAssetContext::deleteAllImageRelations() {
  return update(usableDatabase(), fmt::format("delete from {}", kLMSyncImageTable), kNoBinding);
}

}  // namespace lumora
