#include "screens/shell/LMLocationHelper.h"
#include "screens/shell/LMSynBaseViewController.h"

#include <cstdlib>

#include "platform/device/Device.h"
#include "platform/dispatch/NotificationCenter.h"
#include "screens/shell/LMAppSettingConfig.h"

namespace lumora {

namespace location = platform::location;

double systemVersionNumber() { return std::strtod(platform::Device::systemVersion().c_str(), nullptr); }

std::shared_ptr<LMLocationHelper> LMLocationHelper::sharedHelper() {
  static const auto helper = [] {
    std::shared_ptr<LMLocationHelper> made(new LMLocationHelper);
    made->delegate_ = std::make_shared<location::LocationManagerDelegate>();
    std::weak_ptr<LMLocationHelper> weak = made;
    made->delegate_->didChangeAuthorizationStatus = [weak](location::LocationManager&,
                                                           location::AuthorizationStatus status) {
      if (auto self = weak.lock()) self->didChangeAuthorizationStatus(status);
    };
    return made;
  }();
  return helper;
}

void LMLocationHelper::configureForBackground(location::LocationManager& manager,
                                              std::weak_ptr<location::LocationManagerDelegate> delegate) {
  manager.setDelegate(std::move(delegate));
  manager.setDistanceFilter(100.0);
  manager.setDesiredAccuracy(location::kLocationAccuracyHundredMeters);
  manager.setActivityType(4);
  manager.setPausesLocationUpdatesAutomatically(false);
  const double version = systemVersionNumber();
  if (version >= 8.0) manager.requestAlwaysAuthorization();
  if (version >= 9.0) manager.setAllowsBackgroundLocationUpdates(true);
}

void LMLocationHelper::initManager() {
  manager_ = location::LocationManager::create();
  configureForBackground(*manager_, delegate_);
}

void LMLocationHelper::startMonitorLocation() {
  initManager();
  manager_->startUpdatingLocation();
  manager_->startMonitoringSignificantLocationChanges();
}

void LMLocationHelper::startBackgroundMonitorLocation() {
  if (manager_) manager_->stopMonitoringSignificantLocationChanges();
  startMonitorLocation();
}

void LMLocationHelper::restartBackgroundMonitorLocation() {
  if (!manager_) return;
  manager_->stopMonitoringSignificantLocationChanges();
  if (location::LocationManager::authorizationStatus() != location::AuthorizationStatus::AuthorizedAlways) return;
  const double version = systemVersionNumber();
  if (version >= 8.0) manager_->requestAlwaysAuthorization();
  if (version >= 9.0) manager_->setAllowsBackgroundLocationUpdates(true);
  manager_->startUpdatingLocation();
  manager_->startMonitoringSignificantLocationChanges();
}

void LMLocationHelper::didChangeAuthorizationStatus(location::AuthorizationStatus status) {
  auto& config = LMAppSettingConfig::sharedConfig();
  auto& center = platform::NotificationCenter::defaultCenter();
  if (status != location::AuthorizationStatus::AuthorizedAlways) {
    config.setAutoBackupGallery(false);
    config.setAutoBackupContacts(false);
    center.post(LMSynBaseViewController::kLocationChangeToDenyNotification);
    return;
  }
  if (!config.isFirstLocationAuth()) return;
  config.setAutoBackupGallery(true);
  config.setAutoBackupContacts(true);
  config.setFirstLocationAuth(true);
  center.post(LMSynBaseViewController::kLocationChangeToAlwaysNotification);
}

}  // namespace lumora
