#include "platform/storage/DamagedStore.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <sqlite3.h>
#include <unistd.h>

#include "platform/dispatch/Clock.h"

namespace platform {
namespace {

// How long the check waits for another connection's lock on the file.
constexpr int kDamageCheckBusyTimeoutMs = 5000;

constexpr const char* kMovedAsideMark = ".unreadable-";
constexpr const char* kJournalSuffixes[] = {"-wal", "-shm", "-journal"};

// Whether `path` itself is a regular file (a link to one is not).
bool isRegularFile(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::symlink_status(path, ignored).type() == std::filesystem::file_type::regular;
}

// Removes `path` when it is a regular file: never a folder (unlink refuses
// one even if it took a folder's place since the check), never what a link
// leads to.
void removeRegularFile(const std::filesystem::path& path) {
  if (isRegularFile(path)) ::unlink(path.c_str());
}

// Removes the copies of `store` moved aside before `latest`, beyond the
// newest kMovedAsideKept - 1, with their journal files; `latest` stays even
// when the clock went back. A copy is a regular file named exactly as a move
// names one (the store's name, the mark, a time as the move writes it);
// anything else of the folder stays: other names, folders, links.
void removeOldCopies(const std::filesystem::path& store, const std::filesystem::path& latest) {
  const std::string prefix = store.filename().string() + kMovedAsideMark;
  const std::filesystem::path folder = store.has_parent_path() ? store.parent_path() : ".";
  std::vector<std::pair<std::int64_t, std::filesystem::path>> copies;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    std::int64_t stamp = 0;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    const auto [past, error] = std::from_chars(first, last, stamp);
    if (error != std::errc() || past != last) continue;  // a journal file, or not a copy
    if (name != prefix + std::to_string(stamp)) continue;  // "-0", "007": not a name a move gives
    if (it->path().filename() == latest.filename() || !isRegularFile(it->path())) continue;
    copies.emplace_back(stamp, it->path());
  }
  constexpr std::size_t kOthersKept = kMovedAsideKept - 1;
  if (copies.size() <= kOthersKept) return;
  std::sort(copies.begin(), copies.end(), [](const auto& a, const auto& b) { return a > b; });
  for (auto old = copies.begin() + kOthersKept; old != copies.end(); ++old) {
    removeRegularFile(old->second);
    for (const char* journal : kJournalSuffixes) removeRegularFile(old->second.string() + journal);
  }
}

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
  const std::string aside = store.string() + kMovedAsideMark + std::to_string(stamp);
  std::error_code ec;
  std::filesystem::rename(store, aside, ec);
  if (ec) return false;
  for (const char* journal : kJournalSuffixes) {
    const std::filesystem::path file = store.string() + journal;
    std::error_code ignored;
    if (std::filesystem::symlink_status(file, ignored).type() != std::filesystem::file_type::not_found) {
      std::filesystem::rename(file, aside + journal, ignored);
    }
  }
  removeOldCopies(store, aside);
  return true;
}

}  // namespace platform
