// The session values a signed cloud request is made and read with (user id,
// service token, security key), as an LMSessionSource hands them out, and
// the not-logged-in error given when they are missing.
//
// Plain value type: copy it freely. A session counts as signed in only when
// user id, service token and security key are all non-empty.
#pragma once

#include <string>

#include "platform/Error.h"

namespace lumora {

struct LMSignedSession {
  std::string userId;
  std::string serviceToken;
  std::string sSecurity;  // Base64 text of the AES key

  // "userId=<id>; serviceToken=<token>".
  std::string cookie() const { return "userId=" + userId + "; serviceToken=" + serviceToken; }
};

// -10001 in the SDK's local domain: "reason" "QBPassport isn't logged in.",
// "description" "Passport Error".
platform::Error LMNotLoggedInError();

}  // namespace lumora
