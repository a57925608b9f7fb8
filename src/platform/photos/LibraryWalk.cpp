#include "platform/photos/LibraryWalk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <system_error>
#include <vector>

#include "platform/photos/AssetFile.h"

namespace platform::photos {

namespace fs = std::filesystem;

bool isHidden(const fs::path& path) {
  const std::string name = path.filename().string();
  return !name.empty() && name[0] == '.';
}

std::optional<FolderIdentity> folderIdentity(const fs::path& path, int* failure) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (failure) *failure = errno;
    return std::nullopt;
  }
  if (!S_ISDIR(info.st_mode)) return std::nullopt;
  return FolderIdentity{info.st_dev, info.st_ino};
}

bool isRefusal(int code) { return code != 0 && !isGoneFileCode(code); }

bool AppFolders::contains(const fs::path& folder) const {
  std::error_code ec;
  const fs::path real = fs::canonical(folder, ec);
  if (ec) return true;
  for (fs::path at = real;; at = at.parent_path()) {
    if (const auto identity = folderIdentity(at)) {
      if (identity == catalogue_) return true;
      if (identity == library_) return false;
      if (identity == home_) return true;
    }
    if (at == at.root_path()) return false;
  }
}

bool forEachLibraryFile(const fs::path& folder, const std::function<bool(const fs::path&)>& visit,
                        const std::function<void(const fs::path&, int)>& unread,
                        const std::function<void(const fs::path&, int)>& nowhere) {
  const AppFolders own(folder);
  std::set<FolderIdentity> walked;
  for (const fs::path& path : {folder, folder / kCatalogueFolder}) {
    if (auto identity = folderIdentity(path)) walked.insert(*identity);
  }
  // Below a folder of the user's, only the home itself is the app's: it is
  // never walked. A linked folder's place is looked up.
  if (own.home()) walked.insert(*own.home());
  std::vector<fs::path> links;  // to folders, walked after the tree they are in
  auto walkTree = [&](const fs::path& top) {
    std::vector<fs::path> pending = {top};
    while (!pending.empty()) {
      const fs::path current = std::move(pending.back());
      pending.pop_back();
      // A folder whose listing is refused (mode 0311, 000) or fails (a
      // failing disk) shows nothing, or part of what it holds: it is told,
      // and what the library knew of it stays (scanLocked). One gone since
      // its name was listed is gone.
      if (const int refused = injectedFileFault(current, FileAccess::Look)) {
        if (isRefusal(refused)) unread(current, refused);
        continue;
      }
      std::vector<fs::directory_entry> entries;
      std::error_code ec;
      for (fs::directory_iterator it(current, ec), end; !ec && it != end; it.increment(ec)) {
        if (!isHidden(it->path())) entries.push_back(*it);
      }
      if (isRefusal(ec.value())) unread(current, ec.value());
      std::sort(entries.begin(), entries.end());
      std::vector<fs::path> below;
      for (const fs::directory_entry& entry : entries) {
        std::error_code kind;
        int refused = 0;
        if (entry.is_directory(kind)) {
          if (entry.is_symlink(kind)) {
            links.push_back(entry.path());
          } else if (auto identity = folderIdentity(entry.path(), &refused)) {
            if (walked.insert(*identity).second) below.push_back(entry.path());
          } else if (isRefusal(refused)) {
            unread(entry.path(), refused);  // listed, but not to be entered
          }
        } else if (isRefusal(kind.value())) {
          // Not even its kind can be told. A link that is there to be seen
          // leads nowhere to be seen; else the entry itself is not to be
          // looked at.
          std::error_code own;
          if (fs::is_symlink(entry.symlink_status(own)) && !own) {
            nowhere(entry.path(), kind.value());
          } else {
            unread(entry.path(), kind.value());
          }
        } else if (entry.is_regular_file(kind) && !visit(entry.path())) {
          return false;
        }
      }
      pending.insert(pending.end(), below.rbegin(), below.rend());  // the first name next
    }
    return true;
  };
  if (!walkTree(folder)) return false;
  for (std::size_t next = 0; next < links.size(); ++next) {
    int refused = 0;
    const auto identity = folderIdentity(links[next], &refused);
    if (!identity && isRefusal(refused)) nowhere(links[next], refused);  // a folder no longer
    if (!identity || walked.contains(*identity) || own.contains(links[next])) continue;
    walked.insert(*identity);
    if (!walkTree(links[next])) return false;
  }
  return true;
}

}  // namespace platform::photos
