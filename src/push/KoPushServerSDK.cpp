#include "push/KoPushServerSDK.h"

namespace lumora {
namespace {

KoPushServerSDKController& serverController() { return KoPushServerSDKController::sharedKoPushServerSDKSingleton(); }

}  // namespace

void KoPushServerSDK::registerKoPushServer(std::weak_ptr<KoPushServerSDKDelegate> delegate) {
  serverController().setDelegate(std::move(delegate));
  serverController().syncSDKFlag();
}

void KoPushServerSDK::sendWithRegid(const std::string& regid, const Message& message) {
  serverController().sendWithRegid(regid, message);
}

void KoPushServerSDK::sendWithRegids(const std::vector<std::string>& regids, const Message& message) {
  serverController().sendWithRegidList(regids, message);
}

void KoPushServerSDK::sendWithAlias(const std::string& alias, const Message& message) {
  serverController().sendWithAlias(alias, message);
}

void KoPushServerSDK::sendWithAliases(const std::vector<std::string>& aliases, const Message& message) {
  serverController().sendWithAliasList(aliases, message);
}

void KoPushServerSDK::sendWithTopic(const std::string& topic, const Message& message) {
  serverController().sendWithTopic(topic, message);
}

void KoPushServerSDK::getSendStatsWithStart(const std::string& start, const std::string& end) {
  serverController().getSendStatsWithStart(start, end);
}

}  // namespace lumora
