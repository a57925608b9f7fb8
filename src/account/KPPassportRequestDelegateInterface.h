// A request delegate made of callbacks: it answers every message of the
// request delegate protocol and passes each on to its callback when that is
// set (doing nothing otherwise).
//
// Ownership: owns its callbacks, fixed at construction; not copied or moved
// (its hooks refer to it). Threading: callbacks run on the thread the
// message arrives on (a connection's own thread). Failures: none of its own.
#pragma once

#include "account/CallbackDelegate.h"
#include "account/QBPassportRequestDelegate.h"

namespace lumora {

class KPPassportRequestDelegateInterface
    : public CallbackDelegate<QBPassportRequestDelegate, &QBPassportRequestDelegate::requestLoading,
                              &QBPassportRequestDelegate::requestDidReceiveResponse,
                              &QBPassportRequestDelegate::requestDidFailWithError,
                              &QBPassportRequestDelegate::requestDidLoad,
                              &QBPassportRequestDelegate::requestDidLoadRawResponse> {
 public:
  using LoadingBlock = decltype(requestLoading);
  using DidReceiveResponseBlock = decltype(requestDidReceiveResponse);
  using DidFailWithErrorBlock = decltype(requestDidFailWithError);
  using DidLoadBlock = decltype(requestDidLoad);
  using DidLoadRawResponseBlock = decltype(requestDidLoadRawResponse);

  // The callbacks in the order of the accessors below; any may be unset.
  using CallbackDelegate::CallbackDelegate;

  const LoadingBlock& loadingBlock() const { return block<0>(); }
  const DidReceiveResponseBlock& didReceiveResponseBlock() const { return block<1>(); }
  const DidFailWithErrorBlock& didFailWithErrorBlock() const { return block<2>(); }
  const DidLoadBlock& didLoadBlock() const { return block<3>(); }
  const DidLoadRawResponseBlock& didLoadRawResponseBlock() const { return block<4>(); }
};

}  // namespace lumora
