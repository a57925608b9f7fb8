// The push service's sending interface, for a holder of the app secrets:
// a message to registration ids, aliases or a topic, and the message
// counters of a date range. Outcomes go to the delegate; see
// KoPushServerSDKController. The app itself never calls it.
// Threading: any thread. Ownership: process-wide; the delegate is held
// weakly. Failures: result codes to the delegate.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "push/KoPushServerSDKController.h"

namespace lumora {

class KoPushServerSDK {
 public:
  KoPushServerSDK() = delete;

  using Message = KoPushServerSDKController::Message;

  static void registerKoPushServer(std::weak_ptr<KoPushServerSDKDelegate> delegate);
  static void sendWithRegid(const std::string& regid, const Message& message);
  static void sendWithRegids(const std::vector<std::string>& regids, const Message& message);
  static void sendWithAlias(const std::string& alias, const Message& message);
  static void sendWithAliases(const std::vector<std::string>& aliases, const Message& message);
  static void sendWithTopic(const std::string& topic, const Message& message);
  static void getSendStatsWithStart(const std::string& start, const std::string& end);
};

}  // namespace lumora
