// The push client's paths on the push transport: form POSTs without a
// secret, each a path operation for doPerformRequest.
// Ownership: sharedNetworkSingleton() is process-wide, never destroyed.
// Threading and failures: as KoPushNetWorkBaseUtils.
#pragma once

#include "push/KoPushNetWorkBaseUtils.h"

namespace lumora {

class KoPushNetWorkUtils : public KoPushNetWorkBaseUtils {
 public:
  using PathOperation = Outcome (KoPushNetWorkUtils::*)(const Form& form);

  static KoPushNetWorkUtils& sharedNetworkSingleton();
  using KoPushNetWorkBaseUtils::KoPushNetWorkBaseUtils;

  Outcome requestKoPush(const Form& form);        // "/pass/register"
  Outcome updateToken(const Form& form);          // "/v1/ios/register"
  Outcome unregisterToken(const Form& form);      // "/v1/ios/unregister"
  Outcome requestSetAlias(const Form& form);      // "/v1/ios/command/set-alias"
  Outcome requestUnsetAlias(const Form& form);    // "/v1/ios/command/unset-alias"
  Outcome requestSubscribe(const Form& form);     // "/v1/ios/subscribe"
  Outcome requestUnsubscribe(const Form& form);   // "/v1/ios/unsubscribe"
  Outcome requestNotify(const Form& form);        // "/v1/ios/notify"
};

}  // namespace lumora
