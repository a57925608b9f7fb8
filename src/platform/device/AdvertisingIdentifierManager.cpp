#include "platform/device/AdvertisingIdentifierManager.h"

#include <mutex>

namespace platform {
namespace {

std::mutex& advertisingManagerMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<AdvertisingIdentifierManager>& advertisingManagerSlot() {
  static auto& manager = *new std::shared_ptr<AdvertisingIdentifierManager>();
  return manager;
}

}  // namespace

std::shared_ptr<AdvertisingIdentifierManager> AdvertisingIdentifierManager::sharedManager() {
  std::lock_guard<std::mutex> guard(advertisingManagerMutex());
  return advertisingManagerSlot();
}

void AdvertisingIdentifierManager::registerManager(std::shared_ptr<AdvertisingIdentifierManager> manager) {
  std::lock_guard<std::mutex> guard(advertisingManagerMutex());
  advertisingManagerSlot() = std::move(manager);
}

}  // namespace platform
