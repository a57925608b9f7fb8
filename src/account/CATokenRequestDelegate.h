// The request delegate of a CA token fetch: turns the reply of
// "/ca/getTokenCA" into a token for its callback. A reply object's "data"
// object gives the token from "passport_ca_token" and "casecurity" (none
// when either is missing or no text); any other reply gives neither a token
// nor an error; a failure gives the error.
//
// Ownership: held by the fetch's connection holder until the exchange ends.
// Threading: the callback runs on the connection's thread, at most once per
// exchange. Failures: none of its own.
#pragma once

#include <functional>
#include <optional>

#include "account/QBPassportCAToken.h"
#include "account/QBPassportRequestDelegate.h"
#include "platform/Error.h"

namespace lumora {

class CATokenRequestDelegate : public QBPassportRequestDelegate {
 public:
  using Callback = std::function<void(const std::optional<QBPassportCAToken>& token,
                                      const std::optional<platform::Error>& error)>;

  explicit CATokenRequestDelegate(Callback callback);
  CATokenRequestDelegate(const CATokenRequestDelegate&) = delete;
  CATokenRequestDelegate& operator=(const CATokenRequestDelegate&) = delete;

  const Callback& callback() const { return callback_; }

 private:
  const Callback callback_;
};

}  // namespace lumora
