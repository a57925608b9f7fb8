// The app's home: one root directory standing in for the phone's app sandbox,
// holding Documents, Library/Caches, Library/Preferences and tmp.
//
// The root is chosen, in order, by setRoot(), the LUMORA_HOME environment
// variable, or $HOME/.lumora. Folders are created on first use. Safe to call
// from any thread; changing the root while other threads use it is a test-only
// operation.
//
// Privacy: the home holds tokens and contacts, so it is the user's alone. The
// first use of a root makes it 0700, makes the process's file-creation mask
// 077 (every file and folder the app creates from then on is 0600 / 0700,
// SQLite databases included), tightens whatever is already under the root to
// those modes, and removes the temporary files that atomic writes
// ("." + name + "." + six characters, see plist::writeFileAtomically) leave
// behind when the process dies mid-write. The photo library's folder
// (media()) is the user's, not the app's: that walk leaves it out whole, and
// the library tidies only the folder it keeps there for itself
// (makePrivate).
// Ownership: one process-wide root, set or chosen on first use.
// Failure: a folder that cannot be created or tightened is still returned;
// the failure shows where the caller first uses the path. claim() is the
// one call that checks the root and reports what is wrong with it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

#include "platform/Result.h"

namespace platform {

class AppHome {
 public:
  static std::filesystem::path root();
  // Where root() is, computed only: nothing is created or prepared (cheap
  // enough for a check on every read of a store under the root).
  static std::filesystem::path rootPath();
  // Whether rootPath() is `path`, without a copy of it.
  static bool isRootPath(const std::filesystem::path& path);
  static void setRoot(const std::filesystem::path& root);

  static std::filesystem::path documents();    // <root>/Documents
  static std::filesystem::path caches();       // <root>/Library/Caches
  static std::filesystem::path preferences();  // <root>/Library/Preferences
  static std::filesystem::path applicationSupport();  // <root>/Library/Application Support
  static std::filesystem::path tmp();          // <root>/tmp
  // <root>/Media, the device's photo library: the user's files (not made
  // here).
  static std::filesystem::path media();

  // Does for `folder`, one of the app's own below the root, what the first
  // use of a root does for the rest of the home: makes it and what lies
  // under it private and removes what atomic writes left half-done. A link
  // in its place is left as it lies, and nothing is followed below it.
  static void makePrivate(const std::filesystem::path& folder);

  // A kit's own folder `base`/`below` (`base` one of the folders above),
  // made where missing. A link in the place of it or of a folder between is
  // removed first (the link, never what it points to), so that nothing is
  // read or written outside the home through one. False when a link stays
  // or a folder cannot be made.
  static bool makeOwnFolder(const std::filesystem::path& base, const std::filesystem::path& below);
  // Removes a link in the place of `path` (the link itself); false when one
  // is there and stays.
  static bool removeLinkInPlaceOf(const std::filesystem::path& path);

  // Makes the current root this process's own for the rest of its life, before
  // anything of it is read or changed: an advisory lock on the root folder
  // and on the lock file in it as found (which earlier versions lock, and
  // which a copy of the home made with hard links shares until either
  // starts), so a second process on the same home, or on such a copy of it,
  // is refused at once instead of sharing its stores. Then what a start
  // cut short in the renames of its copies left on record is completed
  // (see SharedFileCopies), the leftovers of earlier writes and of a start
  // cut short are cleared, and every file of the program's own under the
  // root (all but the user's photos in media()) that has a second name is
  // replaced by a file of this name alone with the same contents and mode
  // (a SQLite store what was committed to it, read as SQLite reads it with
  // the journal files at its name here: see SharedFileCopies), the lock
  // file last (its copy is locked first, and the lock file it replaces
  // stays locked until the process ends, so that a copy made at any moment
  // of this process's life waits its turn), so that a copy of a home is a
  // home of its own from its first start; a copy that cannot be made fails
  // the claim with every name as it was (EBUSY: a store written all the
  // while it was read).
  // `willCopy`, when given, hears the size in bytes of those copies before
  // they are made (a large store takes a moment). Then the first use's walk
  // (see above) runs. Also checks that the root is a folder the app can
  // create and write in. A POSIX error: EWOULDBLOCK when another process
  // holds the home, else what failed.
  // Claiming a root this process holds again succeeds, and so does one
  // whose lock file this process holds already; a claim outlives setRoot()
  // to another root.
  static Status claim(const std::function<void(std::uintmax_t bytes)>& willCopy = nullptr);
};

}  // namespace platform
