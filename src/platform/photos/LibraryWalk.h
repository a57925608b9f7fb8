// The walk of the library's folder: which files under it may be photos or
// videos, which folders are the app's own, and which could not be read.
//
// Any thread; the walk reads the file system as it finds it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <utility>

namespace platform::photos {

// The library's own folder within its folder, which holds its catalogue.
inline constexpr const char* kCatalogueFolder = "PhotoData";

// Whether a name is hidden (begins with ".").
bool isHidden(const std::filesystem::path& path);

// Whether the file system's answer leaves a place unread (not gone).
bool isRefusal(int code);

// A folder by what it is (its device and inode), whatever name reaches it.
using FolderIdentity = std::pair<dev_t, ino_t>;

// Nullopt for no folder; `failure` then gets the file system's refusal, if
// that was the cause.
std::optional<FolderIdentity> folderIdentity(const std::filesystem::path& path, int* failure = nullptr);

// The app's own folders, which hold no photo of the user's whatever name
// reaches them: the app home (the folder that holds the library's folder)
// and all below it but the library's folder, and the catalogue's folder.
class AppFolders {
 public:
  explicit AppFolders(const std::filesystem::path& library)
      : home_(folderIdentity(library.parent_path())),
        library_(folderIdentity(library)),
        catalogue_(folderIdentity(library / kCatalogueFolder)) {}

  const std::optional<FolderIdentity>& home() const { return home_; }

  // Whether `folder` is one of them. Its real place decides: of the
  // catalogue's folder, the library's folder and the home, the one nearest
  // above it (or the folder itself). A folder whose place cannot be told is
  // left out.
  bool contains(const std::filesystem::path& folder) const;

 private:
  std::optional<FolderIdentity> home_;
  std::optional<FolderIdentity> library_;
  std::optional<FolderIdentity> catalogue_;
};

// Calls `visit` with each file under the library's folder that may be a
// photo or a video (hidden names and the app's own folders left out) until
// it answers false; false then. A folder that cannot be read whole (its
// listing refused or failed part-way, or what it holds not to be looked
// at) goes to `unread` with the file system's answer; the walk goes on
// with the rest. A folder linked into the library is part of
// it: every real folder is walked once, the library's own tree first, then
// the folders its links lead to, round by round, each folder's names in
// order. So a folder reached by more than one name is always taken under
// the same one (its plain name when it has one) and its files keep their
// identifiers; a link back up the tree, or a loop of links, leads to a
// folder walked already, and a link into the app home (or to a folder
// that holds it) reaches none of the app's own files.
// A link that leads to nothing the file system lets be seen (a link to
// itself, a loop of links, a target on a way not to be searched) is no
// folder, and may never have been one: it goes to `nowhere` with the file
// system's answer, and the caller, which knows what the link held before,
// decides whether it hides anything. A link whose target is gone is
// nothing at all, and goes to neither.
bool forEachLibraryFile(const std::filesystem::path& folder,
                        const std::function<bool(const std::filesystem::path&)>& visit,
                        const std::function<void(const std::filesystem::path&, int)>& unread,
                        const std::function<void(const std::filesystem::path&, int)>& nowhere);

}  // namespace platform::photos
