// The push client as the app calls it: registration with the push
// service, the device token, aliases, topics and opened-notification
// reports. Every call but the two list readers reports its outcome to the
// delegate under the call's name ("registerKoPush:", "registerKoPush:type:",
// "unregisterKoPush", "bindDeviceToken:", "setAlias:", "unsetAlias:",
// "subscribe:", "unsubscribe:", "openAppNotify:"); see KoPushSDKController
// for the result codes.
//
// Threading: call on the main thread. Ownership: the client is process-wide
// and holds the delegate weakly. Failures: reported to the delegate.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "push/KoPushSDKDelegate.h"

namespace lumora {

class KoPushSDK {
 public:
  KoPushSDK() = delete;

  static void registerKoPush(std::weak_ptr<KoPushSDKDelegate> delegate);
  // As above, asking the platform for `types` (0: badge, sound and alert).
  static void registerKoPush(std::weak_ptr<KoPushSDKDelegate> delegate, unsigned types);
  static void unregisterKoPush();
  // The platform's device token, bound as lower-case hexadecimal; nothing
  // at all happens for nullopt.
  static void bindDeviceToken(const std::optional<platform::Bytes>& deviceToken);
  static void setAlias(const std::string& alias);
  static void unsetAlias(const std::string& alias);
  static void subscribe(const std::string& topic);
  static void unsubscribe(const std::string& topic);
  // Reports that the user opened the notification `messageId` ("_id_").
  static void openAppNotify(const std::optional<std::string>& messageId);
  // The aliases and topics the service accepted; nullopt when none are
  // stored. No request, no report.
  static std::optional<std::vector<std::string>> getAllAlias();
  static std::optional<std::vector<std::string>> getAllTopic();
};

}  // namespace lumora
