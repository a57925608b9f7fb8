// The gallery cache's store stack: the model "database", the coordinator
// over "database.sqlite" in the app's Documents folder, and the main-queue
// context, each made on first use and then kept. The app delegate owns one
// and installs it as the shared stack; without one, shared() makes it.
//
// A store file that cannot be opened (not a database, a damaged page, or a
// schema that cannot be migrated), or that is not a plain file at all, or
// that a read or save finds damaged later, is moved aside
// under a name of its own ("database.sqlite.unreadable-<time>") and a new
// store is made in its place, so the cache starts empty rather than not at
// all. A store made anew (also over a missing or empty file) starts without
// the album list's tokens, so its first listing is a whole one.
//
// Ownership: shared (shared_ptr); the coordinator and context live as long
// as the stack.
// Threading: the getters may be called from any thread (made once under a
// lock); the context belongs to the main queue.
// Failure: managedObjectContext() is null when even a new store cannot be
// made.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/storage/ManagedObjectContext.h"
#include "platform/storage/PersistentStoreCoordinator.h"

namespace lumora {

class LMGalleryStoreStack {
 public:
  static constexpr const char* kStoreFileName = "database.sqlite";

  static std::shared_ptr<LMGalleryStoreStack> shared();
  // The app delegate's stack (null: shared() makes one on its next use).
  static void setShared(std::shared_ptr<LMGalleryStoreStack> stack);

  LMGalleryStoreStack() = default;
  LMGalleryStoreStack(const LMGalleryStoreStack&) = delete;
  LMGalleryStoreStack& operator=(const LMGalleryStoreStack&) = delete;

  std::shared_ptr<const platform::objectstore::ObjectModel> managedObjectModel();
  std::shared_ptr<platform::objectstore::PersistentStoreCoordinator> persistentStoreCoordinator();
  std::shared_ptr<platform::objectstore::ManagedObjectContext> managedObjectContext();

  static std::filesystem::path storeURL();

 private:
  std::mutex mutex_;
  bool coordinatorTried_ = false;
  std::shared_ptr<platform::objectstore::PersistentStoreCoordinator> coordinator_;
  std::shared_ptr<platform::objectstore::ManagedObjectContext> context_;
};

}  // namespace lumora
