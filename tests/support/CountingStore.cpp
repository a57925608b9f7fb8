#include "support/CountingStore.h"

#include <sqlite3.h>

namespace testsupport {
namespace {

bool run(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool count(sqlite3* db, const std::string& rows, const std::string& howMany) {
  return run(db, "UPDATE t SET n = n + 1, v = randomblob(1000) WHERE " + rows +
                     "; UPDATE meta SET total = total + " + howMany + ", commits = commits + 1");
}

}  // namespace

bool makeCountingStore(const std::filesystem::path& file, const char* journal, int rows) {
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  sqlite3* db = nullptr;
  const bool made = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
                    run(db, std::string("PRAGMA journal_mode=") + journal) &&
                    run(db, "PRAGMA synchronous=OFF;"
                            "CREATE TABLE meta(total INTEGER, commits INTEGER);"
                            "CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, v BLOB);"
                            "INSERT INTO meta VALUES (0, 0);"
                            "WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r WHERE x < " +
                                std::to_string(rows) + ") INSERT INTO t SELECT x, 0, zeroblob(1000) FROM r;");
  sqlite3_close(db);
  return made;
}

std::string countingStoreState(const std::filesystem::path& file, int rows) {
  sqlite3* db = nullptr;
  std::string state = "cannot open";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT (SELECT group_concat(integrity_check) FROM pragma_integrity_check),"
                       " (SELECT count(*) FROM t), (SELECT sum(n) FROM t) = total, commits FROM meta",
                       -1, &check, nullptr);
    if (check != nullptr && sqlite3_step(check) == SQLITE_ROW) {
      const std::string integrity = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
      if (integrity != "ok") {
        state = "damaged: " + integrity;
      } else if (sqlite3_column_int(check, 1) != rows || sqlite3_column_int(check, 2) != 1) {
        state = "torn between commits";
      } else {
        state = "ok " + std::to_string(sqlite3_column_int(check, 3));
      }
    } else {
      state = std::string("unreadable: ") + sqlite3_errmsg(db);
    }
    sqlite3_finalize(check);
  }
  sqlite3_close(db);
  return state;
}

bool commitCount(sqlite3* db, int rows) {
  const std::string rowsCounted =
      "id IN (" + std::to_string(rows) + ", 1 + (SELECT commits FROM meta) % " + std::to_string(rows - 1) + ")";
  return run(db, "BEGIN") && count(db, rowsCounted, "2") && run(db, "COMMIT");
}

bool holdCount(sqlite3* db, int rows) {
  // A cache too small for it: the transaction writes its pages before it
  // ends.
  return run(db, "PRAGMA cache_size=8; BEGIN") && count(db, "id <= " + std::to_string(rows), std::to_string(rows));
}

bool commitHeld(sqlite3* db) { return run(db, "COMMIT; PRAGMA cache_size=-2000"); }

}  // namespace testsupport
