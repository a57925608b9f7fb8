// The server-side paths on the push transport: sends and the message
// counters, each carrying the app secret. Every path operation takes a form
// holding "platform" ("ios" or another platform), picks the secret by it
// ("KoSDKAppSecretIOS" for "ios", "KoSDKAppSecretANDROID" for any other),
// and sends the form without "platform", with "Authorization: key=<secret>".
// Ownership: sharedNetworkSingleton() is process-wide, never destroyed.
// Threading and failures: as KoPushNetWorkBaseUtils.
#pragma once

#include <string>

#include "push/KoPushNetWorkBaseUtils.h"

namespace lumora {

class KoPushNetworkServerUtils : public KoPushNetWorkBaseUtils {
 public:
  using PathOperation = Outcome (KoPushNetworkServerUtils::*)(const Form& form);

  static KoPushNetworkServerUtils& sharedNetworkSingleton();
  using KoPushNetWorkBaseUtils::KoPushNetWorkBaseUtils;

  Outcome sendWithRegID(const Form& form);         // POST "/v2/message/regid"
  Outcome sendWithAlias(const Form& form);         // POST "/v2/message/alias"
  Outcome sendWithTopic(const Form& form);         // POST "/v2/message/topic"
  Outcome multiSendWithRegID(const Form& form);    // POST "/v2/multi_messages/regids"
  Outcome multiSendWithAlias(const Form& form);    // POST "/v2/multi_messages/aliases"
  // GET "/v1/stats/message/counters" with the form as URL-encoded query.
  Outcome statsMessageCounters(const Form& form);

  // The secret of the form's platform; "" without one.
  static std::string getSecret(const Form& form);
  // The form without its "platform" entry.
  static Form getSendInfo(const Form& form);

 private:
  Outcome post(const std::string& path, const Form& form);
};

}  // namespace lumora
