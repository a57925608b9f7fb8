// A session delegate made of callbacks: it answers every message of the
// session delegate protocol and passes each on to its callback when that is
// set (doing nothing otherwise).
//
// Ownership: owns its callbacks, fixed at construction; not copied or moved
// (its hooks refer to it). Threading: callbacks run on the thread the
// message arrives on (the session's delegate queue). Failures: none of its
// own.
#pragma once

#include "account/CallbackDelegate.h"
#include "account/KPSessionDelegate.h"

namespace lumora {

class KPSessionDelegateInterface
    : public CallbackDelegate<KPSessionDelegate, &KPSessionDelegate::passportDidLogin,
                              &KPSessionDelegate::passportFailedWithError,
                              &KPSessionDelegate::passportPassSessionInvalidOrExpired,
                              &KPSessionDelegate::passportDidSendPhoneTicket,
                              &KPSessionDelegate::passportWillShowWebView> {
 public:
  using DidLoginBlock = decltype(passportDidLogin);
  using FailedWithErrorBlock = decltype(passportFailedWithError);
  using SessionInvalidOrExpiredBlock = decltype(passportPassSessionInvalidOrExpired);
  using DidSendPhoneTicketBlock = decltype(passportDidSendPhoneTicket);
  using WillShowWebViewBlock = decltype(passportWillShowWebView);

  // The callbacks in the order of the accessors below; any may be unset.
  using CallbackDelegate::CallbackDelegate;

  const DidLoginBlock& didLoginBlock() const { return block<0>(); }
  const FailedWithErrorBlock& failedWithErrorBlock() const { return block<1>(); }
  const SessionInvalidOrExpiredBlock& sessionInvalidOrExpiredBlock() const { return block<2>(); }
  const DidSendPhoneTicketBlock& didSendPhoneTicketBlock() const { return block<3>(); }
  const WillShowWebViewBlock& willShowWebViewBlock() const { return block<4>(); }
};

}  // namespace lumora
