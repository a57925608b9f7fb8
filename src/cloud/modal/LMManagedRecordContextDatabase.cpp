#include "cloud/modal/LMManagedRecordContextDatabase.h"

#include <sqlite3.h>

#include "cloud/utils/LMLogUtil.h"

namespace lumora {

// ---- Statement ----

LMManagedRecordContextDatabase::Statement::Statement(sqlite3* db, const std::string& sql)
    : db_(db), sql_(sql) {
  if (db_ == nullptr) {
    failed_ = true;
    return;
  }
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr) !=
      SQLITE_OK) {
    logFailure("prepare");
    sqlite3_finalize(statement_);
    statement_ = nullptr;
    failed_ = true;
    return;
  }
  const int count = sqlite3_column_count(statement_);
  for (int i = 0; i < count; ++i) {
    if (const char* name = sqlite3_column_name(statement_, i)) columns_.emplace(name, i);
  }
}

LMManagedRecordContextDatabase::Statement::~Statement() { sqlite3_finalize(statement_); }

void LMManagedRecordContextDatabase::Statement::logFailure(const char* what) const {
  LM_LOG_ERROR("SQLite {} failed ({}): {} [{}]", what, db_ ? sqlite3_extended_errcode(db_) : 0,
               db_ ? sqlite3_errmsg(db_) : "no database", sql_);
}

bool LMManagedRecordContextDatabase::Statement::bindResult(int rc, int index) {
  if (rc == SQLITE_OK) return true;
  LM_LOG_ERROR("SQLite bind of parameter {} failed: {} [{}]", index, sqlite3_errstr(rc), sql_);
  failed_ = true;
  return false;
}

using Statement = LMManagedRecordContextDatabase::Statement;

Statement& Statement::bind(int index, const std::optional<std::int64_t>& value) {
  if (!statement_) return *this;
  bindResult(value ? sqlite3_bind_int64(statement_, index, *value)
                   : sqlite3_bind_null(statement_, index),
             index);
  return *this;
}

Statement& Statement::bind(int index, const std::optional<std::int32_t>& value) {
  return bind(index, value ? std::optional<std::int64_t>(*value) : std::nullopt);
}

Statement& Statement::bind(int index, const std::optional<double>& value) {
  if (!statement_) return *this;
  bindResult(value ? sqlite3_bind_double(statement_, index, *value)
                   : sqlite3_bind_null(statement_, index),
             index);
  return *this;
}

Statement& Statement::bind(int index, const std::optional<bool>& value) {
  return bind(index, value ? std::optional<std::int64_t>(*value ? 1 : 0) : std::nullopt);
}

Statement& Statement::bind(int index, const std::optional<std::string>& value) {
  if (!statement_) return *this;
  bindResult(value ? sqlite3_bind_text(statement_, index, value->data(),
                                       static_cast<int>(value->size()), SQLITE_TRANSIENT)
                   : sqlite3_bind_null(statement_, index),
             index);
  return *this;
}

Statement& Statement::bind(int index, const char* value) {
  return bind(index, value ? std::optional<std::string>(value) : std::nullopt);
}

bool Statement::execute() {
  if (!statement_ || failed_) return false;
  int rc;
  while ((rc = sqlite3_step(statement_)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    logFailure("step");
    failed_ = true;
    return false;
  }
  return true;
}

bool Statement::next() {
  if (!statement_ || failed_) return false;
  const int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) {
    logFailure("step");
    failed_ = true;
  }
  return false;
}

int Statement::columnIndex(const std::string& name) const {
  auto it = columns_.find(name);
  if (it == columns_.end() || !statement_) return -1;
  if (sqlite3_column_type(statement_, it->second) == SQLITE_NULL) return -1;
  return it->second;
}

std::optional<std::int64_t> Statement::int64Column(const std::string& name) const {
  const int i = columnIndex(name);
  if (i < 0) return std::nullopt;
  return sqlite3_column_int64(statement_, i);
}

std::optional<std::int32_t> Statement::int32Column(const std::string& name) const {
  const int i = columnIndex(name);
  if (i < 0) return std::nullopt;
  return static_cast<std::int32_t>(sqlite3_column_int64(statement_, i));
}

std::optional<double> Statement::doubleColumn(const std::string& name) const {
  const int i = columnIndex(name);
  if (i < 0) return std::nullopt;
  return sqlite3_column_double(statement_, i);
}

std::optional<bool> Statement::boolColumn(const std::string& name) const {
  const int i = columnIndex(name);
  if (i < 0) return std::nullopt;
  return sqlite3_column_int64(statement_, i) != 0;
}

std::optional<std::string> Statement::stringColumn(const std::string& name) const {
  const int i = columnIndex(name);
  if (i < 0) return std::nullopt;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, i));
  const int size = sqlite3_column_bytes(statement_, i);
  return text ? std::string(text, static_cast<std::size_t>(size)) : std::string();
}

// ---- Connection and queue ----

std::unique_ptr<LMManagedRecordContextDatabase> LMManagedRecordContextDatabase::open(
    const std::string& path) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                 nullptr);
  if (rc != SQLITE_OK) {
    LM_LOG_ERROR("Cannot open database {}: {}", path, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close_v2(db);
    return nullptr;
  }
  return std::unique_ptr<LMManagedRecordContextDatabase>(
      new LMManagedRecordContextDatabase(db, path));
}

LMManagedRecordContextDatabase::LMManagedRecordContextDatabase(sqlite3* db, std::string path)
    : db_(db),
      path_(std::move(path)),
      queue_(std::make_unique<platform::SerialQueue>("lumora.record-store.database")) {}

LMManagedRecordContextDatabase::~LMManagedRecordContextDatabase() {
  // What is already queued may still use the connection: let it run first.
  if (!queue_->isCurrent()) queue_->sync([] {});
  sqlite3_close_v2(db_);
}

void LMManagedRecordContextDatabase::inDatabase(const std::function<void(sqlite3* db)>& work) {
  queue_->sync([&] { work(db_); });
}

bool LMManagedRecordContextDatabase::inTransaction(
    const std::function<void(sqlite3* db, bool& rollback)>& work) {
  bool committed = false;
  queue_->sync([&] {
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

void LMManagedRecordContextDatabase::async(std::function<void(sqlite3* db)> work) {
  queue_->async([this, work = std::move(work)] { work(db_); });
}

bool LMManagedRecordContextDatabase::isCurrent() const { return queue_->isCurrent(); }

}  // namespace lumora
