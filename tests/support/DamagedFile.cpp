#include "support/DamagedFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

namespace testsupport {
namespace {

constexpr std::uintmax_t kPage = 4096;

void run(const std::filesystem::path& file, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  sqlite3_close_v2(db);
}

// Makes every connection open on `file` read its pages again: another
// connection's change of the schema version.
void announceChange(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* read = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA schema_version", -1, &read, nullptr);
  const int version = sqlite3_step(read) == SQLITE_ROW ? sqlite3_column_int(read, 0) : 0;
  sqlite3_finalize(read);
  sqlite3_exec(db, ("PRAGMA schema_version=" + std::to_string(version + 1)).c_str(), nullptr, nullptr, nullptr);
  sqlite3_close_v2(db);
}

void overwritePage(const std::filesystem::path& file, std::uintmax_t page, char fill) {
  std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(page * kPage));
  out << std::string(kPage, fill);
}

}  // namespace

void damagePages(const std::filesystem::path& file, char fill, bool wholeRest) {
  run(file, "PRAGMA wal_checkpoint(TRUNCATE)");
  const std::uintmax_t size = std::filesystem::file_size(file);
  const std::uintmax_t end = wholeRest ? size : std::min(size, 2 * kPage);
  std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(kPage));
  out << std::string(end > kPage ? end - kPage : 0, fill);
}

void damagePagesInUse(const std::filesystem::path& file, char fill) {
  damagePages(file, fill, true);
  announceChange(file);
}

bool damagePageHolding(const std::filesystem::path& file, const std::string& marker, char fill, bool inUse) {
  run(file, "PRAGMA wal_checkpoint(TRUNCATE)");
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t at = bytes.find(marker);
  if (at == std::string::npos) return false;
  overwritePage(file, at / kPage, fill);
  if (inUse) announceChange(file);
  return true;
}

bool damageTable(const std::filesystem::path& file, const std::string& table, char fill) {
  run(file, "PRAGMA wal_checkpoint(TRUNCATE)");
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* read = nullptr;
  sqlite3_prepare_v2(db, "select rootpage from sqlite_master where type = 'table' and name = ?", -1, &read, nullptr);
  sqlite3_bind_text(read, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  const std::int64_t root = sqlite3_step(read) == SQLITE_ROW ? sqlite3_column_int64(read, 0) : 0;
  sqlite3_finalize(read);
  sqlite3_close_v2(db);
  if (root <= 1 || static_cast<std::uintmax_t>(root) * kPage > std::filesystem::file_size(file)) return false;
  overwritePage(file, static_cast<std::uintmax_t>(root - 1), fill);
  return true;
}

int movedAside(const std::filesystem::path& file) {
  const std::string prefix = file.filename().string() + ".unreadable-";
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    const std::string name = entry.path().filename().string();
    // Its journal files go with it under the same name and their suffix.
    count += name.rfind(prefix, 0) == 0 && name.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
  }
  return count;
}

}  // namespace testsupport
