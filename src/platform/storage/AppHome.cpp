#include "platform/storage/AppHome.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "platform/storage/OwnFile.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kPrivateFolder = fs::perms::owner_all;
constexpr fs::perms kPrivateFile = fs::perms::owner_read | fs::perms::owner_write;
constexpr fs::perms kOthers = fs::perms::group_all | fs::perms::others_all;

struct Home {
  std::mutex mutex;
  fs::path root;
  bool prepared = false;
  // The roots this process claimed, each with the folder and its lock file
  // open (and so locked) until the process ends.
  std::map<fs::path, std::pair<int, int>> claimed;
};

constexpr const char* kClaimFileName = ".lumora.lock";
constexpr const char* kMediaFolderName = "Media";

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

void tighten(const fs::path& path, fs::perms now, fs::perms wanted) {
  if ((now & kOthers) == fs::perms::none) return;
  std::error_code ec;
  fs::permissions(path, wanted, fs::perm_options::replace | fs::perm_options::nofollow, ec);
}

// Whether `name` is the name of an atomic write's temporary file.
bool isAtomicWriteLeftover(const std::string& name) {
  // "." + the file's name + "." + the six characters mkstemp picked.
  if (name.size() < 1 + 1 + 1 + 6 || name.front() != '.' || name[name.size() - 7] != '.') return false;
  for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

// Makes `top` and what lies under it private and clears atomic writes'
// leftovers; a folder `leftOut` directly in `top` is not entered.
void tidy(const fs::path& top, const fs::path& leftOut) {
  std::error_code ec;
  tighten(top, fs::symlink_status(top, ec).permissions(), kPrivateFolder);
  // Symbolic links are neither followed nor changed.
  for (auto it = fs::recursive_directory_iterator(top, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it.depth() == 0 && !leftOut.empty() && it->path().filename() == leftOut) {
      it.disable_recursion_pending();
      continue;
    }
    const fs::file_status status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_directory(status)) {
      tighten(it->path(), status.permissions(), kPrivateFolder);
    } else if (fs::is_regular_file(status)) {
      if (isAtomicWriteLeftover(it->path().filename().string())) {
        fs::remove(it->path(), ec);
        ec.clear();
      } else {
        tighten(it->path(), status.permissions(), kPrivateFile);
      }
    }
  }
}

// See the header: the first use of a root makes it private and clears what
// an earlier run left half-written, the user's photo library left out.
void prepare(const fs::path& root) {
  ::umask(077);
  std::error_code ec;
  fs::create_directories(root, ec);
  tidy(root, kMediaFolderName);
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

void AppHome::makePrivate(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(folder, ec))) return;
  tidy(folder, {});
}

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

Status AppHome::claim() {
  const fs::path where = root();
  Home& h = home();
  std::lock_guard<std::mutex> guard(h.mutex);
  if (h.claimed.count(where) != 0) return Status::success();
  std::error_code ec;
  if (!fs::is_directory(where, ec)) {
    return posixError(ec ? ec.value() : ENOTDIR, "The app home " + where.string() + " is not a folder");
  }
  // The folder itself is the lock: a copy of the home made with hard links
  // (`cp -al`, a snapshot) is a folder of its own, while the lock file in it
  // is one file under two names. The file is locked as well, for an earlier
  // version of the app on the same home, which locks only the file; it is
  // one of this home's own first (a second name gives way to a file of one).
  const int folder = ::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return posixError(errno, "Cannot open the app home " + where.string());
  const auto refused = [&where](int code) {
    if (code == EWOULDBLOCK) {
      return posixError(code, "The app home " + where.string() + " is in use by another process");
    }
    return posixError(code, "Cannot lock the app home " + where.string());
  };
  if (::flock(folder, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(folder);
    return refused(code);
  }
  const fs::path file = where / kClaimFileName;
  int fd = openOwnFile(file.c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0 && notOwnFile(errno) && ::unlink(file.c_str()) == 0) {
    // A link or a pipe at the lock's name (a folder stays): the name is the
    // app's own.
    fd = openOwnFile(file.c_str(), O_RDWR | O_CREAT, 0600);
  }
  if (fd < 0) {
    const int code = errno;
    ::close(folder);
    return posixError(code, "Cannot write in the app home " + where.string());
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(fd);
    ::close(folder);
    return refused(code);
  }
  h.claimed.emplace(where, std::make_pair(folder, fd));
  return Status::success();
}

}  // namespace platform
