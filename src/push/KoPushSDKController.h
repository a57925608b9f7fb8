// The push client's work behind KoPushSDK: the registration ladder kept in
// the user defaults (app user, then the device token bound to a
// registration id), the commands on a registration (aliases, topics,
// unbinding, opened-notification reports) and the one place through which
// outcomes reach the delegate.
//
// Result codes besides the transport's (0, -1, -2, -3, -5, -6): -4 the same
// kind of request is in flight, -5 an empty token, alias or topic, -100 no
// app user yet, -101 no registration yet. A refused reply with code 66007
// drops the registration and binds the stored device token again, silently.
//
// Ownership: sharedKoPushSDKSingleton() is process-wide, made once, never
// destroyed; it holds its delegate weakly and owns its serial queue
// "com.quenby.kopush". Threading: call on the main thread; requests run one
// at a time on the queue (each blocks it for its exchange) and their
// outcomes (storing, reporting, busy flags) run on the main queue.
// Failures: result codes reported to the delegate; nothing throws.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/dispatch/SerialQueue.h"
#include "push/KoPushNetWorkUtils.h"
#include "push/KoPushSDKDelegate.h"

namespace lumora {

class KoPushSDKController {
 public:
  // The name of the public call an outcome is reported under; none for
  // the client's own requests, which are reported to nobody.
  using LogName = std::optional<std::string>;

  static constexpr std::int32_t kBusy = -4;
  static constexpr std::int32_t kBadArgument = -5;
  static constexpr std::int32_t kNoUser = -100;
  static constexpr std::int32_t kNoRegistration = -101;
  static constexpr std::int64_t kRegistrationResetCode = 66007;

  static KoPushSDKController& sharedKoPushSDKSingleton();
  KoPushSDKController(const KoPushSDKController&) = delete;
  KoPushSDKController& operator=(const KoPushSDKController&) = delete;

  void setDelegate(std::weak_ptr<KoPushSDKDelegate> delegate) { iDelegate_ = std::move(delegate); }
  // The remote-notification types to ask for (badge 1, sound 2, alert 4);
  // 0 asks for all three.
  void setNotificationType(unsigned types) { nNotifyType_ = types; }
  platform::SerialQueue& getTaskQueue();

  // A change of run mode since the last start wipes the whole ladder.
  void syncSDKFlag();
  // Registration (one file): the app user, then the platform is asked for
  // remote notifications; the device token bound.
  void requestRegisterKoPushWithLogName(const LogName& logName);
  void registerAPNS();
  void reqeustRegisterToken(const std::string& token, const LogName& logName);

  // Commands (another file).
  void requestUnregisterTokenWithLogName(const LogName& logName);
  void requestSetAlias(const std::string& alias, const LogName& logName);
  void requestUnSetAlias(const std::string& alias, const LogName& logName);
  void requestSubscribe(const std::string& topic, const LogName& logName);
  void requestUnsubscribe(const std::string& topic, const LogName& logName);
  void requestAppNotifyMsgID(const std::optional<std::string>& messageId, const LogName& logName);

  // The one reporting step: nothing without a log name; a failure first
  // goes through operateError.
  void koPushRequestResult(std::int32_t result, const LogName& logName, const platform::Json& data);
  // Code 66007 in `data`: drop the registration, bind the stored token again.
  void operateError(const platform::Json& data);

  // Reset groups of the stored state.
  static void resetKoPushInfo();     // user id, security, token
  static void resetRegisterInfo();   // registration time, id, secret, alias and topic lists
  static void clearDeviceToken();

  // Tests: no delegate, no busy flag, no notification types.
  void resetForTesting();

 private:
  using Operation = KoPushNetWorkUtils::PathOperation;
  using Outcome = std::function<void(std::int32_t result, platform::Json& data)>;

  KoPushSDKController() = default;

  // Sends `form` through `operation` on the task queue; `done` runs on the
  // main queue with the result and the collected data.
  void send(Operation operation, KoPushNetWorkUtils::Form form, Outcome done);
  // The token binding; `silent` is the re-binding after a registration
  // reset (no short-cut for an unchanged token).
  void bindToken(const std::string& token, const LogName& logName, bool silent);
  // An alias or topic command: its checks, the request, the list update.
  void nameCommand(Operation operation, const char* field, const char* listKey, bool adds,
                   const std::string& name, const LogName& logName);
  // Appends "regid" (when there is one) and the app's fields, sent with
  // every token binding and command.
  static void appendCommonFields(KoPushNetWorkUtils::Form& form, const std::string& regid);

  std::weak_ptr<KoPushSDKDelegate> iDelegate_;
  std::once_flag queueOnce_;
  std::unique_ptr<platform::SerialQueue> objTaskQueue_;
  unsigned nNotifyType_ = 0;
  bool blnRegisterKoPush_ = false;
  bool blnRegisterToken_ = false;
  bool blnUnregisterToken_ = false;
};

}  // namespace lumora
