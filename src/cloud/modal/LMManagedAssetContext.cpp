// The gallery store: opening and upgrading "gallery.db", its two tables and
// every row operation.
#include "cloud/modal/LMManagedAssetContext.h"

#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/MainQueue.h"
#include "platform/UserDefaults.h"

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

bool hasText(const std::optional<std::string>& text) { return text && !text->empty(); }

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

}  // namespace

LMManagedAssetContext::LMManagedAssetContext()
    : databaseFilePath_((LMUtils::applicationDocumentsDirectory() / kLMGalleryDatabaseFileName).string()) {
  std::error_code ec;
  const bool exists = fs::exists(databaseFilePath_, ec);
  const double version = platform::UserDefaults::standard().doubleForKey(kLMGalleryDatabaseVersionKey);
  if (exists && version >= kLMGalleryDatabaseVersion) return;
  if (exists && !fs::remove(databaseFilePath_, ec)) {
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
  if (!database_) database_ = LMManagedRecordContextDatabase::open(databaseFilePath_);
  return database_.get();
}

bool LMManagedAssetContext::createDatabase() {
  LMManagedRecordContextDatabase* database = databaseQueue();
  return database != nullptr && createTables(*database);
}

std::optional<platform::Error> LMManagedAssetContext::databaseError() {
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database != nullptr) database->inDatabase([](sqlite3*) {});  // let a pending creation finish
  std::lock_guard<std::mutex> guard(mutex_);
  if (usable_ && database != nullptr) return std::nullopt;
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorDatabase,
      {{kLMErrorReasonKey, "The gallery database cannot be used."}, {kLMErrorDescriptionKey, kLMErrorTitleDatabase}});
}

// ---- Rows ----

LMAlbumRelation LMManagedAssetContext::createAlbumRelationWithResult(const Statement& result) {
  LMAlbumRelation relation;
  relation.primaryID = result.int32Column(kPrimaryID).value_or(0);
  relation.assetID = result.stringColumn(kAssetID).value_or("");
  relation.serverID = result.int64Column(kServerID).value_or(0);
  relation.serverSync = result.int64Column(kServerSync).value_or(0);
  relation.imagesSync = result.int64Column(kImagesSync).value_or(0);
  relation.imagesExtra = result.stringColumn(kImagesExtra).value_or("");
  return relation;
}

LMImageRelation LMManagedAssetContext::createImageRelationWithResult(const Statement& result) {
  LMImageRelation relation;
  relation.primaryID = result.int32Column(kPrimaryID).value_or(0);
  relation.assetID = result.stringColumn(kAssetID).value_or("");
  relation.serverID = result.int64Column(kServerID).value_or(0);
  relation.serverSync = result.int64Column(kServerSync).value_or(0);
  relation.assetGroupID = result.stringColumn(kAssetGroupID).value_or("");
  relation.sha1 = result.stringColumn(kImageSha1).value_or("");
  relation.size = result.int64Column(kImageSize).value_or(0);
  return relation;
}

namespace {

// Runs one query on the store's queue and reads rows with `read`; at most
// `limit` rows (0: all).
template <class Row, class Bind>
std::vector<Row> query(LMManagedRecordContextDatabase* database, const std::string& sql, const Bind& bind,
                       Row (*read)(const Statement&), std::size_t limit = 0) {
  std::vector<Row> rows;
  if (database == nullptr) return rows;
  database->inDatabase([&](sqlite3* db) {
    Statement statement(db, sql);
    bind(statement);
    while (statement.next()) {
      rows.push_back(read(statement));
      if (limit != 0 && rows.size() == limit) break;
    }
  });
  return rows;
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

template <class T>
std::optional<T> first(std::vector<T> rows) {
  if (rows.empty()) return std::nullopt;
  return std::move(rows.front());
}

}  // namespace

LMManagedRecordContextDatabase* LMManagedAssetContext::usableDatabase() {
  return databaseError() ? nullptr : databaseQueue();
}

std::vector<LMAlbumRelation> LMManagedAssetContext::searchAllAlbumRelations() {
  return query(usableDatabase(), fmt::format("select * from {}", kLMSyncAlbumTable), kNoBinding,
               &createAlbumRelationWithResult);
}

std::optional<LMAlbumRelation> LMManagedAssetContext::searchAlbumRelationByAssetID(
    const std::optional<std::string>& assetID) {
  if (!hasText(assetID)) return std::nullopt;
  return first(query(usableDatabase(), fmt::format("select * from {} where {}=?", kLMSyncAlbumTable, kAssetID),
                     [&](Statement& s) { s.bind(1, assetID); }, &createAlbumRelationWithResult, 1));
}

std::optional<std::vector<LMAlbumRelation>> LMManagedAssetContext::searchAlbumRelationsByServerID(
    std::optional<std::int64_t> serverID) {
  if (!serverID) return std::nullopt;
  return query(usableDatabase(), fmt::format("select * from {} where {}=?", kLMSyncAlbumTable, kServerID),
               [&](Statement& s) { s.bind(1, serverID); }, &createAlbumRelationWithResult, 1);
}

bool LMManagedAssetContext::addAlbumRelation(LMAlbumRelation& relation) {
  if (!relation.assetID || !relation.serverID || !relation.serverSync) return false;
  if (!relation.imagesSync) relation.imagesSync = 0;
  if (!relation.imagesExtra) relation.imagesExtra = "";
  return update(usableDatabase(), fmt::format("insert into {} values (?, ?, ?, ?, ?, ?)", kLMSyncAlbumTable),
                [&](Statement& s) {
                  s.bind(1, relation.primaryID)
                      .bind(2, relation.assetID)
                      .bind(3, relation.serverID)
                      .bind(4, relation.serverSync)
                      .bind(5, relation.imagesSync)
                      .bind(6, relation.imagesExtra);
                });
}

bool LMManagedAssetContext::updateAlbumRelation(LMAlbumRelation& relation) {
  if (!relation.primaryID || !relation.assetID || !relation.serverID || !relation.serverSync) return false;
  if (!relation.imagesSync) relation.imagesSync = 0;
  if (!relation.imagesExtra) relation.imagesExtra = "";
  return update(usableDatabase(),
                fmt::format("update {} set {}=?, {}=?, {}=?, {}=?, {}=? where {}=?", kLMSyncAlbumTable, kAssetID,
                            kServerSync, kImagesSync, kImagesExtra, kServerID, kPrimaryID),
                [&](Statement& s) {
                  s.bind(1, relation.assetID)
                      .bind(2, relation.serverSync)
                      .bind(3, relation.imagesSync)
                      .bind(4, relation.imagesExtra)
                      .bind(5, relation.serverID)
                      .bind(6, relation.primaryID);
                });
}

bool LMManagedAssetContext::deleteAlbumRelation(const LMAlbumRelation& relation) {
  if (!relation.primaryID) return false;
  return update(usableDatabase(), fmt::format("delete from {} where {}=?", kLMSyncAlbumTable, kPrimaryID),
                [&](Statement& s) { s.bind(1, relation.primaryID); });
}

bool LMManagedAssetContext::deleteAllAlbumRelations() {
  return update(usableDatabase(), fmt::format("delete from {}", kLMSyncAlbumTable), kNoBinding);
}

std::vector<LMImageRelation> LMManagedAssetContext::searchAllImageRelations() {
  return query(usableDatabase(), fmt::format("select * from {}", kLMSyncImageTable), kNoBinding,
               &createImageRelationWithResult);
}

std::optional<std::vector<LMImageRelation>> LMManagedAssetContext::searchAllImageRelationsByAlbumID(
    const std::optional<std::string>& albumID) {
  if (!hasText(albumID)) return std::nullopt;
  return query(usableDatabase(), fmt::format("select * from {} where {}=?", kLMSyncImageTable, kAssetGroupID),
               [&](Statement& s) { s.bind(1, albumID); }, &createImageRelationWithResult);
}

std::optional<std::vector<LMImageRelation>> LMManagedAssetContext::searchImageRelationByAssetID(
    const std::optional<std::string>& assetID) {
  if (!hasText(assetID)) return std::nullopt;
  return query(usableDatabase(), fmt::format("select * from {} where {}=?", kLMSyncImageTable, kAssetID),
               [&](Statement& s) { s.bind(1, assetID); }, &createImageRelationWithResult, 1);
}

std::optional<LMImageRelation> LMManagedAssetContext::searchImageRelationByAssetID(
    const std::optional<std::string>& assetID, const std::optional<std::string>& assetsGroupID) {
  if (!hasText(assetID) || !hasText(assetsGroupID)) return std::nullopt;
  return first(query(usableDatabase(),
                     fmt::format("select * from {} where {}=? and {}=?", kLMSyncImageTable, kAssetID, kAssetGroupID),
                     [&](Statement& s) { s.bind(1, assetID).bind(2, assetsGroupID); }, &createImageRelationWithResult,
                     1));
}

std::optional<LMImageRelation> LMManagedAssetContext::searchImageRelationByServerID(
    std::optional<std::int64_t> serverID, const std::optional<std::string>& assetID,
    const std::optional<std::string>& assetGroupID) {
  if (!serverID) return std::nullopt;
  return first(query(usableDatabase(),
                     fmt::format("select * from {} where {}=? and {}=? and {}=?", kLMSyncImageTable, kServerID,
                                 kAssetID, kAssetGroupID),
                     [&](Statement& s) { s.bind(1, serverID).bind(2, assetID).bind(3, assetGroupID); },
                     &createImageRelationWithResult, 1));
}

std::optional<std::vector<LMImageRelation>> LMManagedAssetContext::searchImageRelationsByServerID(
    std::optional<std::int64_t> serverID) {
  if (!serverID) return std::nullopt;
  return query(usableDatabase(), fmt::format("select * from {} where {}=?", kLMSyncImageTable, kServerID),
               [&](Statement& s) { s.bind(1, serverID); }, &createImageRelationWithResult, 1);
}

bool LMManagedAssetContext::addImageRelation(const LMImageRelation& r) {
  if (!r.assetID || !r.serverID || !r.serverSync || !r.assetGroupID || !r.sha1 || !r.size) return false;
  return update(usableDatabase(), fmt::format("insert into {} values (?, ?, ?, ?, ?, ?, ?)", kLMSyncImageTable),
                [&](Statement& s) {
                  s.bind(1, r.primaryID)
                      .bind(2, r.assetID)
                      .bind(3, r.serverID)
                      .bind(4, r.serverSync)
                      .bind(5, r.assetGroupID)
                      .bind(6, r.sha1)
                      .bind(7, r.size);
                });
}

bool LMManagedAssetContext::updateImageRelation(const LMImageRelation& r) {
  if (!r.primaryID || !r.assetID || !r.serverID || !r.serverSync || !r.assetGroupID || !r.sha1 || !r.size) {
    return false;
  }
  return update(usableDatabase(),
                fmt::format("update {} set {}=?, {}=?, {}=?, {}=?, {}=?, {}=? where {}=?", kLMSyncImageTable,
                            kAssetID, kServerSync, kAssetGroupID, kImageSha1, kImageSize, kServerID, kPrimaryID),
                [&](Statement& s) {
                  s.bind(1, r.assetID)
                      .bind(2, r.serverSync)
                      .bind(3, r.assetGroupID)
                      .bind(4, r.sha1)
                      .bind(5, r.size)
                      .bind(6, r.serverID)
                      .bind(7, r.primaryID);
                });
}

bool LMManagedAssetContext::deleteImageRelation(const LMImageRelation& relation) {
  if (!relation.primaryID) return false;
  return update(usableDatabase(), fmt::format("delete from {} where {}=?", kLMSyncImageTable, kPrimaryID),
                [&](Statement& s) { s.bind(1, relation.primaryID); });
}

bool LMManagedAssetContext::deleteAllImageRelationsInAlbum(const std::optional<std::string>& albumID) {
  if (!albumID) return false;
  return update(usableDatabase(), fmt::format("delete from {} where {}=?", kLMSyncImageTable, kAssetGroupID),
                [&](Statement& s) { s.bind(1, albumID); });
}

bool LMManagedAssetContext::deleteAllImageRelations() {
  return update(usableDatabase(), fmt::format("delete from {}", kLMSyncImageTable), kNoBinding);
}

}  // namespace lumora
