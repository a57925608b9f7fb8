#include "support/DamagedFile.h"

#include <sqlite3.h>

#include <fstream>
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
