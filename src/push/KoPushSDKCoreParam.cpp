#include "push/KoPushSDKCoreParam.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/device/Bundle.h"
#include "platform/Random.h"
#include "push/KoPushSDKPreferenceUtil.h"

namespace lumora {

std::string KoPushSDKCoreParam::getSDKVersion() { return kSDKVersion; }

std::string KoPushSDKCoreParam::getAppSecretIOS() {
  return platform::Bundle::infoString("KoSDKAppSecretIOS").value_or("");
}

std::string KoPushSDKCoreParam::getAppSecretANDROID() {
  return platform::Bundle::infoString("KoSDKAppSecretANDROID").value_or("");
}

std::string KoPushSDKCoreParam::getResourceID() {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  auto stored = KoPushSDKPreferenceUtil::getStringWithKey(KOPUSH_SDK_C_ASSIGNED_RESOURCE_ID);
  if (stored && !stored->empty()) return *stored;
  std::string id = "ip";
  platform::Bytes random = platform::randomBytes(6 * sizeof(std::int32_t));
  for (int i = 0; i < 6; ++i) {
    std::int32_t number = 0;
    std::memcpy(&number, random.data() + i * sizeof number, sizeof number);
    id += static_cast<char>('0' + std::abs(number % 10));
  }
  KoPushSDKPreferenceUtil::setKeyStringValue(KOPUSH_SDK_C_ASSIGNED_RESOURCE_ID, id);
  return id;
}

}  // namespace lumora
