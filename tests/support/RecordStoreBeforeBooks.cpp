#include "support/RecordStoreBeforeBooks.h"

#include <sqlite3.h>

#include <string>

namespace testsupport {

bool putPendingAddsBeforeBooks(const std::filesystem::path& databaseFile, PendingAddsForm form) {
  const std::string columns = form == PendingAddsForm::BeforeMarks ? "recordID, content" : "recordID, content, mark";
  const std::string table = form == PendingAddsForm::BeforeMarks
                                ? "(recordID integer primary key, content text)"
                                : "(recordID integer primary key, content text, mark text)";
  const std::string sql = "BEGIN; CREATE TABLE Earlier " + table + "; INSERT INTO Earlier SELECT " + columns +
                          " FROM PendingContactAdd; DROP TABLE PendingContactAdd;"
                          "ALTER TABLE Earlier RENAME TO PendingContactAdd; COMMIT;";
  sqlite3* db = nullptr;
  const bool done = sqlite3_open_v2(databaseFile.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close_v2(db);
  return done;
}

}  // namespace testsupport
