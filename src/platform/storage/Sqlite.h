// One prepared SQLite statement, finalised when it goes out of scope: the
// statement helper under both SQLite stores of the client (the address book
// file and the contacts record store), which add their own error reporting.
//
// Ownership: the statement borrows its connection, which must outlive it.
// Threading: one thread at a time, as its connection. Failures are SQLite
// result codes: ok() tells whether the text was prepared, bindStatus() keeps
// the first failed bind, and step() of a statement that was not prepared or
// whose bind failed does not run and answers that code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

struct sqlite3;
struct sqlite3_stmt;

namespace platform::sqlite {

class Statement {
 public:
  // A null connection gives a statement that is not prepared.
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  sqlite3* database() const { return db_; }

  // Parameters are numbered from 1. Values are copied.
  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, std::string_view text);
  Statement& bindDouble(int index, double value);
  // nullopt binds NULL; empty data is stored as an empty blob, not NULL.
  Statement& bindBlob(int index, const std::optional<Bytes>& value);
  Statement& bindNull(int index);
  // SQLITE_OK, or the code of the first bind that failed.
  int bindStatus() const { return bindStatus_; }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // Makes a prepared statement ready to run again: rewinds it, clears every
  // binding and forgets a failed bind. Keeps the compiled statement, so a
  // statement that runs often is prepared once.
  void reset();

  // The index of the result column named `name`, -1 when there is none.
  int columnIndex(std::string_view name) const;
  bool isNull(int column) const;
  std::int64_t integer(int column) const;
  double real(int column) const;
  // NULL reads as "" / empty data.
  std::string text(int column) const;
  // The same text without a copy, valid until the next step or reset.
  std::string_view textView(int column) const;
  Bytes blob(int column) const;

 private:
  Statement& bound(int rc);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
  int prepareStatus_;
  int bindStatus_;
};

}  // namespace platform::sqlite
