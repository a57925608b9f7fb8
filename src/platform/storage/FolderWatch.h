// Watches a folder for changes made to its files by anyone, this process or
// another (the kernel's inotify): files written and closed, moved in or out,
// created or removed, and, when asked, every single write. After each burst
// of events that the kernel hands over together, `changed` runs once, on the
// watch's own thread; bursts are not merged further.
//
// With subfolders, the folders below it are watched too, those made later
// included (a folder moved or copied in counts as a change); `skip` leaves
// out folders by path (with their subfolders), such as a store's own files
// whose writes would only echo the changes they record. With followLinks,
// a symbolic link to a folder (the watched folder's own included) is
// followed as a folder is, each real folder watched once (a link back up
// the tree or a loop of links is not followed again), and a link made or
// moved in counts as a change at once.
//
// Ownership: start() returns the watch; destroying it stops the thread and
// waits for a running `changed` to return. Destroyed from inside `changed`
// (its owner let go there), it stops without waiting: the thread ends on
// its own once `changed` returns. Threading: `changed` and `skip` run on the
// watch's thread. Failure: start() returns nullptr when the folder cannot be
// watched (it is missing, or the kernel refuses); nothing is told then.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

namespace platform {

class FolderWatch {
 public:
  struct Options {
    bool subfolders = false;
    // Every write counts, not only a file closed after writing (a database
    // writes in place and keeps its files open).
    bool everyWrite = false;
    bool followLinks = false;
    std::function<bool(const std::filesystem::path& folder)> skip;
  };

  static std::unique_ptr<FolderWatch> start(const std::filesystem::path& folder, Options options,
                                            std::function<void()> changed);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

 private:
  struct Loop;
  explicit FolderWatch(std::shared_ptr<Loop> loop);

  std::shared_ptr<Loop> loop_;  // shared with the thread
  std::thread thread_;
};

}  // namespace platform
