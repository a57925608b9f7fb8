#include "push/KoPushSDK.h"

#include "push/KoPushSDKController.h"
#include "push/KoPushSDKPreferenceUtil.h"

namespace lumora {
namespace {

KoPushSDKController& controller() { return KoPushSDKController::sharedKoPushSDKSingleton(); }

std::optional<std::vector<std::string>> storedList(const char* key) {
  auto list = KoPushSDKPreferenceUtil::getArrayWithKey(key);
  if (!list) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& entry : *list) {
    if (entry.is_string()) names.push_back(entry.get<std::string>());
  }
  return names;
}

}  // namespace

void KoPushSDK::registerKoPush(std::weak_ptr<KoPushSDKDelegate> delegate) {
  controller().setDelegate(std::move(delegate));
  controller().syncSDKFlag();
  controller().requestRegisterKoPushWithLogName("registerKoPush:");
}

void KoPushSDK::registerKoPush(std::weak_ptr<KoPushSDKDelegate> delegate, unsigned types) {
  controller().setNotificationType(types);
  controller().setDelegate(std::move(delegate));
  controller().syncSDKFlag();
  controller().requestRegisterKoPushWithLogName("registerKoPush:type:");
}

void KoPushSDK::unregisterKoPush() { controller().requestUnregisterTokenWithLogName("unregisterKoPush"); }

void KoPushSDK::bindDeviceToken(const std::optional<platform::Bytes>& deviceToken) {
  if (!deviceToken) return;
  controller().reqeustRegisterToken(platform::hexString(*deviceToken), "bindDeviceToken:");
}

void KoPushSDK::setAlias(const std::string& alias) { controller().requestSetAlias(alias, "setAlias:"); }

void KoPushSDK::unsetAlias(const std::string& alias) { controller().requestUnSetAlias(alias, "unsetAlias:"); }

void KoPushSDK::subscribe(const std::string& topic) { controller().requestSubscribe(topic, "subscribe:"); }

void KoPushSDK::unsubscribe(const std::string& topic) { controller().requestUnsubscribe(topic, "unsubscribe:"); }

void KoPushSDK::openAppNotify(const std::optional<std::string>& messageId) {
  controller().requestAppNotifyMsgID(messageId, "openAppNotify:");
}

std::optional<std::vector<std::string>> KoPushSDK::getAllAlias() {
  return storedList(KOPUSH_SDK_C_REGISTER_ALIAS_LIST);
}

std::optional<std::vector<std::string>> KoPushSDK::getAllTopic() {
  return storedList(KOPUSH_SDK_C_REGISTER_TOPIC_LIST);
}

}  // namespace lumora
