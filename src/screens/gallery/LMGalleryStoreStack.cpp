#include "screens/gallery/LMGalleryStoreStack.h"

#include <system_error>

#include "applog/LoggerRegistry.h"
#include "platform/dispatch/Clock.h"
#include "screens/common/LMCustomUtils.h"
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

// Moves the store and its journal files aside; false when the store stays.
bool moveAside(const std::filesystem::path& store) {
  const auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                         platform::Clock::current()->now().time_since_epoch())
                         .count();
  const std::string suffix = ".unreadable-" + std::to_string(stamp);
  std::error_code ec;
  std::filesystem::rename(store, store.string() + suffix, ec);
  if (ec) return false;
  for (const char* journal : {"-wal", "-shm"}) {
    std::error_code ignored;
    std::filesystem::path file = store.string() + journal;
    if (std::filesystem::exists(file, ignored)) std::filesystem::rename(file, store.string() + suffix + journal, ignored);
  }
  return true;
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
  auto opened = platform::objectstore::PersistentStoreCoordinator::open(managedObjectModel(), store);
  if (!opened) {
    QB_LOG_ERROR("Cannot open the gallery cache: {}; moving it aside", opened.error().description());
    if (moveAside(store)) opened = platform::objectstore::PersistentStoreCoordinator::open(managedObjectModel(), store);
  }
  if (!opened) {
    QB_LOG_ERROR("No gallery cache: {}", opened.error().description());
    return nullptr;
  }
  coordinator_ = std::move(*opened);
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
