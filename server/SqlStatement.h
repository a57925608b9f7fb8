// A prepared SQLite statement, bound and stepped in place and finalised on
// destruction; shared by the Store and the per-service record stores.
//
// Ownership: borrows the connection, which must outlive it. Threading: none
// of its own; callers hold the Store's lock (Store::Access). Failures: a
// statement that does not prepare reports !ok() and every step fails.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace localcloud {

class SqlStatement {
 public:
  SqlStatement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~SqlStatement() { sqlite3_finalize(stmt_); }
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

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace localcloud
