#include "platform/storage/AppHome.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/storage/OwnFile.h"
#include "platform/storage/RenameRecord.h"
#include "platform/storage/SharedFileCopies.h"
#include "platform/storage/StoreStage.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kPrivateFolder = fs::perms::owner_all;
constexpr fs::perms kPrivateFile = fs::perms::owner_read | fs::perms::owner_write;

struct Home {
  std::mutex mutex;
  fs::path root;
  bool prepared = false;
  // The roots this process claimed, each with the folder and its lock file
  // open (and so locked) until the process ends.
  std::map<fs::path, std::pair<int, int>> claimed;
  // The lock files a claim found shared with a copy of its home and
  // replaced: each stays locked until the process ends, so that a copy
  // made at any moment of this process's life, the first instant of its
  // start included, waits its turn.
  std::vector<int> replacedLocks;
};

constexpr const char* kClaimFileName = ".lumora.lock";
constexpr const char* kMediaFolderName = "Media";
// The photo library's catalogue in Media, the program's own.
constexpr const char* kCatalogueFolderName = "PhotoData";

// Never destroyed: the queues of process-wide objects (the statistics
// store's, say) go on reading the root while exit handlers run, and a
// destroyed root would be read after it was freed.
Home& home() {
  static Home* const h = new Home();
  return *h;
}

fs::path defaultRoot() {
  if (const char* env = std::getenv("LUMORA_HOME"); env && *env) return env;
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".lumora";
  return fs::temp_directory_path() / "lumora";
}

fs::path ensured(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  return dir;
}

// Whether `name` is the name of an atomic write's temporary file, or of a
// journal file SQLite made beside one (a store's copy a start was making).
bool isAtomicWriteLeftover(std::string name) {
  for (const char* suffix : kStoreJournalSuffixes) {
    if (name.ends_with(suffix)) {
      name.resize(name.size() - std::strlen(suffix));
      break;
    }
  }
  // "." + the file's name + "." + the six characters mkstemp picked.
  if (name.size() < 1 + 1 + 1 + 6 || name.front() != '.' || name[name.size() - 7] != '.') return false;
  for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

// What the start of a home has to do below one of its folders, found in
// one walk (links neither followed nor entered) and done only once the
// home is held and its files are its own.
struct Survey {
  // Folders and files others may open, with the mode each is to have.
  std::vector<std::pair<fs::path, fs::perms>> open;
  // The temporaries of atomic writes that a process died in.
  std::vector<fs::path> leftovers;
  // The files that have another name as well.
  std::vector<std::pair<fs::path, struct stat>> shared;
};

bool openToOthers(const struct stat& info) { return (info.st_mode & (S_IRWXG | S_IRWXO)) != 0; }

// Surveys `top` and what lies under it; a folder `leftOut` directly in
// `top` is not entered.
Survey survey(const fs::path& top, const fs::path& leftOut) {
  Survey found;
  struct stat info {};
  if (::lstat(top.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return found;
  if (openToOthers(info)) found.open.emplace_back(top, kPrivateFolder);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(top, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& path = it->path();
    if (it.depth() == 0 && !leftOut.empty() && path.filename() == leftOut) {
      it.disable_recursion_pending();
      continue;
    }
    if (::lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      if (openToOthers(info)) found.open.emplace_back(path, kPrivateFolder);
    } else if (S_ISREG(info.st_mode)) {
      if (isAtomicWriteLeftover(path.filename().string())) {
        found.leftovers.push_back(path);
        continue;
      }
      if (openToOthers(info)) found.open.emplace_back(path, kPrivateFile);
      if (info.st_nlink > 1) found.shared.emplace_back(path, info);
    }
  }
  return found;
}

// Removes the leftovers `found` found: what atomic writes, and the copies
// of a start cut short, left half-made.
void clearLeftovers(const Survey& found) {
  std::error_code ignored;
  for (const fs::path& leftover : found.leftovers) fs::remove(leftover, ignored);
}

// Makes private what `found` found open. A mode is the file's under every
// name: a file that still has another name keeps its mode.
void tightenModes(const Survey& found) {
  std::error_code ignored;
  for (const auto& [path, wanted] : found.open) {
    struct stat info {};
    if (wanted == kPrivateFile && (::lstat(path.c_str(), &info) != 0 || info.st_nlink > 1)) continue;
    fs::permissions(path, wanted, fs::perm_options::replace | fs::perm_options::nofollow, ignored);
  }
}

void tidy(const Survey& found) {
  clearLeftovers(found);
  tightenModes(found);
}

// Makes every file of `shared` (the program's own files under `root` that
// have a second name: a copy of the home made with hard links, a backup
// that links the files it did not see change) a file of this home alone:
// all are copied beside their names first (each holding a state its file
// had, a store what was committed to it: see SharedFileCopies), and only
// once every copy is made do the copies take the names, the lock file
// (held as `lock`) last, its copy locked before it takes the name and then
// held in `lock` instead; the lock file it replaced stays held, added to
// `replaced`. The other names keep their bytes. A copy that cannot be made
// leaves every name as it was and no copy behind.
Status makeFilesOwn(const fs::path& root, const std::vector<std::pair<fs::path, struct stat>>& shared,
                    const fs::path& lockFile, int& lock, std::vector<int>& replaced) {
  struct stat lockInfo {};
  if (::fstat(lock, &lockInfo) != 0) return posixError(errno, "Cannot read " + lockFile.string());
  SharedFileCopies copies(root);
  SharedFileCopies::Found others;
  for (const auto& file : shared) {
    if (file.first != lockFile) others.push_back(file);
  }
  int newLock = -1;
  Status status = copies.make(others);
  if (status.ok() && lockInfo.st_nlink > 1) status = copies.makeLocked(lockFile, lockInfo, newLock);
  const bool copied = status.ok();
  if (status.ok()) status = copies.takeNames();
  if (!status.ok()) {
    if (newLock >= 0) ::close(newLock);
    const std::string what = status.error().userInfo().value(Error::kLocalizedDescriptionKey, std::string());
    return Error(status.error().domain(), status.error().code(),
                 Json{{Error::kLocalizedDescriptionKey,
                       "The app home " + root.string() +
                           " shares files with another (a copy made with hard links), and they could not be made "
                           "its own" +
                           (copied ? "" : "; both homes are as they were") + ". " + what}});
  }
  if (newLock >= 0) {
    // A copy made with hard links while this start had the lock but had
    // not yet walked the home names the replaced file as its lock file:
    // held on, it keeps that copy waiting until this process ends.
    replaced.push_back(lock);
    lock = newLock;
  }
  return Status::success();
}

// Whether the lock file open at `fd` is one this process holds already:
// the lock file of a home it claimed, or one such a claim replaced (a copy
// of one home claimed in this process before the home itself).
bool heldHere(const Home& h, int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  const auto same = [&info](int held) {
    struct stat other {};
    return ::fstat(held, &other) == 0 && other.st_dev == info.st_dev && other.st_ino == info.st_ino;
  };
  for (const auto& [root, locks] : h.claimed) {
    if (same(locks.second)) return true;
  }
  for (int held : h.replacedLocks) {
    if (same(held)) return true;
  }
  return false;
}

// See the header: the first use of a root makes it private and clears what
// an earlier run left half-written, the user's photo library left out.
void prepare(const fs::path& root) {
  ::umask(077);
  std::error_code ec;
  fs::create_directories(root, ec);
  tidy(survey(root, kMediaFolderName));
}

}  // namespace

fs::path AppHome::root() {
  Home& h = home();
  std::lock_guard<std::mutex> guard(h.mutex);
  if (h.root.empty()) h.root = defaultRoot();
  if (!h.prepared) {
    prepare(h.root);
    h.prepared = true;
  }
  return ensured(h.root);
}

void AppHome::setRoot(const fs::path& root) {
  Home& h = home();
  std::lock_guard<std::mutex> guard(h.mutex);
  if (root == h.root) return;
  h.root = root;
  h.prepared = false;
}

fs::path AppHome::documents() { return ensured(root() / "Documents"); }
fs::path AppHome::caches() { return ensured(root() / "Library" / "Caches"); }
fs::path AppHome::preferences() { return ensured(root() / "Library" / "Preferences"); }

fs::path AppHome::rootPath() {
  Home& h = home();
  std::lock_guard<std::mutex> guard(h.mutex);
  return h.root.empty() ? defaultRoot() : h.root;
}

bool AppHome::isRootPath(const fs::path& path) {
  Home& h = home();
  std::lock_guard<std::mutex> guard(h.mutex);
  return h.root.empty() ? defaultRoot().native() == path.native() : h.root.native() == path.native();
}
fs::path AppHome::applicationSupport() { return ensured(root() / "Library" / "Application Support"); }
fs::path AppHome::tmp() { return ensured(root() / "tmp"); }
fs::path AppHome::media() { return root() / kMediaFolderName; }

void AppHome::makePrivate(const fs::path& folder) { tidy(survey(folder, {})); }

bool AppHome::removeLinkInPlaceOf(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(path, ec))) return true;
  return fs::remove(path, ec) && !ec;
}

bool AppHome::makeOwnFolder(const fs::path& base, const fs::path& below) {
  fs::path folder = base;
  for (const fs::path& part : below.relative_path()) {
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    folder /= part;
    if (!removeLinkInPlaceOf(folder)) return false;
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  return !ec && fs::is_directory(fs::symlink_status(folder, ec));
}

Status AppHome::claim(const std::function<void(std::uintmax_t)>& willCopy) {
  Home& h = home();
  std::lock_guard<std::mutex> guard(h.mutex);
  // Nothing of the home is read or changed before it is held: a launch
  // refused leaves every file as it lies (a running app's write under way
  // among them).
  if (h.root.empty()) h.root = defaultRoot();
  const fs::path where = h.root;
  if (h.claimed.count(where) != 0) return Status::success();
  std::error_code ec;
  fs::create_directories(where, ec);
  if (!fs::is_directory(where, ec)) {
    return posixError(ec ? ec.value() : ENOTDIR, "The app home " + where.string() + " is not a folder");
  }
  // Two locks: the folder's, and the lock file's as found. A copy of the
  // home made with hard links (`cp -al`, a snapshot) is a folder of its own
  // whose lock file is the same file as the original's until one of them
  // has started: while either runs, the other is refused, and so is any
  // home beside an earlier version of the app, which locks only the file.
  const int folder = ::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return posixError(errno, "Cannot open the app home " + where.string());
  const auto refused = [&where](int code) {
    if (code == EWOULDBLOCK) {
      return posixError(code, "The app home " + where.string() + " or a copy of it is in use by another process");
    }
    return posixError(code, "Cannot lock the app home " + where.string());
  };
  if (::flock(folder, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(folder);
    return refused(code);
  }
  const fs::path file = where / kClaimFileName;
  // Opened to read, a file with a second name stays the one found.
  int fd = openOwnFile(file.c_str(), O_RDONLY | O_CREAT, 0600);
  if (fd < 0 && notOwnFile(errno) && ::unlink(file.c_str()) == 0) {
    // A link or a pipe at the lock's name (a folder stays): the name is the
    // app's own.
    fd = openOwnFile(file.c_str(), O_RDONLY | O_CREAT, 0600);
  }
  if (fd < 0) {
    const int code = errno;
    ::close(folder);
    return posixError(code, "Cannot write in the app home " + where.string());
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && !(errno == EWOULDBLOCK && heldHere(h, fd))) {
    const int code = errno;
    ::close(fd);
    ::close(folder);
    return refused(code);
  }
  // Held: a start cut short in the renames of its copies is completed
  // first, while those copies are there (they hold what the names it had
  // removed held).
  if (Status completed = RenameRecord::complete(where); !completed.ok()) {
    ::close(fd);
    ::close(folder);
    return completed;
  }
  // The files it shares with a copy become its own before any is opened,
  // and before the start-up walk tightens a mode (a mode is the file's,
  // under every name). One walk finds both; the user's photos are the
  // user's, the library's catalogue ours.
  const Survey found = survey(where, kMediaFolderName);
  std::vector<std::pair<fs::path, struct stat>> shared = found.shared;
  // What earlier writes and copies left half-made goes first: a start cut
  // short in its copy of a large store left one beside it, and on a disk
  // nearly full the copies to make now need that space.
  clearLeftovers(found);
  if (fs::is_directory(fs::symlink_status(where / kMediaFolderName, ec))) {
    const Survey catalogue = survey(where / kMediaFolderName / kCatalogueFolderName, {});
    clearLeftovers(catalogue);
    shared.insert(shared.end(), catalogue.shared.begin(), catalogue.shared.end());
  }
  if (willCopy) {
    std::uintmax_t bytes = 0;
    for (const auto& [path, info] : shared) bytes += static_cast<std::uintmax_t>(info.st_size);
    if (!shared.empty()) willCopy(bytes);
  }
  if (Status own = makeFilesOwn(where, shared, file, fd, h.replacedLocks); !own.ok()) {
    ::close(fd);
    ::close(folder);
    return own;
  }
  h.claimed.emplace(where, std::make_pair(folder, fd));
  if (!h.prepared) {
    ::umask(077);
    tightenModes(found);
    h.prepared = true;
  }
  return Status::success();
}

}  // namespace platform
