#include "push/KoPushServerSDK.h"

namespace lumora {
namespace {

KoPushServerSDKController& controller() { return KoPushServerSDKController::sharedKoPushServerSDKSingleton(); }

}  // namespace

void KoPushServerSDK::registerKoPushServer(std::weak_ptr<KoPushServerSDKDelegate> delegate) {
  controller().setDelegate(std::move(delegate));
  controller().syncSDKFlag();
}

void KoPushServerSDK::sendWithRegid(const std::string& regid, const Message& message) {
  controller().sendWithRegid(regid, message);
}

void KoPushServerSDK::sendWithRegids(const std::vector<std::string>& regids, const Message& message) {
  controller().sendWithRegidList(regids, message);
}

void KoPushServerSDK::sendWithAlias(const std::string& alias, const Message& message) {
  controller().sendWithAlias(alias, message);
}

void KoPushServerSDK::sendWithAliases(const std::vector<std::string>& aliases, const Message& message) {
  controller().sendWithAliasList(aliases, message);
}

void KoPushServerSDK::sendWithTopic(const std::string& topic, const Message& message) {
  controller().sendWithTopic(topic, message);
}

void KoPushServerSDK::getSendStatsWithStart(const std::string& start, const std::string& end) {
  controller().getSendStatsWithStart(start, end);
}

}  // namespace lumora
