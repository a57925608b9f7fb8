// What an account session (QBPassport) tells its caller when a login ends or
// needs the user: the session delegate protocol. Every message is optional:
// a delegate provides one by assigning its hook (normally in its
// constructor); an empty hook means "not answered" and is never called.
//
// Sessions post these messages to their delegate queue (the main queue when
// none is set), reading the delegate again when the posted work runs; hooks
// must not throw. Sessions hold their delegate weakly unless it is set with
// setStrongSessionDelegate.
#pragma once

#include <functional>
#include <memory>

#include "platform/Error.h"

namespace lumora {

class QBPassport;

class KPSessionDelegate {
 public:
  using PassportPtr = std::shared_ptr<QBPassport>;

  virtual ~KPSessionDelegate() = default;

  // The login ended with a pass token (and a service token for a service id
  // that needs one).
  std::function<void(const PassportPtr& passport)> passportDidLogin;
  // The login failed.
  std::function<void(const PassportPtr& passport, const platform::Error& error)> passportFailedWithError;
  // The session's tokens are missing or expired; the user must log in again.
  std::function<void(const PassportPtr& passport, const platform::Error& error)>
      passportPassSessionInvalidOrExpired;
  // A phone verification code was sent.
  std::function<void(const PassportPtr& passport)> passportDidSendPhoneTicket;
  // The login continues in a web view that is about to be shown.
  std::function<void()> passportWillShowWebView;

 protected:
  KPSessionDelegate() = default;
  KPSessionDelegate(const KPSessionDelegate&) = default;
  KPSessionDelegate& operator=(const KPSessionDelegate&) = default;
};

}  // namespace lumora
