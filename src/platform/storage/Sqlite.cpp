#include "platform/storage/Sqlite.h"

#include <sqlite3.h>

namespace platform::sqlite {

Statement::Statement(sqlite3* db, std::string_view sql)
    : db_(db), prepareStatus_(SQLITE_MISUSE), bindStatus_(SQLITE_OK) {
  if (db_ == nullptr) return;
  prepareStatus_ = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr);
  if (prepareStatus_ != SQLITE_OK) {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  } else if (statement_ == nullptr) {
    prepareStatus_ = SQLITE_MISUSE;  // no statement in the text
  }
}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::bound(int rc) {
  if (rc != SQLITE_OK && bindStatus_ == SQLITE_OK) bindStatus_ = rc;
  return *this;
}

Statement& Statement::bind(int index, std::int64_t value) {
  if (!statement_) return *this;
  return bound(sqlite3_bind_int64(statement_, index, value));
}

Statement& Statement::bind(int index, std::string_view text) {
  if (!statement_) return *this;
  return bound(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                 SQLITE_TRANSIENT));
}

Statement& Statement::bindDouble(int index, double value) {
  if (!statement_) return *this;
  return bound(sqlite3_bind_double(statement_, index, value));
}

Statement& Statement::bindBlob(int index, const std::optional<Bytes>& value) {
  if (!statement_) return *this;
  if (!value) return bindNull(index);
  // A zero-length blob still needs a non-null pointer to be stored as a blob.
  static const std::uint8_t empty = 0;
  const void* data = value->empty() ? &empty : value->data();
  return bound(sqlite3_bind_blob(statement_, index, data, static_cast<int>(value->size()), SQLITE_TRANSIENT));
}

Statement& Statement::bindNull(int index) {
  if (!statement_) return *this;
  return bound(sqlite3_bind_null(statement_, index));
}

int Statement::step() {
  if (!statement_) return prepareStatus_;
  if (bindStatus_ != SQLITE_OK) return bindStatus_;
  return sqlite3_step(statement_);
}

void Statement::reset() {
  if (!statement_) return;
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
  bindStatus_ = SQLITE_OK;
}

int Statement::columnIndex(std::string_view name) const {
  if (!statement_) return -1;
  const int count = sqlite3_column_count(statement_);
  for (int i = 0; i < count; ++i) {
    const char* column = sqlite3_column_name(statement_, i);
    if (column != nullptr && name == column) return i;
  }
  return -1;
}

bool Statement::isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(statement_, column); }

double Statement::real(int column) const { return sqlite3_column_double(statement_, column); }

std::string Statement::text(int column) const { return std::string(textView(column)); }

std::string_view Statement::textView(int column) const {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return p ? std::string_view(p, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
           : std::string_view();
}

Bytes Statement::blob(int column) const {
  const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
  const int n = sqlite3_column_bytes(statement_, column);
  return p ? Bytes(p, p + n) : Bytes();
}

}  // namespace platform::sqlite
