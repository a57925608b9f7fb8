// The copies that make the files of an app home that have a second name (a
// copy of the home made with hard links, while the other home's process
// may still be writing them) files of that home alone: each is made beside
// its file under a leftover's name (".NAME." and six characters, which the
// app home clears), and only once every copy is made do they take the
// names, in the order they were made.
//
// Each copy holds a state its file had:
// - A SQLite store (a file that begins as one, whatever its name) holds
//   what was committed to it as the journal files at its name in this home
//   tell, whatever their number of names: they are this home's store as
//   much as its file is. Where every journal file here is shared with the
//   other home (whose process may be using them: a copy made with hard
//   links beside it), the store is read through SQLite's online backup, as
//   one more reader of the store: SQLite's locks are the file's under every
//   name, so the copy holds what that process had committed. Its index is
//   opened to read only. A read turned away by a writer rebuilding the
//   index is made again, and one that a writer holds past the read's wait
//   fails (EBUSY). Otherwise (a journal file of this home's alone, as a
//   backup that links the store it did not see change and copies its log
//   leaves, or a log whose index is not shared) StoreStage makes the copy
//   from the store's file and the journals here, SQLite bringing them in;
//   a store written all the while it is copied fails the copy (EBUSY).
//   No file the store shares is written, and no journal file here goes
//   before the copy takes its name. A store that cannot be read so
//   (damaged, or a write cut short that nobody holds in a journal shared
//   with the other home, which only a writer can roll back) is copied byte
//   for byte with the journal files it shares, as it lies.
// - Any other file is copied byte for byte, and again when it was written
//   while it was copied (a file written in place: a log, say; a few tries,
//   the last one kept, and so possibly part of a write). One written only
//   by renaming a new file over it is never written in place.
//
// Taking the names: a store's copy replaces its journal files here too,
// and before the first of them goes, the renames to make are on disk
// (RenameRecord), so that a start cut short in them is completed by the
// next.
//
// Ownership: the copies that have not taken their names are removed with
// the object, but for those of a record on disk, which the next start
// renames. Threading: one thread. Failure: a POSIX error naming the file;
// the copies made so far stay until the object goes.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Result.h"

namespace platform {

class SharedFileCopies {
 public:
  using Found = std::vector<std::pair<std::filesystem::path, struct stat>>;

  // The steps of the copies and their renames, each told (for tests) with
  // the file it concerns: a copy made (not yet checked for writes during
  // it), a store's stage made or its journals brought in, the renames put
  // on record, a journal file removed, a copy renamed.
  enum class Step { Copied, Staged, Recorded, Removed, Renamed };

  // `root`: the home whose files they are, where the record of the renames
  // goes.
  explicit SharedFileCopies(std::filesystem::path root);
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
  // journal files in this home removed first, once the renames are on
  // record); stops at the first that fails.
  Status takeNames();

  // Has `hook` told of each step from now on (none: nothing is told); for
  // tests, which end the process at one or write a file at one.
  static void setStepHookForTesting(std::function<void(Step, const std::filesystem::path&)> hook);
  // Tells the hook of `step`, concerning `file`.
  static void stepTaken(Step step, const std::filesystem::path& file);

 private:
  struct Copy {
    std::filesystem::path path;
    std::string temporary;
    bool store = false;
    bool lock = false;
  };
  // How one read of a store through SQLite went.
  enum class Read { Made, Changed, Cut, Unreadable, Failed };

  Status copyBytes(const std::filesystem::path& path, const struct stat& info, int* lock = nullptr);
  // `log`: the store keeps a write-ahead log (else a rollback journal).
  Status copyStore(const std::filesystem::path& path, const struct stat& info, bool log, const Found& shared);
  // `sharedIndex`: the log's index here is the other home's, read only.
  Read readStore(const std::filesystem::path& path, const struct stat& info, bool sharedIndex, Status& failure);
  // Puts the renames left to make on record, their copies on disk first.
  Status record();

  std::filesystem::path root_;
  std::vector<Copy> made_;
  std::size_t named_ = 0;
  // The renames from named_ on are on record.
  bool recorded_ = false;
};

}  // namespace platform
