#include "platform/storage/SharedFileCopies.h"

#include <fcntl.h>
#include <limits.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/storage/DamagedStore.h"
#include "platform/storage/OwnFile.h"
#include "platform/storage/RenameRecord.h"
#include "platform/storage/StoreStage.h"
#include "platform/storage/WriteWatch.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Tries at a copy of a file written while it was read.
constexpr int kCopyTries = 4;
// How long a read of a store waits for a writer's commit.
constexpr int kStoreBusyTimeoutMs = 10000;
constexpr const char* kStoreIndexSuffix = kStoreJournalSuffixes[1];
constexpr const char* kStoreRollbackSuffix = kStoreJournalSuffixes[2];

// What tests are told of each step.
std::function<void(SharedFileCopies::Step, const fs::path&)>& stepHook() {
  static auto* hook = new std::function<void(SharedFileCopies::Step, const fs::path&)>();
  return *hook;
}

// The store whose journal file `path` is named as, empty for none.
fs::path storeOf(const fs::path& path) {
  for (const char* suffix : kStoreJournalSuffixes) {
    const std::size_t length = std::strlen(suffix);
    if (path.native().size() > length && path.native().ends_with(suffix)) {
      return fs::path(path.native().substr(0, path.native().size() - length));
    }
  }
  return {};
}

// How the file found at `path` (its status `info`) keeps a SQLite store's
// journal, by its header: kNoStore for a file that does not begin as a
// store does.
enum class Journal { kNoStore, kRollback, kLog };

Journal journalOf(const fs::path& path, const struct stat& info) {
  static const char kHeader[] = "SQLite format 3";  // and its NUL
  // The header's write version, at byte 18: 1 for a rollback journal, 2
  // for a write-ahead log.
  constexpr std::size_t kWriteVersion = 18;
  const int fd = openToRead(path.c_str(), info);
  if (fd < 0) return Journal::kNoStore;
  unsigned char header[kWriteVersion + 1] = {};
  const ssize_t got = ::pread(fd, header, sizeof header, 0);
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof header) || std::memcmp(header, kHeader, sizeof kHeader) != 0) {
    return Journal::kNoStore;
  }
  return header[kWriteVersion] == 2 ? Journal::kLog : Journal::kRollback;
}

// `path` as a SQLite URI ("file:" and the path, every byte but the plain
// ones escaped), so that it can carry a parameter.
std::string storeUri(const fs::path& path, bool readOnlyIndex) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  const fs::path absolute = fs::absolute(path);
  for (const unsigned char c : absolute.native()) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                       c == '-' || c == '.' || c == '_';
    if (plain) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  if (readOnlyIndex) uri += "?readonly_shm=1";
  return uri;
}

}  // namespace

SharedFileCopies::SharedFileCopies(fs::path root) : root_(std::move(root)) {}

SharedFileCopies::~SharedFileCopies() {
  for (std::size_t i = named_; i < made_.size(); ++i) {
    // The copies of a record on disk are the next start's to rename.
    if (recorded_ && !made_[i].lock) continue;
    ::unlink(made_[i].temporary.c_str());
  }
}

void SharedFileCopies::setStepHookForTesting(std::function<void(Step, const fs::path&)> hook) {
  stepHook() = std::move(hook);
}

void SharedFileCopies::stepTaken(Step step, const fs::path& file) {
  if (stepHook()) stepHook()(step, file);
}

Status SharedFileCopies::copyBytes(const fs::path& path, const struct stat& info, int* lock) {
  for (int attempt = 1;; ++attempt) {
    WriteWatch watch;
    if (lock == nullptr) watch.watch(path);
    const int source = openToRead(path.c_str(), info);
    int failure = source < 0 ? errno : 0;
    char temporary[PATH_MAX];
    int copy = -1;
    if (failure == 0) {
      copy = makeCopyBeside(path.c_str(), source, info.st_mode, O_RDWR, temporary);
      if (copy < 0) failure = errno;
    }
    if (source >= 0) ::close(source);
    if (copy >= 0 && lock != nullptr && ::flock(copy, LOCK_EX | LOCK_NB) != 0) {
      failure = errno;
      ::close(copy);
      ::unlink(temporary);
      copy = -1;
    }
    if (copy < 0) return posixError(failure, "Cannot copy " + path.string());
    stepTaken(Step::Copied, path);
    if (lock == nullptr && watch.written() && attempt < kCopyTries) {
      ::close(copy);
      ::unlink(temporary);
      continue;
    }
    made_.push_back({path, temporary, false, lock != nullptr});
    if (lock != nullptr) {
      *lock = copy;
    } else {
      ::close(copy);
    }
    return Status::success();
  }
}

SharedFileCopies::Read SharedFileCopies::readStore(const fs::path& path, const struct stat& info, bool sharedIndex,
                                                   Status& failure) {
  char temporary[PATH_MAX];
  const int fd = makeCopyBeside(path.c_str(), -1, info.st_mode, O_RDWR, temporary);
  if (fd < 0) {
    failure = posixError(errno, "Cannot copy " + path.string());
    return Read::Failed;
  }
  ::close(fd);
  sqlite3* copy = nullptr;
  sqlite3* source = nullptr;
  int rc = sqlite3_open_v2(temporary, &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(copy, 1);
    // The copy is whole or is removed: it needs no journal of its own.
    rc = sqlite3_exec(copy, "PRAGMA journal_mode=OFF", nullptr, nullptr, nullptr);
  }
  if (rc == SQLITE_OK) {
    // The store as its writer sees it: read only, its shared-memory index
    // (when the other home's is here) not written either.
    rc = sqlite3_open_v2(storeUri(path, sharedIndex).c_str(), &source,
                         SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX, nullptr);
  }
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(source, 1);
    sqlite3_busy_timeout(source, kStoreBusyTimeoutMs);
    // One read from here to the end: a writer through these journal files
    // keeps to it.
    rc = sqlite3_exec(source, "BEGIN; SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
  }
  if (rc == SQLITE_OK) {
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
    if (backup == nullptr) {
      rc = sqlite3_extended_errcode(copy);
    } else {
      rc = sqlite3_backup_step(backup, -1);
      const int finished = sqlite3_backup_finish(backup);
      if (rc == SQLITE_DONE) rc = finished;
    }
    stepTaken(Step::Copied, path);
    sqlite3_exec(source, "COMMIT", nullptr, nullptr, nullptr);
  }
  // The error a call of the system met, on either side, else what SQLite's
  // result stands for.
  const bool copyMet = copy != nullptr && sqlite3_system_errno(copy) != 0;
  const int code = rc == SQLITE_OK ? 0 : posixCodeOfStore(copyMet ? copy : source, rc);
  sqlite3_close_v2(source);
  sqlite3_close_v2(copy);
  struct stat now {};
  const bool same = ::lstat(path.c_str(), &now) == 0 && now.st_dev == info.st_dev && now.st_ino == info.st_ino;
  Read read = Read::Made;
  if (rc == SQLITE_OK) {
    // Another file at the name meanwhile: read again.
    if (!same) read = Read::Changed;
  } else if (rc == SQLITE_READONLY_CANTINIT || rc == SQLITE_READONLY_RECOVERY) {
    // A writer rebuilding the index.
    read = Read::Changed;
  } else if (rc == SQLITE_READONLY_ROLLBACK) {
    read = Read::Cut;
  } else if (isDamageCode(rc)) {
    read = Read::Unreadable;
  } else {
    read = Read::Failed;
    const bool held = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
    failure = held ? posixError(EBUSY, "Cannot copy " + path.string() + ": another process held it all the while")
                   : posixError(code, "Cannot copy " + path.string());
  }
  if (read != Read::Made) {
    ::unlink(temporary);
    return read;
  }
  made_.push_back({path, temporary, true});
  return read;
}

Status SharedFileCopies::copyStore(const fs::path& path, const struct stat& info, bool log, const Found& shared) {
  const auto sharedHere = [&path](const char* suffix) {
    struct stat found {};
    return ::lstat(storeFileNamed(path, suffix).c_str(), &found) == 0 && found.st_nlink > 1;
  };
  for (int attempt = 1;; ++attempt) {
    // Anything but a file at a journal file's name is left as it lies, and
    // so is the store.
    bool plain = true;
    for (const char* suffix : kStoreJournalSuffixes) {
      struct stat journal {};
      if (::lstat(storeFileNamed(path, suffix).c_str(), &journal) == 0 && !S_ISREG(journal.st_mode)) plain = false;
    }
    if (!plain) break;
    if (StoreStage::needed(path, log)) {
      std::string copy;
      Status failure = Status::success();
      const StoreStage::Outcome staged = StoreStage::make(path, info, log, copy, failure);
      if (staged == StoreStage::Outcome::Made) {
        made_.push_back({path, copy, true});
        return Status::success();
      }
      if (staged == StoreStage::Outcome::Failed) return failure;
      if (staged == StoreStage::Outcome::Unreadable) break;
    } else {
      // Every journal file here is the other home's as well, which its
      // process may be using: the store is read through them, as one more
      // reader (a log through the index shared with it).
      Status failure = Status::success();
      const Read read = readStore(path, info, sharedHere(kStoreIndexSuffix), failure);
      if (read == Read::Made) return Status::success();
      if (read == Read::Failed) return failure;
      if (read == Read::Unreadable) break;
      if (read == Read::Cut) {
        // A journal still shared that nobody holds: a write cut short, which
        // the copy's own store rolls back once it is the copy's. One whose
        // other name went meanwhile (the transaction ended) is read again.
        if (sharedHere(kStoreRollbackSuffix)) break;
      }
    }
    if (attempt >= kCopyTries) {
      return posixError(EBUSY, "Cannot copy " + path.string() + ": it was written all the while it was read");
    }
  }
  // As it lies, with the journal files it shares; those of this home's
  // alone stay as they lie beside it.
  if (Status copied = copyBytes(path, info); !copied.ok()) return copied;
  for (const auto& [file, found] : shared) {
    if (storeOf(file) != path) continue;
    struct stat now {};
    if (::lstat(file.c_str(), &now) != 0 || now.st_ino != found.st_ino || now.st_nlink < 2) continue;
    if (Status copied = copyBytes(file, now); !copied.ok()) return copied;
  }
  return Status::success();
}

Status SharedFileCopies::make(const Found& shared) {
  std::map<fs::path, Journal> stores;
  for (const auto& [path, info] : shared) {
    if (const Journal journal = journalOf(path, info); journal != Journal::kNoStore) stores.emplace(path, journal);
  }
  for (const auto& [path, info] : shared) {
    if (stores.count(storeOf(path)) != 0) continue;
    const auto store = stores.find(path);
    Status copied =
        store != stores.end() ? copyStore(path, info, store->second == Journal::kLog, shared) : copyBytes(path, info);
    if (!copied.ok()) return copied;
  }
  return Status::success();
}

Status SharedFileCopies::makeLocked(const fs::path& path, const struct stat& info, int& lock) {
  return copyBytes(path, info, &lock);
}

Status SharedFileCopies::record() {
  std::vector<RenameRecord::Entry> entries;
  bool stores = false;
  for (std::size_t i = named_; i < made_.size(); ++i) {
    const Copy& copy = made_[i];
    // The lock file's copy is made again by a next start: it holds nothing.
    if (copy.lock) continue;
    entries.push_back({copy.path, copy.temporary, copy.store});
    stores = stores || copy.store;
  }
  // Only a store's copy removes a name that may hold what it alone holds
  // besides.
  if (!stores) return Status::success();
  for (const RenameRecord::Entry& entry : entries) {
    const int fd = ::open(entry.copy.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    const int failure = errno;
    if (fd >= 0) ::close(fd);
    if (!synced) return posixError(failure, "Cannot copy " + entry.target.string());
  }
  if (Status written = RenameRecord::write(root_, entries); !written.ok()) return written;
  recorded_ = true;
  stepTaken(Step::Recorded, root_ / RenameRecord::kFileName);
  return Status::success();
}

Status SharedFileCopies::takeNames() {
  if (Status recorded = record(); !recorded.ok()) return recorded;
  for (; named_ < made_.size(); ++named_) {
    const Copy& copy = made_[named_];
    if (Status taken = RenameRecord::take({copy.path, copy.temporary, copy.store}); !taken.ok()) return taken;
  }
  if (recorded_) {
    if (Status removed = RenameRecord::remove(root_); !removed.ok()) return removed;
    recorded_ = false;
  }
  return Status::success();
}

}  // namespace platform
