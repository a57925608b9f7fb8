#include "platform/storage/SharedFileCopies.h"

#include <fcntl.h>
#include <limits.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/storage/DamagedStore.h"
#include "platform/storage/OwnFile.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Tries at a copy of a file written while it was read.
constexpr int kCopyTries = 4;
// How long a read of a store waits for a writer's commit.
constexpr int kStoreBusyTimeoutMs = 10000;
constexpr const char* kStoreLogSuffix = "-wal";
constexpr const char* kStoreIndexSuffix = "-shm";
constexpr const char* kStoreJournalSuffix = "-journal";
// In the order a stale one goes: an index after its log.
constexpr const char* kStoreFileSuffixes[] = {kStoreLogSuffix, kStoreIndexSuffix, kStoreJournalSuffix};

fs::path storeFileNamed(const fs::path& path, const char* suffix) { return fs::path(path.native() + suffix); }

// The store whose journal file `path` is named as, empty for none.
fs::path storeOf(const fs::path& path) {
  for (const char* suffix : kStoreFileSuffixes) {
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

// The POSIX error that a failed read of a store into a copy (its result
// `rc`, the connections `copy` and `source`) stands for.
int errnoOf(sqlite3* copy, sqlite3* source, int rc) {
  for (sqlite3* db : {copy, source}) {
    if (db != nullptr && sqlite3_system_errno(db) != 0) return sqlite3_system_errno(db);
  }
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

}  // namespace

SharedFileCopies::SharedFileCopies() : notices_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

SharedFileCopies::~SharedFileCopies() {
  for (std::size_t i = named_; i < made_.size(); ++i) ::unlink(made_[i].temporary.c_str());
  if (notices_ >= 0) ::close(notices_);
}

void SharedFileCopies::watch(const fs::path& path) {
  watchedPath_ = path;
  if (::lstat(path.c_str(), &watchedInfo_) != 0) watchedInfo_ = {};
  watched_ = notices_ >= 0 ? inotify_add_watch(notices_, path.c_str(), IN_MODIFY | IN_DONT_FOLLOW) : -1;
}

bool SharedFileCopies::writtenSinceWatched() {
  bool written = false;
  if (watched_ >= 0) {
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = ::read(notices_, events, sizeof events)) > 0;) {
      for (char* at = events; at < events + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if ((event->mask & (IN_MODIFY | IN_Q_OVERFLOW)) != 0) written = true;
        at += sizeof(inotify_event) + event->len;
      }
    }
    inotify_rm_watch(notices_, watched_);
    watched_ = -1;
  }
  // Without notices (none to have), or besides them: what the file's
  // status tells.
  struct stat now {};
  if (::lstat(watchedPath_.c_str(), &now) != 0 || now.st_ino != watchedInfo_.st_ino ||
      now.st_size != watchedInfo_.st_size || now.st_mtim.tv_sec != watchedInfo_.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != watchedInfo_.st_mtim.tv_nsec) {
    written = true;
  }
  // The notice of the watch's end goes with it.
  if (notices_ >= 0) {
    alignas(inotify_event) char events[4096];
    while (::read(notices_, events, sizeof events) > 0) {
    }
  }
  return written;
}

Status SharedFileCopies::copyBytes(const fs::path& path, const struct stat& info, int* lock) {
  for (int attempt = 1;; ++attempt) {
    if (lock == nullptr) watch(path);
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
    if (lock == nullptr && writtenSinceWatched() && attempt < kCopyTries) {
      ::close(copy);
      ::unlink(temporary);
      continue;
    }
    made_.push_back({path, temporary});
    if (lock != nullptr) {
      *lock = copy;
    } else {
      ::close(copy);
    }
    return Status::success();
  }
}

SharedFileCopies::Read SharedFileCopies::readStore(const fs::path& path, const struct stat& info, bool sharedIndex,
                                                   bool watchWrites, Status& failure) {
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
  bool written = false;
  if (rc == SQLITE_OK) {
    if (watchWrites) watch(path);
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
    if (backup == nullptr) {
      rc = sqlite3_extended_errcode(copy);
    } else {
      rc = sqlite3_backup_step(backup, -1);
      const int finished = sqlite3_backup_finish(backup);
      if (rc == SQLITE_DONE) rc = finished;
    }
    if (watchWrites) written = writtenSinceWatched();
    sqlite3_exec(source, "COMMIT", nullptr, nullptr, nullptr);
  }
  const int code = rc == SQLITE_OK ? 0 : errnoOf(copy, source, rc);
  sqlite3_close_v2(source);
  sqlite3_close_v2(copy);
  struct stat now {};
  const bool same = ::lstat(path.c_str(), &now) == 0 && now.st_dev == info.st_dev && now.st_ino == info.st_ino;
  Read read = Read::Made;
  if (rc == SQLITE_OK) {
    // Another file at the name meanwhile, or the file written under the
    // read by a writer that keeps to no lock of its: read again.
    if (written || !same) read = Read::Changed;
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
  for (int attempt = 1;; ++attempt) {
    // Anything but a file at a journal file's name is left as it lies, and
    // so is the store.
    bool plain = true;
    for (const char* suffix : kStoreFileSuffixes) {
      struct stat journal {};
      if (::lstat(storeFileNamed(path, suffix).c_str(), &journal) == 0 && !S_ISREG(journal.st_mode)) plain = false;
    }
    if (!plain) break;
    // A journal file of this home's name only is no longer the store's: the
    // other home's process let go of that name (it closed the store, or
    // ended a transaction), and what it holds is behind what the store has
    // taken in since. So is the index of a log this home does not share:
    // it indexes another.
    const auto sharedHere = [&path](const char* suffix) {
      struct stat found {};
      return ::lstat(storeFileNamed(path, suffix).c_str(), &found) == 0 && found.st_nlink > 1;
    };
    for (const char* suffix : kStoreFileSuffixes) {
      const fs::path journal = storeFileNamed(path, suffix);
      const bool stale = !sharedHere(suffix) || (std::strcmp(suffix, kStoreIndexSuffix) == 0 && !sharedHere(kStoreLogSuffix));
      if (stale && ::unlink(journal.c_str()) != 0 && errno != ENOENT) {
        return posixError(errno, "Cannot remove " + journal.string());
      }
    }
    // A writer through the log and index shared here (or through a
    // rollback journal: its locks are the store's own) keeps to the read;
    // one through a log of its own alone does not, and the read watches
    // the store for its writes.
    const bool sharedIndex = sharedHere(kStoreIndexSuffix);
    Status failure = Status::success();
    const Read read = readStore(path, info, sharedIndex, log && !sharedIndex, failure);
    if (read == Read::Made) return Status::success();
    if (read == Read::Failed) return failure;
    if (read == Read::Unreadable) break;
    if (read == Read::Cut) {
      // A journal still shared that nobody holds: a write cut short, which
      // the copy's own store rolls back once it is the copy's. One whose
      // other name went meanwhile (the transaction ended) is read again.
      if (sharedHere(kStoreJournalSuffix)) break;
    }
    if (attempt >= kCopyTries) {
      return posixError(EBUSY, "Cannot copy " + path.string() + ": it was written all the while it was read");
    }
  }
  // As it lies, with the journal files it shares.
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

Status SharedFileCopies::takeNames() {
  for (; named_ < made_.size(); ++named_) {
    const Copy& copy = made_[named_];
    if (copy.store) {
      // Its journal files here are the other home's store's, or were made
      // by the read: what they meant is in the copy. Gone first, so that a
      // start cut short here leaves the store shared, to be read again.
      for (const char* suffix : kStoreFileSuffixes) {
        const fs::path journal = storeFileNamed(copy.path, suffix);
        struct stat found {};
        if (::lstat(journal.c_str(), &found) == 0 && S_ISREG(found.st_mode) && ::unlink(journal.c_str()) != 0 &&
            errno != ENOENT) {
          return posixError(errno, "Cannot replace " + copy.path.string());
        }
      }
    }
    if (::rename(copy.temporary.c_str(), copy.path.c_str()) != 0) {
      return posixError(errno, "Cannot replace " + copy.path.string());
    }
  }
  return Status::success();
}

}  // namespace platform
