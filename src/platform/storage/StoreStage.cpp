#include "platform/storage/StoreStage.h"

#include <fcntl.h>
#include <limits.h>
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/storage/DamagedStore.h"
#include "platform/storage/OwnFile.h"
#include "platform/storage/SharedFileCopies.h"
#include "platform/storage/WriteWatch.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLogSuffix = kStoreJournalSuffixes[0];
constexpr const char* kIndexSuffix = kStoreJournalSuffixes[1];
constexpr const char* kRollbackSuffix = kStoreJournalSuffixes[2];
// How long the hold on a store waits for a writer's commit.
constexpr int kHoldBusyTimeoutMs = 10000;
// The version a log's index header carries.
constexpr std::uint32_t kIndexVersion = 3007000;

// ---- The store's file alone ----
//
// A file system over the default one that shows its connections a store's
// file alone: no journal file lies at its names for them. A connection that
// only reads holds, through it, the file's locks as any reader does, blind
// to the journal files at the name here.

sqlite3_vfs* underlying = nullptr;

bool namesJournal(const char* name) {
  if (name == nullptr) return false;
  const std::size_t length = std::strlen(name);
  for (const char* suffix : kStoreJournalSuffixes) {
    const std::size_t size = std::strlen(suffix);
    if (length > size && std::memcmp(name + length - size, suffix, size) == 0) return true;
  }
  return false;
}

int openAlone(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* openedFlags) {
  if ((flags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL | SQLITE_OPEN_SUPER_JOURNAL)) != 0) {
    file->pMethods = nullptr;
    return SQLITE_CANTOPEN;
  }
  return underlying->xOpen(underlying, name, file, flags, openedFlags);
}

int accessAlone(sqlite3_vfs*, const char* name, int flags, int* result) {
  if (namesJournal(name)) {
    *result = 0;
    return SQLITE_OK;
  }
  return underlying->xAccess(underlying, name, flags, result);
}

// The name the file system above is registered under; null when SQLite has
// no default one.
const char* aloneFileSystem() {
  static const char* const name = []() -> const char* {
    underlying = sqlite3_vfs_find(nullptr);
    if (underlying == nullptr) return nullptr;
    // Every call but these two goes to the default file system's own, with
    // its own data.
    auto* alone = new sqlite3_vfs(*underlying);
    alone->zName = "lumora-store-alone";
    alone->pNext = nullptr;
    alone->xOpen = openAlone;
    alone->xAccess = accessAlone;
    return sqlite3_vfs_register(alone, 0) == SQLITE_OK ? alone->zName : nullptr;
  }();
  return name;
}

// ---- The store's records ----

// The first `size` bytes of the regular file at `path` into `bytes`.
bool readHead(const fs::path& path, unsigned char* bytes, std::size_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  const bool read =
      ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::pread(fd, bytes, size, 0) == static_cast<ssize_t>(size);
  ::close(fd);
  return read;
}

// The store's file change counter (its header's bytes 24 to 27, big-endian).
std::optional<std::uint32_t> changeCounterOf(const fs::path& store) {
  unsigned char header[28];
  if (!readHead(store, header, sizeof header)) return std::nullopt;
  return (std::uint32_t{header[24]} << 24) | (std::uint32_t{header[25]} << 16) | (std::uint32_t{header[26]} << 8) |
         std::uint32_t{header[27]};
}

using Salts = std::array<unsigned char, 8>;

// The salts of the log at `log` (its header's bytes 16 to 23), which each
// of its frames carries; none for a file that is no log.
std::optional<Salts> logSaltsOf(const fs::path& log) {
  unsigned char header[32];
  // The log's mark: 0x377f0682 or 0x377f0683, big-endian.
  if (!readHead(log, header, sizeof header) || header[0] != 0x37 || header[1] != 0x7f || header[2] != 0x06 ||
      (header[3] & 0xfe) != 0x82) {
    return std::nullopt;
  }
  Salts salts;
  std::memcpy(salts.data(), header + 16, salts.size());
  return salts;
}

// What a log's index tells in its header: two copies of 48 bytes, in this
// machine's byte order (the version at 0, whether it was built at 12, the
// frame the last commit ended at 16, the log's salts at 32), then the
// number of frames copied into the store at 96.
struct IndexHeader {
  std::uint32_t frames = 0;
  std::uint32_t copiedIn = 0;
  Salts salts{};
};

// The header of the index at `index`; none when it is not whole (its two
// copies differ: a write of it cut short) or not built.
std::optional<IndexHeader> indexHeaderOf(const fs::path& index) {
  unsigned char bytes[100];
  if (!readHead(index, bytes, sizeof bytes) || std::memcmp(bytes, bytes + 48, 48) != 0 || bytes[12] == 0) {
    return std::nullopt;
  }
  std::uint32_t version = 0;
  std::memcpy(&version, bytes, sizeof version);
  if (version != kIndexVersion) return std::nullopt;
  IndexHeader header;
  std::memcpy(&header.frames, bytes + 16, sizeof header.frames);
  std::memcpy(&header.copiedIn, bytes + 96, sizeof header.copiedIn);
  std::memcpy(header.salts.data(), bytes + 32, header.salts.size());
  return header;
}

// ---- The stage ----

// The store's copy under a leftover's name, and its journal files' copies
// beside it; removed with the object unless released.
class Stage {
 public:
  Stage() = default;
  ~Stage() { discard(); }
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  void adopt(const char* copy) { copy_ = copy; }
  const fs::path& copy() const { return copy_; }
  fs::path journal(const char* suffix) const { return storeFileNamed(copy_, suffix); }
  bool holds(const char* suffix) const {
    struct stat found {};
    return !copy_.empty() && ::lstat(journal(suffix).c_str(), &found) == 0;
  }
  void removeJournal(const char* suffix) const {
    if (!copy_.empty()) ::unlink(journal(suffix).c_str());
  }
  void discard() {
    if (copy_.empty()) return;
    for (const char* suffix : kStoreJournalSuffixes) removeJournal(suffix);
    ::unlink(copy_.c_str());
    copy_.clear();
  }
  std::string release() {
    std::string copy = copy_.native();
    copy_.clear();
    return copy;
  }

 private:
  fs::path copy_;
};

using Outcome = StoreStage::Outcome;

Outcome failedWith(Status& failure, const Status& why) {
  failure = why;
  return Outcome::Failed;
}

// The outcome of SQLite's `rc` on `db`, reading the store at `store`.
Outcome outcomeOf(sqlite3* db, int rc, const fs::path& store, Status& failure) {
  if (rc == SQLITE_OK) return Outcome::Made;
  if (isDamageCode(rc)) return Outcome::Unreadable;
  if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
    return failedWith(failure,
                      posixError(EBUSY, "Cannot copy " + store.string() + ": another process held it all the while"));
  }
  return failedWith(failure, posixError(posixCodeOfStore(db, rc), "Cannot copy " + store.string()));
}

// Opens the store at `store` to read, shown its file alone, and holds it as
// a reader does (`hold`, to be closed by the caller).
Outcome holdStore(const fs::path& store, sqlite3*& hold, Status& failure) {
  const char* fileSystem = aloneFileSystem();
  if (fileSystem == nullptr) return failedWith(failure, posixError(EIO, "Cannot copy " + store.string()));
  int rc = sqlite3_open_v2(fs::absolute(store).c_str(), &hold,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX, fileSystem);
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(hold, 1);
    sqlite3_busy_timeout(hold, kHoldBusyTimeoutMs);
    rc = sqlite3_exec(hold, "BEGIN; SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
  }
  return outcomeOf(hold, rc, store, failure);
}

// Copies the store at `store` (its status `info`) into `stage`, and its log
// and (when `withRollbackJournal`) its rollback journal here beside it.
Outcome copyFiles(const fs::path& store, const struct stat& info, bool log, bool withRollbackJournal, Stage& stage,
                  Status& failure) {
  sqlite3* hold = nullptr;
  Outcome outcome = log ? Outcome::Made : holdStore(store, hold, failure);
  // From the hold on, a writer that keeps to the store's locks writes
  // nothing of it.
  WriteWatch watch;
  watch.watch(store);
  if (outcome == Outcome::Made) {
    const int source = openToRead(store.c_str(), info);
    char temporary[PATH_MAX];
    const int copy = source < 0 ? -1 : makeCopyBeside(store.c_str(), source, info.st_mode, O_WRONLY, temporary);
    if (copy < 0) {
      outcome = errno == EAGAIN ? Outcome::Changed
                                : failedWith(failure, posixError(errno, "Cannot copy " + store.string()));
    } else {
      stage.adopt(temporary);
      ::close(copy);
    }
    if (source >= 0) ::close(source);
  }
  for (const char* suffix : {kLogSuffix, kRollbackSuffix}) {
    if (outcome != Outcome::Made || (suffix == kRollbackSuffix && !withRollbackJournal)) continue;
    const fs::path journal = storeFileNamed(store, suffix);
    struct stat found {};
    if (::lstat(journal.c_str(), &found) != 0 || !S_ISREG(found.st_mode)) continue;
    // One that the other home's process may write.
    if (found.st_nlink > 1) watch.watch(journal);
    const int source = openToRead(journal.c_str(), found);
    if (source < 0 || !makeCopyAt(stage.journal(suffix).c_str(), source, info.st_mode)) {
      outcome = errno == EAGAIN || errno == ENOENT
                    ? Outcome::Changed
                    : failedWith(failure, posixError(errno, "Cannot copy " + journal.string()));
    }
    if (source >= 0) ::close(source);
  }
  SharedFileCopies::stepTaken(SharedFileCopies::Step::Copied, store);
  if (hold != nullptr) sqlite3_exec(hold, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close_v2(hold);
  struct stat now {};
  const bool same = ::lstat(store.c_str(), &now) == 0 && now.st_dev == info.st_dev && now.st_ino == info.st_ino;
  if (watch.written() || !same) outcome = outcome == Outcome::Failed ? outcome : Outcome::Changed;
  return outcome;
}

// The index SQLite builds for the log staged beside `staged`, reading it as
// the first reader of a store does.
std::optional<IndexHeader> indexBuiltFor(const fs::path& staged) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(staged.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "BEGIN; SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
  std::optional<IndexHeader> header;
  if (rc == SQLITE_OK) header = indexHeaderOf(storeFileNamed(staged, kIndexSuffix));
  sqlite3_close_v2(db);
  return header;
}

// Whether the log staged in `stage` (copied from the one at `store`'s name)
// holds nothing the store's file lacks (see the header).
bool logCopiedIn(const fs::path& store, const Stage& stage) {
  const fs::path index = storeFileNamed(store, kIndexSuffix);
  struct stat found {};
  if (::lstat(index.c_str(), &found) != 0 || !S_ISREG(found.st_mode) || found.st_nlink != 1) return false;
  const std::optional<IndexHeader> own = indexHeaderOf(index);
  const std::optional<Salts> salts = logSaltsOf(stage.journal(kLogSuffix));
  if (!own || !salts || own->copiedIn != own->frames || own->salts != *salts) return false;
  const std::optional<IndexHeader> built = indexBuiltFor(stage.copy());
  return built && built->frames == own->frames && built->salts == own->salts;
}

// Has SQLite bring the journal files staged beside the copy into it, as the
// first open of a store does: the log replayed and copied in, or the
// journal rolled back; then they go.
Outcome bringJournalsIn(const fs::path& store, const Stage& stage, Status& failure) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(stage.copy().c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(db, 1);
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
  }
  if (rc == SQLITE_OK && stage.holds(kLogSuffix)) {
    rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
  const Outcome outcome = outcomeOf(db, rc, store, failure);
  sqlite3_close_v2(db);
  for (const char* suffix : kStoreJournalSuffixes) stage.removeJournal(suffix);
  return outcome;
}

}  // namespace

fs::path storeFileNamed(const fs::path& store, const char* suffix) { return fs::path(store.native() + suffix); }

int posixCodeOfStore(sqlite3* db, int rc) {
  if (db != nullptr && sqlite3_system_errno(db) != 0) return sqlite3_system_errno(db);
  switch (rc & 0xff) {
    case SQLITE_FULL:
      return ENOSPC;
    case SQLITE_NOMEM:
      return ENOMEM;
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return EACCES;
    default:
      return EIO;
  }
}

bool StoreStage::needed(const fs::path& store, bool log) {
  const auto found = [&store](const char* suffix, struct stat& info) {
    return ::lstat(storeFileNamed(store, suffix).c_str(), &info) == 0 && S_ISREG(info.st_mode);
  };
  struct stat logInfo {}, indexInfo {}, rollbackInfo {};
  if (found(kRollbackSuffix, rollbackInfo) && rollbackInfo.st_nlink == 1) return true;
  if (found(kLogSuffix, logInfo)) {
    return logInfo.st_nlink == 1 || !found(kIndexSuffix, indexInfo) || indexInfo.st_nlink == 1;
  }
  return log;
}

StoreStage::Outcome StoreStage::make(const fs::path& store, const struct stat& info, bool log, std::string& copy,
                                     Status& failure) {
  // Once the rollback journal here proves another transaction's, the store
  // is staged again without it.
  for (bool withRollbackJournal = true;; withRollbackJournal = false) {
    Stage stage;
    const Outcome copied = copyFiles(store, info, log, withRollbackJournal, stage, failure);
    if (copied != Outcome::Made) return copied;
    SharedFileCopies::stepTaken(SharedFileCopies::Step::Staged, store);
    if (stage.holds(kLogSuffix) && logCopiedIn(store, stage)) {
      stage.removeJournal(kLogSuffix);
      stage.removeJournal(kIndexSuffix);
    }
    const bool rollingBack = stage.holds(kRollbackSuffix);
    if (rollingBack || stage.holds(kLogSuffix)) {
      const std::optional<std::uint32_t> before = changeCounterOf(stage.copy());
      const Outcome brought = bringJournalsIn(store, stage, failure);
      if (brought != Outcome::Made) return brought;
      SharedFileCopies::stepTaken(SharedFileCopies::Step::Staged, store);
      // The count the journal began at against the store's: a journal more
      // than one commit behind is not this store's.
      const std::optional<std::uint32_t> began = changeCounterOf(stage.copy());
      if (!log && rollingBack && withRollbackJournal && before && began && *before != *began &&
          *before != *began + 1) {
        continue;
      }
    }
    copy = stage.release();
    return Outcome::Made;
  }
}

}  // namespace platform
