// One SQLite connection with the statements prepared on it, a statement
// taken from it, bound and stepped in place, and a transaction on it;
// shared by the Store and the per-service record stores.
//
// Ownership: a SqlConnection owns its handle and its prepared statements
// and closes them with itself; a SqlStatement borrows its connection, which
// must outlive it. Threading: none of their own; one thread at a time uses
// a connection (the Store hands connections out, Store::Access). Failures:
// a statement that does not prepare reports !ok() and every step fails.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <unordered_map>

namespace localcloud {

class SqlConnection {
 public:
  explicit SqlConnection(sqlite3* db) : db_(db) {}
  ~SqlConnection() {
    for (auto& [sql, cached] : statements_) sqlite3_finalize(cached.stmt);
    sqlite3_close(db_);
  }
  SqlConnection(const SqlConnection&) = delete;
  SqlConnection& operator=(const SqlConnection&) = delete;

  sqlite3* db() const { return db_; }

 private:
  friend class SqlStatement;
  struct Cached {
    sqlite3_stmt* stmt = nullptr;
    bool inUse = false;
  };

  // The statement of this text, prepared on its first use and kept; a
  // second use while the first is live gets a statement of its own
  // (`*cached` null), which the caller finalizes.
  sqlite3_stmt* take(const std::string& sql, Cached** cached) {
    *cached = nullptr;
    auto [it, added] = statements_.try_emplace(sql);
    if (added && sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT,
                                    &it->second.stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(it->second.stmt);
      statements_.erase(it);
      return nullptr;
    }
    if (it->second.inUse) {
      sqlite3_stmt* own = nullptr;
      if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &own, nullptr) != SQLITE_OK) {
        sqlite3_finalize(own);
        return nullptr;
      }
      return own;
    }
    it->second.inUse = true;
    *cached = &it->second;
    return it->second.stmt;
  }

  sqlite3* db_;
  std::unordered_map<std::string, Cached> statements_;
};

class SqlStatement {
 public:
  SqlStatement(SqlConnection& connection, const std::string& sql)
      : stmt_(connection.take(sql, &cached_)) {}
  // A statement once used goes back to its connection reset, its values
  // unbound, so that it ends its read and holds no values.
  ~SqlStatement() {
    if (!cached_) {
      sqlite3_finalize(stmt_);
      return;
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    cached_->inUse = false;
  }
  SqlStatement(const SqlStatement&) = delete;
  SqlStatement& operator=(const SqlStatement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  SqlStatement& bind(int index, const std::string& value) {
    if (stmt_) {
      sqlite3_bind_text(stmt_, index, value.c_str(), static_cast<int>(value.size()),
                        SQLITE_TRANSIENT);
    }
    return *this;
  }
  SqlStatement& bind(int index, std::int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  SqlStatement& bind(int index, const char* value) { return bind(index, std::string(value)); }
  SqlStatement& bind(int index, int value) { return bind(index, std::int64_t{value}); }
  SqlStatement& bind(int index, bool value) { return bind(index, std::int64_t{value}); }
  // Binds the values to parameters 1, 2, ... in order.
  template <typename... Values>
  SqlStatement& bindAll(const Values&... values) {
    int index = 0;
    (bind(++index, values), ...);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  bool run() { return step() == SQLITE_DONE; }
  std::string text(int column) const {
    const unsigned char* value = sqlite3_column_text(stmt_, column);
    return value ? std::string(reinterpret_cast<const char*>(value),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string{};
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  // The length in bytes of a text or blob column.
  std::size_t bytes(int column) const {
    return static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
  }

 private:
  SqlConnection::Cached* cached_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

// Runs one statement with bound values (parameters 1, 2, ... in order);
// false when it fails.
template <typename... Values>
bool runSql(SqlConnection& db, const char* sql, const Values&... values) {
  SqlStatement st(db, sql);
  return st.bindAll(values...).run();
}

// One transaction on a connection that the caller holds: a write
// transaction (BEGIN IMMEDIATE) on the writing connection, or a read
// transaction, which reads one snapshot of the database. Rolled back
// unless commit() ran.
class SqlTransaction {
 public:
  enum class Mode { Read, Write };
  SqlTransaction(SqlConnection& connection, Mode mode) : db_(connection.db()) {
    const char* begin = mode == Mode::Write ? "BEGIN IMMEDIATE" : "BEGIN";
    open_ = sqlite3_exec(db_, begin, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~SqlTransaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  SqlTransaction(const SqlTransaction&) = delete;
  SqlTransaction& operator=(const SqlTransaction&) = delete;
  bool ok() const { return open_; }
  bool commit() {
    if (!open_) return false;
    open_ = false;
    return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  sqlite3* db_;
  bool open_ = false;
};

}  // namespace localcloud
