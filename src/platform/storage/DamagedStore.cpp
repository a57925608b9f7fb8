#include "platform/storage/DamagedStore.h"

#include <chrono>
#include <string>
#include <system_error>

#include <sqlite3.h>

#include "platform/dispatch/Clock.h"

namespace platform {
namespace {

// How long the check waits for another connection's lock on the file.
constexpr int kDamageCheckBusyTimeoutMs = 5000;

}  // namespace

bool isDamageCode(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool failsQuickCheck(sqlite3* db) {
  sqlite3_stmt* check = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &check, nullptr);
  bool damaged = isDamageCode(rc);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(check);
    if (rc == SQLITE_ROW) {
      const auto* answer = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
      damaged = answer == nullptr || std::string(answer) != "ok";
    } else {
      damaged = isDamageCode(rc);
    }
  }
  sqlite3_finalize(check);
  return damaged;
}

bool isMissingOrPlainFile(const std::filesystem::path& store) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::symlink_status(store, ec);
  if (status.type() == std::filesystem::file_type::not_found) return true;
  return !ec && status.type() == std::filesystem::file_type::regular;
}

bool isDamagedStore(const std::filesystem::path& store, const std::vector<std::string>& probes) {
  if (!isMissingOrPlainFile(store)) return true;
  std::error_code ec;
  if (!std::filesystem::exists(store, ec)) return false;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  bool damaged = isDamageCode(rc);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, kDamageCheckBusyTimeoutMs);
    for (const std::string& sql : probes) {
      sqlite3_stmt* statement = nullptr;
      rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
      sqlite3_finalize(statement);
      // SQLITE_ERROR: a table or column the store needs is not there.
      if (rc == SQLITE_ERROR || isDamageCode(rc)) damaged = true;
      if (rc != SQLITE_OK) break;
    }
    if (rc == SQLITE_OK && failsQuickCheck(db)) damaged = true;
  }
  sqlite3_close_v2(db);
  return damaged;
}

bool moveDamagedStoreAside(const std::filesystem::path& store) {
  const auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                         Clock::current()->now().time_since_epoch())
                         .count();
  const std::string aside = store.string() + ".unreadable-" + std::to_string(stamp);
  std::error_code ec;
  std::filesystem::rename(store, aside, ec);
  if (ec) return false;
  for (const char* journal : {"-wal", "-shm", "-journal"}) {
    const std::filesystem::path file = store.string() + journal;
    std::error_code ignored;
    if (std::filesystem::symlink_status(file, ignored).type() != std::filesystem::file_type::not_found) {
      std::filesystem::rename(file, aside + journal, ignored);
    }
  }
  return true;
}

}  // namespace platform
