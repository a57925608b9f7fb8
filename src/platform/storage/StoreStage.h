// A SQLite store's copy of this home's own, made from the store's file,
// which has a second name (another home's, whose process may be writing it
// still), and from the journal files at its name in this home: these are
// this home's store as much as its file is, whatever their number of names
// (a backup that links the files it did not see change links a store and
// copies the log that changed).
//
// The copy is made beside the store under a leftover's name (".NAME." and
// six characters, which the app home clears), with the copies of the
// store's log and rollback journal at the names SQLite gives them beside
// it (never its index: SQLite builds one of its own from the log), and
// SQLite then brings them into it as the first open of a store does: it
// replays the log (and copies it in) or rolls back the journal. No file of
// the store's is written, nor one at its names. The store's file is copied
// as a reader holds it: in rollback mode under its locks (those of the file
// under every name: a writer through any name waits, and none holds a
// write half-done), read by a connection shown the file alone; one that
// keeps a log is written by its writers under no lock of the file (they
// copy their log in), and the copy is made again when the file was written
// while it was copied (a few tries by the caller). The journals' copies
// are watched alike where they have another name.
//
// A journal file at the store's name is the store's, but for one that the
// other home's process let go of, and wrote the store on past it (a copy
// made with hard links beside that process, which since closed the store
// or ended a transaction): its content is not brought in, for it would set
// old pages among newer ones. That is told by the store's own records:
// - a log whose index here is this home's alone (the other name went with
//   the log's, as a process does when it closes the store, once every
//   frame of the log is copied in), indexes that very log (its salts),
//   tells every frame copied into the store, and of which SQLite's own
//   reading finds no frame past those;
// - a rollback journal whose store moved on by more than one commit past
//   the one the journal began at (each commit in rollback mode counts one
//   up in the store's header, and the journal holds the header as it was):
//   a journal that is the store's is that of a write cut short, at most
//   one commit behind (the count is written just before a commit ends).
//
// Threading: one thread. Failure: an outcome, and for Failed a POSIX error
// naming the store.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/Result.h"

struct sqlite3;

namespace platform {

// The journal files a SQLite store keeps beside it, by the suffixes of their
// names: its write-ahead log, the log's shared-memory index, its rollback
// journal.
inline constexpr const char* kStoreJournalSuffixes[] = {"-wal", "-shm", "-journal"};

// The journal file of `store` named with `suffix`.
std::filesystem::path storeFileNamed(const std::filesystem::path& store, const char* suffix);

// The POSIX error that SQLite's result `rc` on the connection `db` (may be
// null) stands for.
int posixCodeOfStore(sqlite3* db, int rc);

class StoreStage {
 public:
  enum class Outcome {
    Made,
    // Its file was written, or replaced, while it was copied.
    Changed,
    // SQLite finds it damaged.
    Unreadable,
    Failed,
  };

  // Whether the store at `store` (keeping a write-ahead log when `log`, by
  // its header) is to be copied through a stage: a journal file at its
  // name is this home's alone, or a log's index is not shared with it, or
  // it keeps a log and none lies here. Otherwise every journal file here is
  // shared with the other home, whose process may be using it, and the
  // store is read through them as one more reader.
  static bool needed(const std::filesystem::path& store, bool log);

  // Makes the copy of the store at `store` (its status as found `info`);
  // Made puts its name at `copy`, the caller's from then on.
  static Outcome make(const std::filesystem::path& store, const struct stat& info, bool log, std::string& copy,
                      Status& failure);
};

}  // namespace platform
