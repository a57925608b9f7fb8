// The session values a signed cloud request needs, read from the passport
// that QBPassportsManager keeps for a service id and its signed-in user, and
// the not-logged-in error given when they are missing.
//
// Stateless; any thread (the manager guards its table). A session counts as
// signed in only when user id, service token and security key are all
// non-empty.
#pragma once

#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

struct LMSignedSession {
  std::string userId;
  std::string serviceToken;
  std::string sSecurity;  // Base64 text of the AES key

  // "userId=<id>; serviceToken=<token>".
  std::string cookie() const { return "userId=" + userId + "; serviceToken=" + serviceToken; }
};

// The session of `passportSid` for the manager's user (a passport is made and
// loaded from the saved settings when none is held), or -10001.
platform::Result<LMSignedSession> LMSignedSessionForSid(const std::string& passportSid);

// -10001 in the SDK's local domain: "reason" "QBPassport isn't logged in.",
// "description" "Passport Error".
platform::Error LMNotLoggedInError();

}  // namespace lumora
