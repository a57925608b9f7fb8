#include "platform/location/LocationManager.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/dispatch/MainQueue.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/UserDefaults.h"

namespace platform::location {
namespace {

constexpr const char* kLocationStatusKey = "authorizationStatus";

std::mutex& locationRegistryMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

// Guarded by locationRegistryMutex().
std::vector<std::weak_ptr<LocationManager>>& liveLocationManagers() {
  static auto* managers = new std::vector<std::weak_ptr<LocationManager>>;
  return *managers;
}

AuthorizationStatus& locationAnswer() {
  static AuthorizationStatus answer = AuthorizationStatus::AuthorizedAlways;
  return answer;
}

UserDefaults locationStore() { return UserDefaults(AppHome::root() / "Library" / "Location.plist"); }

}  // namespace

std::shared_ptr<LocationManager> LocationManager::create() {
  std::shared_ptr<LocationManager> manager(new LocationManager);
  std::lock_guard lock(locationRegistryMutex());
  auto& managers = liveLocationManagers();
  std::erase_if(managers, [](const auto& weak) { return weak.expired(); });
  managers.push_back(manager);
  return manager;
}

AuthorizationStatus LocationManager::authorizationStatus() {
  std::lock_guard lock(locationRegistryMutex());
  const std::int64_t stored = locationStore().integerForKey(kLocationStatusKey);
  if (stored < 0 || stored > 4) return AuthorizationStatus::NotDetermined;
  return static_cast<AuthorizationStatus>(stored);
}

bool LocationManager::setAuthorizationStatus(AuthorizationStatus status) {
  {
    std::lock_guard lock(locationRegistryMutex());
    UserDefaults store = locationStore();
    if (store.integerForKey(kLocationStatusKey) == static_cast<std::int64_t>(status)) return true;
    if (!store.setInteger(kLocationStatusKey, static_cast<std::int64_t>(status)) || !store.synchronize()) {
      return false;
    }
  }
  announce(status);
  return true;
}

void LocationManager::setAuthorizationAnswer(AuthorizationStatus answer) {
  std::lock_guard lock(locationRegistryMutex());
  locationAnswer() = answer;
}

void LocationManager::announce(AuthorizationStatus status) {
  std::vector<std::weak_ptr<LocationManager>> managers;
  {
    std::lock_guard lock(locationRegistryMutex());
    managers = liveLocationManagers();
  }
  for (auto& weak : managers) {
    MainQueue::main().async([weak, status] {
      auto manager = weak.lock();
      if (!manager) return;
      auto delegate = manager->delegate();
      if (delegate && delegate->didChangeAuthorizationStatus) delegate->didChangeAuthorizationStatus(*manager, status);
    });
  }
}

void LocationManager::setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<LocationManagerDelegate> LocationManager::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void LocationManager::requestAlwaysAuthorization() {
  AuthorizationStatus answer;
  {
    std::lock_guard lock(locationRegistryMutex());
    answer = locationAnswer();
  }
  if (authorizationStatus() != AuthorizationStatus::NotDetermined) return;
  setAuthorizationStatus(answer);
}

void LocationManager::startMonitoringSignificantLocationChanges() {
  std::lock_guard lock(mutex_);
  monitoring_ = true;
}

void LocationManager::stopMonitoringSignificantLocationChanges() {
  std::lock_guard lock(mutex_);
  monitoring_ = false;
}

bool LocationManager::isMonitoringSignificantLocationChanges() const {
  std::lock_guard lock(mutex_);
  return monitoring_;
}

void LocationManager::startUpdatingLocation() {
  std::lock_guard lock(mutex_);
  updating_ = true;
}

void LocationManager::stopUpdatingLocation() {
  std::lock_guard lock(mutex_);
  updating_ = false;
}

bool LocationManager::isUpdatingLocation() const {
  std::lock_guard lock(mutex_);
  return updating_;
}

LocationManager::Settings LocationManager::settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void LocationManager::setDistanceFilter(double metres) {
  std::lock_guard lock(mutex_);
  settings_.distanceFilter = metres;
}

void LocationManager::setDesiredAccuracy(double metres) {
  std::lock_guard lock(mutex_);
  settings_.desiredAccuracy = metres;
}

void LocationManager::setActivityType(int type) {
  std::lock_guard lock(mutex_);
  settings_.activityType = type;
}

void LocationManager::setPausesLocationUpdatesAutomatically(bool pauses) {
  std::lock_guard lock(mutex_);
  settings_.pausesLocationUpdatesAutomatically = pauses;
}

void LocationManager::setAllowsBackgroundLocationUpdates(bool allows) {
  std::lock_guard lock(mutex_);
  settings_.allowsBackgroundLocationUpdates = allows;
}

}  // namespace platform::location
