#include "screens/shell/LMDeviceUtils.h"

#include <memory>
#include <optional>

#include "account/QBPassport.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/app/BackgroundTask.h"
#include "platform/device/Bundle.h"
#include "platform/storage/UserDefaults.h"

namespace lumora {

std::string LMDeviceUtils::keyChainAccessGroup() {
  constexpr const char* kGroup = "com.quenby.device.identifier";
  std::string prefix = platform::Bundle::infoString("AppIdentifierPrefix").value_or("");
  if (!prefix.empty() && prefix.back() != '.') prefix += '.';
  return prefix + kGroup;
}

void LMDeviceUtils::loadUniqueDeviceIdentifier() { QBPassport::setKeyChainAccessGroup(keyChainAccessGroup()); }

void LMDeviceUtils::registerLumoraDeviceInfo() {
  const auto userId = QBPassportsManager::sharedManager()->userId();
  if (!userId || userId->empty()) return;
  if (platform::UserDefaults::standard().boolForKey(kRegisteredKey)) return;

  // Each registration holds its own task; whichever of expiry and
  // completion comes first ends it.
  auto task = std::make_shared<platform::BackgroundTask::Identifier>(platform::BackgroundTask::kInvalid);
  auto endTask = [task] {
    platform::BackgroundTask::end(*task);
    *task = platform::BackgroundTask::kInvalid;
  };
  *task = platform::BackgroundTask::begin("registerLumoraDeviceInfo", endTask);
  LMContactSyncAdapter::sharedAdapter()->registerDeviceInfo([endTask](const platform::Status& status) {
    if (status.ok()) {
      platform::UserDefaults::standard().setBool(kRegisteredKey, true);
      platform::UserDefaults::standard().synchronize();
    }
    endTask();
  });
}

void LMDeviceUtils::unregisterLumoraDeviceInfo() {
  platform::UserDefaults::standard().setBool(kRegisteredKey, false);
  platform::UserDefaults::standard().synchronize();
}

}  // namespace lumora
