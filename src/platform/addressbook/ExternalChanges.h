// Internal: saves made to an address-book store by other processes, told to
// the handles of this process as the external-change callback. A watch of
// the store's folder (FolderWatch, every write) looks at the store after
// each burst of writes, and the app's becoming active makes it look too;
// a look that finds the store changed (SQLite's data version of a
// connection of its own) calls `notify`.
//
// Writes of this process are not external: every write transaction of a
// Store of this process holds an OwnWrite from its BEGIN until its end, and
// a committed one moves the version seen. A look waits for a writer of
// another process to end first, so that it sees that writer's commit.
//
// Ownership: watch() makes one per store file, shared by the handles that
// want callbacks and ended with the last of them (the registry holds it
// weakly). Threading: a look runs on the watch's thread (after writes) or
// on the thread that posts the activation; `notify` runs there. Failure: a
// store or folder that cannot be watched tells nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/FolderWatch.h"

namespace platform::addressbook::detail {

class Store;

class ExternalChanges : public std::enable_shared_from_this<ExternalChanges> {
 public:
  // The name a store file is known by in this process.
  static std::string keyOf(const std::filesystem::path& path);

  // The watch of the store at `path`, made on first use with `notify`.
  static std::shared_ptr<ExternalChanges> watch(const std::filesystem::path& path, std::function<void()> notify);

  // One write of this process to the store of `key`.
  class OwnWrite {
   public:
    explicit OwnWrite(std::shared_ptr<ExternalChanges> changes);
    // The write is in the file: the change it made is this process's own.
    void committed();

   private:
    std::shared_ptr<ExternalChanges> changes_;
    std::unique_lock<std::recursive_mutex> lock_;
  };
  // nullopt when nobody watches that store.
  static std::optional<OwnWrite> beginOwnWrite(const std::string& key);

  // Looks at the store now; `waitForWriter`: after any writer has ended.
  void look(bool waitForWriter);

  ~ExternalChanges();
  ExternalChanges(const ExternalChanges&) = delete;
  ExternalChanges& operator=(const ExternalChanges&) = delete;

 private:
  ExternalChanges(std::unique_ptr<Store> store, std::function<void()> notify);

  std::recursive_mutex mutex_;
  std::unique_ptr<Store> store_;  // a connection of its own
  std::int64_t seen_ = -1;
  std::function<void()> notify_;
  ObserverToken activeObserver_ = 0;
  std::unique_ptr<FolderWatch> watch_;  // last: ends first
};

}  // namespace platform::addressbook::detail
