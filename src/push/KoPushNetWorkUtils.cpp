#include "push/KoPushNetWorkUtils.h"

namespace lumora {

KoPushNetWorkUtils& KoPushNetWorkUtils::sharedNetworkSingleton() {
  static KoPushNetWorkUtils* shared = new KoPushNetWorkUtils();
  return *shared;
}

KoPushNetWorkUtils::Outcome KoPushNetWorkUtils::requestKoPush(const Form& form) {
  return requestPOSTWithSuffixURL("/pass/register", form);
}

KoPushNetWorkUtils::Outcome KoPushNetWorkUtils::updateToken(const Form& form) {
  return requestPOSTWithSuffixURL("/v1/ios/register", form);
}

KoPushNetWorkUtils::Outcome KoPushNetWorkUtils::unregisterToken(const Form& form) {
  return requestPOSTWithSuffixURL("/v1/ios/unregister", form);
}

KoPushNetWorkUtils::Outcome KoPushNetWorkUtils::requestSetAlias(const Form& form) {
  return requestPOSTWithSuffixURL("/v1/ios/command/set-alias", form);
}

KoPushNetWorkUtils::Outcome KoPushNetWorkUtils::requestUnsetAlias(const Form& form) {
  return requestPOSTWithSuffixURL("/v1/ios/command/unset-alias", form);
}

KoPushNetWorkUtils::Outcome KoPushNetWorkUtils::requestSubscribe(const Form& form) {
  return requestPOSTWithSuffixURL("/v1/ios/subscribe", form);
}

KoPushNetWorkUtils::Outcome KoPushNetWorkUtils::requestUnsubscribe(const Form& form) {
  return requestPOSTWithSuffixURL("/v1/ios/unsubscribe", form);
}

KoPushNetWorkUtils::Outcome KoPushNetWorkUtils::requestNotify(const Form& form) {
  return requestPOSTWithSuffixURL("/v1/ios/notify", form);
}

}  // namespace lumora
