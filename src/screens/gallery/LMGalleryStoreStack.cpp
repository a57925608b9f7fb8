#include "screens/gallery/LMGalleryStoreStack.h"

#include <system_error>

#include "applog/LoggerRegistry.h"
#include "platform/storage/DamagedStore.h"
#include "platform/storage/UserDefaults.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryObjects.h"

namespace lumora {
namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<LMGalleryStoreStack>& sharedStack() {
  static auto* stack = new std::shared_ptr<LMGalleryStoreStack>();
  return *stack;
}

// The album list's tokens name changes since a point of the cache's past:
// a store made anew has no such past, and its first listing must be a
// whole one, or every album listed before would stay out of it for good.
void forgetAlbumListTokens() {
  auto& defaults = platform::UserDefaults::standard();
  defaults.removeObjectForKey(LMGalleryManager::kAlbumSyncKey);
  defaults.removeObjectForKey(LMGalleryManager::kAlbumSyncExtraInfoKey);
}

}  // namespace

std::shared_ptr<LMGalleryStoreStack> LMGalleryStoreStack::shared() {
  std::lock_guard lock(sharedMutex());
  if (!sharedStack()) sharedStack() = std::make_shared<LMGalleryStoreStack>();
  return sharedStack();
}

void LMGalleryStoreStack::setShared(std::shared_ptr<LMGalleryStoreStack> stack) {
  std::lock_guard lock(sharedMutex());
  sharedStack() = std::move(stack);
}

std::filesystem::path LMGalleryStoreStack::storeURL() {
  return LMCustomUtils::applicationDocumentsDirectory() / kStoreFileName;
}

std::shared_ptr<const platform::objectstore::ObjectModel> LMGalleryStoreStack::managedObjectModel() {
  return galleryObjectModel();
}

std::shared_ptr<platform::objectstore::PersistentStoreCoordinator> LMGalleryStoreStack::persistentStoreCoordinator() {
  std::lock_guard lock(mutex_);
  if (coordinatorTried_) return coordinator_;
  coordinatorTried_ = true;
  const std::filesystem::path store = storeURL();
  std::error_code ec;
  std::filesystem::create_directories(store.parent_path(), ec);
  if (!platform::isMissingOrPlainFile(store)) {
    QB_LOG_ERROR("The gallery cache is not a plain file; moving it aside");
    platform::moveDamagedStoreAside(store);
  }
  auto opened = platform::objectstore::PersistentStoreCoordinator::open(managedObjectModel(), store);
  if (!opened) {
    QB_LOG_ERROR("Cannot open the gallery cache: {}; moving it aside", opened.error().description());
    if (platform::moveDamagedStoreAside(store)) {
      opened = platform::objectstore::PersistentStoreCoordinator::open(managedObjectModel(), store);
    }
  }
  if (!opened) {
    QB_LOG_ERROR("No gallery cache: {}", opened.error().description());
    return nullptr;
  }
  coordinator_ = std::move(*opened);
  if (coordinator_->isNew()) forgetAlbumListTokens();
  // A store found damaged while in use is made anew by the coordinator.
  coordinator_->setRemadeHandler([] {
    QB_LOG_ERROR("The gallery cache was damaged; it was moved aside and made anew");
    forgetAlbumListTokens();
  });
  return coordinator_;
}

std::shared_ptr<platform::objectstore::ManagedObjectContext> LMGalleryStoreStack::managedObjectContext() {
  auto coordinator = persistentStoreCoordinator();
  std::lock_guard lock(mutex_);
  if (context_ || !coordinator) return context_;
  context_ = platform::objectstore::ManagedObjectContext::make(platform::objectstore::ConcurrencyType::MainQueue);
  context_->setPersistentStoreCoordinator(coordinator);
  return context_;
}

}  // namespace lumora
