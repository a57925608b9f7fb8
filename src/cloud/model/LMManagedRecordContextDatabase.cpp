#include "cloud/model/LMManagedRecordContextDatabase.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <tuple>
#include <utility>

#include <fmt/format.h>

#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/storage/DamagedStore.h"

namespace lumora {
namespace {

// The database whose connection this thread holds (innermost first).
thread_local LMManagedRecordContextDatabase* heldHere = nullptr;

// Opens `path` read-write, creating it when missing; nullptr (logged) when
// it cannot be opened.
sqlite3* openFile(const std::string& path) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    LM_LOG_ERROR("Cannot open database {}: {}", path, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close_v2(db);
    return nullptr;
  }
  // Another connection's write (another store on the file) is waited for
  // briefly rather than failing the statement at once.
  sqlite3_busy_timeout(db, LMManagedRecordContextDatabase::kBusyTimeoutMs);
  return db;
}

// The device and inode of the file at `path`; zeros when there is none.
std::pair<std::uint64_t, std::uint64_t> fileIdentity(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return {0, 0};
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace

// ---- Statement ----

using Statement = LMManagedRecordContextDatabase::Statement;

Statement::Statement(sqlite3* db, const std::string& sql) : ownedSql_(sql) {
  owned_.emplace(db, sql);
  statement_ = &*owned_;
  sql_ = &ownedSql_;
  if (db == nullptr) {
    failed_ = true;
  } else if (!statement_->ok()) {
    logFailure("prepare");
    failed_ = true;
  }
}

Statement::Statement(LMManagedRecordContextDatabase& database, const std::string& sql) {
  auto it = database.statements_.find(sql);
  if (it == database.statements_.end()) {
    it = database.statements_
             .emplace(sql, std::make_unique<platform::sqlite::Statement>(database.db_, sql))
             .first;
  }
  statement_ = it->second.get();
  sql_ = &it->first;  // the cache's own copy of the text
  if (!statement_->ok()) {
    logFailure("prepare");
    failed_ = true;
  }
}

Statement::~Statement() {
  if (!owned_) statement_->reset();
}

void Statement::logFailure(const char* what) const {
  sqlite3* db = statement_->database();
  if (db) LMManagedRecordContextDatabase::noteFailure(db, sqlite3_extended_errcode(db));
  LM_LOG_ERROR("SQLite {} failed ({}): {} [{}]", what, db ? sqlite3_extended_errcode(db) : 0,
               db ? sqlite3_errmsg(db) : "no database", *sql_);
}

void Statement::checkBind(int index) {
  const int rc = statement_->bindStatus();
  if (rc == SQLITE_OK || failed_) return;
  LM_LOG_ERROR("SQLite bind of parameter {} failed: {} [{}]", index, sqlite3_errstr(rc), *sql_);
  failed_ = true;
}

Statement& Statement::bind(int index, const std::optional<std::int64_t>& value) {
  if (!prepared()) return *this;
  if (value) statement_->bind(index, *value);
  else statement_->bindNull(index);
  checkBind(index);
  return *this;
}

Statement& Statement::bind(int index, const std::optional<std::int32_t>& value) {
  return bind(index, value ? std::optional<std::int64_t>(*value) : std::nullopt);
}

Statement& Statement::bind(int index, const std::optional<double>& value) {
  if (!prepared()) return *this;
  if (value) statement_->bindDouble(index, *value);
  else statement_->bindNull(index);
  checkBind(index);
  return *this;
}

Statement& Statement::bind(int index, const std::optional<bool>& value) {
  return bind(index, value ? std::optional<std::int64_t>(*value ? 1 : 0) : std::nullopt);
}

Statement& Statement::bind(int index, const std::optional<std::string>& value) {
  if (!prepared()) return *this;
  if (value) statement_->bind(index, std::string_view(*value));
  else statement_->bindNull(index);
  checkBind(index);
  return *this;
}

Statement& Statement::bind(int index, const char* value) {
  if (!prepared()) return *this;
  if (value) statement_->bind(index, std::string_view(value));
  else statement_->bindNull(index);
  checkBind(index);
  return *this;
}

bool Statement::execute() {
  if (!prepared() || failed_) return false;
  int rc;
  while ((rc = statement_->step()) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    logFailure("step");
    failed_ = true;
    return false;
  }
  return true;
}

bool Statement::next() {
  if (!prepared() || failed_) return false;
  const int rc = statement_->step();
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) {
    logFailure("step");
    failed_ = true;
  }
  return false;
}

bool Statement::isNull(int column) const { return statement_->isNull(column); }

std::optional<std::int64_t> Statement::int64Column(int column) const {
  if (isNull(column)) return std::nullopt;
  return statement_->integer(column);
}

std::optional<std::int32_t> Statement::int32Column(int column) const {
  if (isNull(column)) return std::nullopt;
  return static_cast<std::int32_t>(statement_->integer(column));
}

std::optional<double> Statement::doubleColumn(int column) const {
  if (isNull(column)) return std::nullopt;
  return statement_->real(column);
}

std::optional<bool> Statement::boolColumn(int column) const {
  if (isNull(column)) return std::nullopt;
  return statement_->integer(column) != 0;
}

std::optional<std::string> Statement::stringColumn(int column) const {
  if (isNull(column)) return std::nullopt;
  return statement_->text(column);
}

// ---- Connection and queue ----

std::unique_ptr<LMManagedRecordContextDatabase> LMManagedRecordContextDatabase::open(
    const std::string& path) {
  sqlite3* db = openFile(path);
  if (db == nullptr) return nullptr;
  return std::unique_ptr<LMManagedRecordContextDatabase>(
      new LMManagedRecordContextDatabase(db, path));
}

LMManagedRecordContextDatabase::LMManagedRecordContextDatabase(sqlite3* db, std::string path)
    : db_(db),
      path_(std::move(path)),
      queue_(std::make_unique<platform::SerialQueue>("lumora.record-store.database")) {
  std::tie(device_, inode_) = fileIdentity(path_);
}

LMManagedRecordContextDatabase::~LMManagedRecordContextDatabase() {
  // What is already queued may still use the connection: let it run first.
  if (!queue_->isCurrent()) queue_->sync([] {});
  statements_.clear();  // finalised before the connection closes
  sqlite3_close_v2(db_);
}


void LMManagedRecordContextDatabase::serialized(const std::function<void()>& work) {
  // As a synchronous dispatch to a serial queue: on the calling thread when
  // nothing is queued ahead of it, else on the queue after what is queued.
  if (owner_ == std::this_thread::get_id()) {
    work();  // called from inside a function that has the connection
    return;
  }
  if (queued_ > 0 && !queue_->isCurrent()) {
    queue_->sync([&] { serialized(work); });
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  holding(work);
}

void LMManagedRecordContextDatabase::serializedQueued(const std::function<void()>& work) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  holding(work);
}

void LMManagedRecordContextDatabase::holding(const std::function<void()>& work) {
  LMManagedRecordContextDatabase* const outer = heldHere;
  heldHere = this;
  owner_ = std::this_thread::get_id();
  work();
  if (damaged_) replaceDamagedFile();
  owner_ = std::thread::id();
  heldHere = outer;
}

void LMManagedRecordContextDatabase::noteFailure(sqlite3* db, int rc) {
  if (heldHere != nullptr && heldHere->db_ == db && platform::isDamageCode(rc)) heldHere->damaged_ = true;
}

void LMManagedRecordContextDatabase::replaceDamagedFile() {
  if (salvage_) salvage_(db_);
  damaged_ = false;
  LM_LOG_ERROR("The database {} is damaged; moving it aside and making it anew", path_);
  statements_.clear();  // finalised before the connection closes
  sqlite3_close_v2(db_);
  db_ = nullptr;
  // Another connection on the file may have replaced it already: only the
  // file this connection had open is moved.
  if (fileIdentity(path_) == std::make_pair(device_, inode_) && !platform::moveDamagedStoreAside(path_)) {
    LM_LOG_ERROR("The damaged database {} cannot be moved aside", path_);
  }
  db_ = openFile(path_);
  std::tie(device_, inode_) = fileIdentity(path_);
  ++generation_;
  if (remade_) remade_();
}

void LMManagedRecordContextDatabase::inDatabase(const std::function<void(sqlite3* db)>& work) {
  serialized([&] { work(db_); });
}

bool LMManagedRecordContextDatabase::inTransaction(
    const std::function<void(sqlite3* db, bool& rollback)>& work) {
  bool committed = false;
  serialized([&] {
    if (!Statement(db_, "begin exclusive transaction").execute()) return;
    bool rollback = false;
    work(db_, rollback);
    if (rollback) {
      Statement(db_, "rollback transaction").execute();
      return;
    }
    committed = Statement(db_, "commit transaction").execute();
    if (!committed) Statement(db_, "rollback transaction").execute();
  });
  return committed;
}

platform::Error LMManagedRecordContextDatabase::error(std::string reason) {
  return LMUtils::localErrorWithErrorCode(kLMLocalErrorDatabase,
                                          {{kLMErrorReasonKey, std::move(reason)},
                                           {kLMErrorDescriptionKey, kLMErrorTitleDatabase}});
}

platform::Status LMManagedRecordContextDatabase::inBatch(
    const std::function<platform::Status()>& work) {
  auto failure = [this](const char* what) {
    return error(fmt::format("{}: {}", what, sqlite3_errmsg(db_)));
  };
  platform::Status outcome;
  serialized([&] {
    // A savepoint opens a transaction when none is open, and nests inside one.
    static const auto& begin = *new std::string("savepoint lm_batch");
    static const auto& release = *new std::string("release lm_batch");
    static const auto& rollback = *new std::string("rollback to lm_batch");
    if (!Statement(*this, begin).execute()) {
      outcome = failure("Cannot begin a batch");
      return;
    }
    outcome = work();
    if (outcome.ok()) {
      if (Statement(*this, release).execute()) return;
      outcome = failure("Cannot commit a batch");
    }
    Statement(*this, rollback).execute();
    Statement(*this, release).execute();
  });
  return outcome;
}

void LMManagedRecordContextDatabase::async(std::function<void(sqlite3* db)> work) {
  ++queued_;
  queue_->async([this, work = std::move(work)] {
    serializedQueued([&] { work(db_); });
    --queued_;
  });
}


}  // namespace lumora
