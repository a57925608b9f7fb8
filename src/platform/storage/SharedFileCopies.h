// The copies that make the files of an app home that have a second name (a
// copy of the home made with hard links, while the other home's process
// may still be writing them) files of that home alone: each is made beside
// its file under a leftover's name (".NAME." and six characters, which the
// app home clears), and only once every copy is made do they take the
// names, in the order they were made.
//
// Each copy holds a state its file had:
// - A SQLite store (a file that begins as one, whatever its name) is read
//   through SQLite's online backup, as any reader of the store: SQLite's
//   locks are the file's under every name, so the copy holds what a
//   process writing the store through another name had committed. The
//   store's "-wal", "-shm" and "-journal" files in this home are the ones
//   that process uses, or ones it left behind: one of this home's name
//   only (its other name gone) is no longer the store's, nor is an index
//   without its log, and goes first. Read through, they are not copied,
//   and their names go when the store's copy takes its name. No file the
//   store shares is written: its shared-memory index is opened to read
//   only. A writer through a log this home does not name keeps to no lock
//   of the read: a read that the store was written under is made again (a
//   few tries; a store written all the while fails the copy, EBUSY), and
//   so is one that a writer rebuilding the index turned away. A writer
//   that holds the store past the read's wait fails it too (EBUSY). A
//   store that cannot be read so (damaged, or a write cut short that
//   nobody holds, which only a writer can roll back) is copied byte for
//   byte with the journal files it shares, as it lies.
// - Any other file is copied byte for byte, and again when it was written
//   while it was copied (a file written in place: a log, say; a few tries,
//   the last one kept, and so possibly part of a write). One written only
//   by renaming a new file over it is never written in place.
//
// Ownership: the copies that have not taken their names are removed with
// the object. Threading: one thread. Failure: a POSIX error naming the
// file; the copies made so far stay until the object goes.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/Result.h"

namespace platform {

class SharedFileCopies {
 public:
  using Found = std::vector<std::pair<std::filesystem::path, struct stat>>;

  SharedFileCopies();
  ~SharedFileCopies();
  SharedFileCopies(const SharedFileCopies&) = delete;
  SharedFileCopies& operator=(const SharedFileCopies&) = delete;

  // Makes the copies of the files `shared` (each with its status as found),
  // a store's journal files with their store.
  Status make(const Found& shared);
  // Makes the copy of the lock file at `path` (its status `info`), locked
  // as a home's lock; its descriptor goes to `lock`.
  Status makeLocked(const std::filesystem::path& path, const struct stat& info, int& lock);

  // Gives each copy the name of its file, in the order made (a store's
  // journal files in this home removed first); stops at the first that
  // fails.
  Status takeNames();

 private:
  struct Copy {
    std::filesystem::path path;
    std::string temporary;
    bool store = false;
  };
  // How one read of a store through SQLite went.
  enum class Read { Made, Changed, Cut, Unreadable, Failed };

  Status copyBytes(const std::filesystem::path& path, const struct stat& info, int* lock = nullptr);
  // `log`: the store keeps a write-ahead log (else a rollback journal).
  Status copyStore(const std::filesystem::path& path, const struct stat& info, bool log, const Found& shared);
  // `sharedIndex`: the log's index here is the other home's, read only;
  // `watchWrites`: a write to the store under the read makes it Changed.
  Read readStore(const std::filesystem::path& path, const struct stat& info, bool sharedIndex, bool watchWrites,
                 Status& failure);

  // The kernel's notices of writes (inotify) to the file being copied.
  void watch(const std::filesystem::path& path);
  bool writtenSinceWatched();

  std::vector<Copy> made_;
  std::size_t named_ = 0;
  int notices_ = -1;
  int watched_ = -1;
  struct stat watchedInfo_ {};
  std::filesystem::path watchedPath_;
};

}  // namespace platform
