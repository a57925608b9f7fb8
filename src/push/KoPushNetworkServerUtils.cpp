#include "push/KoPushNetworkServerUtils.h"

#include "push/KoPushSDKCoreParam.h"

namespace lumora {
namespace {

constexpr const char* kPlatform = "platform";

}  // namespace

KoPushNetworkServerUtils& KoPushNetworkServerUtils::sharedNetworkSingleton() {
  static KoPushNetworkServerUtils* shared = new KoPushNetworkServerUtils();
  return *shared;
}

std::string KoPushNetworkServerUtils::getSecret(const Form& form) {
  for (const auto& [key, value] : form) {
    if (key != kPlatform || value.empty()) continue;
    return value == "ios" ? KoPushSDKCoreParam::getAppSecretIOS() : KoPushSDKCoreParam::getAppSecretANDROID();
  }
  return "";
}

KoPushNetworkServerUtils::Form KoPushNetworkServerUtils::getSendInfo(const Form& form) {
  Form sent;
  for (const auto& entry : form) {
    if (entry.first != kPlatform) sent.push_back(entry);
  }
  return sent;
}

KoPushNetworkServerUtils::Outcome KoPushNetworkServerUtils::post(const std::string& path, const Form& form) {
  return requestPOSTWithSuffixURL(path, getSecret(form), getSendInfo(form));
}

KoPushNetworkServerUtils::Outcome KoPushNetworkServerUtils::sendWithRegID(const Form& form) {
  return post("/v2/message/regid", form);
}

KoPushNetworkServerUtils::Outcome KoPushNetworkServerUtils::sendWithAlias(const Form& form) {
  return post("/v2/message/alias", form);
}

KoPushNetworkServerUtils::Outcome KoPushNetworkServerUtils::sendWithTopic(const Form& form) {
  return post("/v2/message/topic", form);
}

KoPushNetworkServerUtils::Outcome KoPushNetworkServerUtils::multiSendWithRegID(const Form& form) {
  return post("/v2/multi_messages/regids", form);
}

KoPushNetworkServerUtils::Outcome KoPushNetworkServerUtils::multiSendWithAlias(const Form& form) {
  return post("/v2/multi_messages/aliases", form);
}

KoPushNetworkServerUtils::Outcome KoPushNetworkServerUtils::statsMessageCounters(const Form& form) {
  std::string path = "/v1/stats/message/counters";
  appendURLParam(path, getSendInfo(form), true);
  return requestGETWithSuffixURL(path, getSecret(form));
}

}  // namespace lumora
