// Store life, paths, the database queue and table creation, the watermark and
// the clearing of sync data.
#include "cloud/model/LMManagedRecordContext.h"

#include <filesystem>
#include <functional>
#include <map>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <sqlite3.h>

#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/DamagedStore.h"
#include "platform/storage/KeyedArchive.h"
#include "platform/storage/UserDefaults.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;

// The store's few user-defaults values, read and written in one place.
namespace stored {

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

std::optional<std::int64_t> integer(const char* key) {
  auto value = defaults().objectForKey(key);
  if (!value) return std::nullopt;
  if (auto* i = std::get_if<std::int64_t>(&*value)) return *i;
  if (auto* d = std::get_if<double>(&*value)) return static_cast<std::int64_t>(*d);
  return std::nullopt;
}

std::optional<std::string> string(const char* key) { return defaults().stringForKey(key); }

double real(const char* key) { return defaults().doubleForKey(key); }

void setInteger(const char* key, std::int64_t value) { defaults().setInteger(key, value); }
void setString(const char* key, const std::string& value) { defaults().setString(key, value); }
void setReal(const char* key, double value) { defaults().setDouble(key, value); }
void remove(const char* key) { defaults().removeObjectForKey(key); }
void synchronize() { defaults().synchronize(); }

}  // namespace stored

// Indexes on the record ids, which the sync looks rows up by. Created with the
// tables, and on opening a file made before they existed; a failure only
// leaves look-ups slower (and is logged).
void createIndexes(sqlite3* db) {
  for (const char* table : {kLMSyncGroupTable, kLMSyncContactTable}) {
    LMManagedRecordContextDatabase::Statement(
        db, fmt::format("create index if not exists {0}RecordID on {0} (recordID)", table))
        .execute();
  }
}

// Creates both tables in one transaction on `database` (run on its queue or
// from any other thread), with what `alsoWrite` writes in the same
// transaction (a failure there rolls all of it back).
bool createRecordTables(LMManagedRecordContextDatabase& database,
                        const std::function<bool()>& alsoWrite = nullptr) {
  const std::string groupTable = fmt::format(
      "create table {} ({} bigint, {} text, {} bigint, {} text, {} bigint primary key, {} bigint, "
      "{} text, {} text)",
      kLMSyncGroupTable, "recordID", "localName", "localServerSync", "localJson", "serverID",
      "serverSync", "serverName", "serverStatus");
  const std::string contactTable = fmt::format(
      "create table {} ({} bigint, {} double, {} bigint, {} text, {} bigint primary key, "
      "{} bigint, {} text, {} text, {} text, {} text, {} bool, {} text)",
      kLMSyncContactTable, "recordID", "localRecordSync", "localServerSync", "localJson",
      "serverID", "serverSync", "serverPhoto", "serverThumbnail", "serverDigest", "serverJson",
      "serverPhotoFail", "serverStatus");
  bool created = false;
  // Without `alsoWrite` the block never rolls back: a group table made
  // before a failure stays.
  const bool committed = database.inTransaction([&](sqlite3* db, bool& rollback) {
    created = LMManagedRecordContextDatabase::Statement(db, groupTable).execute() &&
              LMManagedRecordContextDatabase::Statement(db, contactTable).execute();
    if (created) createIndexes(db);
    if (created && alsoWrite && !alsoWrite()) {
      created = false;
      rollback = true;
    }
  });
  if (!created || !committed) {
    LM_LOG_ERROR("Create table {} and {} in Lumora database failed", kLMSyncGroupTable,
                 kLMSyncContactTable);
    return false;
  }
  LM_LOG_DEBUG("create Lumora database success");
  return true;
}

// Whether the file at `path` holds the store's two tables with their columns
// and is whole (see platform::isDamagedStore).
bool isDamaged(const std::string& path) {
  return platform::isDamagedStore(
      path, {fmt::format("select recordID, localName, localServerSync, localJson, serverID, serverSync, serverName, "
                         "serverStatus from {} limit 0",
                         kLMSyncGroupTable),
             fmt::format("select recordID, localRecordSync, localServerSync, localJson, serverID, serverSync, "
                         "serverPhoto, serverThumbnail, serverDigest, serverJson, serverPhotoFail, serverStatus "
                         "from {} limit 0",
                         kLMSyncContactTable)});
}

// Records the schema version after the tables were made.
void finishCreation(bool created) {
  if (!created) {
    LM_LOG_ERROR("Create database fail");
    return;
  }
  stored::setReal(kLMDatabaseVersionKey, kLMDatabaseVersion);
  stored::synchronize();
}

}  // namespace

void LMManagedRecordContext::setAddsInFlightMayBeLost(bool lost) {
  if (lost) {
    stored::setInteger(kLMAddsInFlightMayBeLostKey, 1);
  } else if (stored::integer(kLMAddsInFlightMayBeLostKey)) {
    stored::remove(kLMAddsInFlightMayBeLostKey);
  } else {
    return;
  }
  stored::synchronize();
}

bool LMManagedRecordContext::addsInFlightMayBeLost() {
  return stored::integer(kLMAddsInFlightMayBeLostKey).value_or(0) != 0;
}

void LMManagedRecordContext::makeTablesCarrying(LMManagedRecordContextDatabase& database,
                                                const LMPendingContactAdds& carried, bool afterDamage) {
  if (afterDamage) setAddsInFlightMayBeLost(true);
  // The tables and the carried adds commit together, and the schema
  // version is written after both: a stop in between cannot leave a store
  // that looks whole without the adds.
  const bool created = createRecordTables(database, [&] {
    if (writePendingContactAdds(database, carried).ok()) return true;
    LM_LOG_ERROR("The contacts in flight cannot be carried into the new record store");
    return false;
  });
  finishCreation(created);
}

LMManagedRecordContext::LMManagedRecordContext() {
  const std::string path = databaseFilePath();
  std::error_code ec;
  // A link counts as there, whether or not it leads anywhere.
  const bool exists = fs::symlink_status(path, ec).type() != fs::file_type::not_found;
  const double version = stored::real(kLMDatabaseVersionKey);

  bool create = !exists;
  bool damaged = false;
  LMPendingContactAdds carried;
  if (exists && version >= kLMDatabaseVersion && isDamaged(path)) {
    damaged = true;
    // A store that cannot be read is put aside and made again; the next
    // sync starts over from the whole cloud and the whole address book, as
    // a first sync does, so neither side loses anything. The adds in
    // flight go into the new file when they can still be read: the next
    // sync needs them to tell the records they made.
    LM_LOG_ERROR("The record store {} cannot be read; moving it aside", path);
    sqlite3* damaged = nullptr;
    if (sqlite3_open_v2(path.c_str(), &damaged, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      carried = salvagePendingContactAdds(damaged);
    }
    sqlite3_close_v2(damaged);
    create = platform::moveDamagedStoreAside(path);
    if (!create || !clearLocalSyncGroupDic()) LM_LOG_ERROR("The record store cannot be made again");
  }
  if (exists && version < kLMDatabaseVersion) {
    // No migration: an old file is dropped and the next sync starts over.
    const bool removed = fs::remove(path, ec) && !ec;
    const bool cleared = removed && clearLocalSyncGroupDic();
    if (!removed || !cleared) LM_LOG_ERROR("Database upgrade fail");
    create = removed;
  }
  if (create) {
    // The watermark names a point of the rows' past: new rows have none,
    // and the first listing must be the whole cloud.
    setServerSync(std::nullopt);
    setServerSyncExtraInfo(std::nullopt);
  } else {
    if (exists && version >= kLMDatabaseVersion) {
      if (LMManagedRecordContextDatabase* database = databaseQueue()) {
        database->async([](sqlite3* db) { createIndexes(db); });
      }
    }
    return;
  }

  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) {
    finishCreation(false);
    return;
  }
  auto makeTables = [database, carried = std::move(carried), damaged] {
    makeTablesCarrying(*database, carried, damaged);
  };
  if (platform::MainQueue::isMainThread()) {
    // Queued on the database queue itself, so every later statement runs
    // after the tables exist.
    database->async([makeTables = std::move(makeTables)](sqlite3*) { makeTables(); });
  } else {
    makeTables();
  }
}

LMManagedRecordContext::~LMManagedRecordContext() = default;

// ---- Paths and queue ----

std::string LMManagedRecordContext::databaseFilePath() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!databaseFilePath_) {
    databaseFilePath_ = (LMUtils::applicationDocumentsDirectory() / kLMDatabaseFileName).string();
  }
  return *databaseFilePath_;
}

void LMManagedRecordContext::setDatabaseFilePath(std::string path) {
  std::lock_guard<std::mutex> lock(mutex_);
  databaseFilePath_ = std::move(path);
}

std::string LMManagedRecordContext::localSyncGroupPath() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!localSyncGroupPath_) {
    localSyncGroupPath_ =
        (LMUtils::applicationDocumentsDirectory() / kLMSyncGroupsFileName).string();
  }
  return *localSyncGroupPath_;
}

void LMManagedRecordContext::setLocalSyncGroupPath(std::string path) {
  std::lock_guard<std::mutex> lock(mutex_);
  localSyncGroupPath_ = std::move(path);
}

LMManagedRecordContextDatabase* LMManagedRecordContext::databaseQueue() {
  const std::string path = databaseFilePath();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!database_) {
    database_ = LMManagedRecordContextDatabase::open(path);
    if (database_) {
      // A file found damaged while in use was replaced by an empty one: as
      // on opening a damaged file, the next sync starts over from the whole
      // cloud and the whole address book.
      // The adds in flight are carried into the new file, as on opening.
      database_->setSalvageHandler([this](sqlite3* damaged) { carriedAdds_ = salvagePendingContactAdds(damaged); });
      database_->setRemadeHandler([this, database = database_.get()] {
        if (!platform::KeyedArchive().writeToFile(localSyncGroupPath()).ok()) {
          LM_LOG_ERROR("The group snapshot cannot be cleared");
        }
        setServerSync(std::nullopt);
        setServerSyncExtraInfo(std::nullopt);
        makeTablesCarrying(*database, std::exchange(carriedAdds_, {}), true);
      });
    }
  }
  return database_.get();
}

bool LMManagedRecordContext::createDatabase() {
  LMManagedRecordContextDatabase* database = databaseQueue();
  return database != nullptr && createRecordTables(*database);
}

platform::Status LMManagedRecordContext::performBatch(
    const std::function<platform::Status()>& work) {
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) {
    return LMManagedRecordContextDatabase::error("The record store cannot be opened");
  }
  return database->inBatch(work);
}

// ---- Watermark ----

std::uint64_t LMManagedRecordContext::storeGeneration() const {
  return database_ ? database_->generation() : 0;
}

std::int64_t LMManagedRecordContext::serverSync() {
  std::lock_guard<std::mutex> lock(mutex_);
  watermarkGeneration_ = storeGeneration();
  if (!serverSync_) {
    serverSync_ = stored::integer(kLMServerSyncKey);
    if (!serverSync_) {
      serverSync_ = 0;
      stored::setInteger(kLMServerSyncKey, 0);
      stored::synchronize();
    }
  }
  return *serverSync_;
}

void LMManagedRecordContext::setServerSync(std::optional<std::int64_t> serverSync) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A listing begun before the rows were made anew names a point of rows
  // that are gone: the next one must be whole.
  if (watermarkGeneration_ != storeGeneration()) serverSync.reset();
  serverSync_ = serverSync;
  if (serverSync) {
    stored::setInteger(kLMServerSyncKey, *serverSync);
  } else {
    stored::remove(kLMServerSyncKey);
  }
  stored::synchronize();
}

std::optional<std::string> LMManagedRecordContext::serverSyncExtraInfo() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!serverSyncExtraInfo_) serverSyncExtraInfo_ = stored::string(kLMServerSyncExtraInfoKey);
  return serverSyncExtraInfo_;
}

void LMManagedRecordContext::setServerSyncExtraInfo(std::optional<std::string> extraInfo) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (watermarkGeneration_ != storeGeneration()) extraInfo.reset();
  if (extraInfo && !extraInfo->empty()) {
    serverSyncExtraInfo_ = extraInfo;
    stored::setString(kLMServerSyncExtraInfoKey, *extraInfo);
  } else {
    serverSyncExtraInfo_.reset();
    stored::remove(kLMServerSyncExtraInfoKey);
  }
  stored::synchronize();
}

// ---- Clearing ----

bool LMManagedRecordContext::clearSynchronousData() {
  if (!deleteAllRelations()) return false;
  clearPendingContactAdds();
  setServerSync(0);
  setServerSyncExtraInfo(std::nullopt);
  return true;
}

}  // namespace lumora
