// A session delegate made of callbacks: it answers every message of the
// session delegate protocol and passes each on to its callback when that is
// set (doing nothing otherwise). Callbacks are fixed at construction and run
// on the thread the message arrives on.
#pragma once

#include <functional>

#include "account/KPSessionDelegate.h"

namespace lumora {

class KPSessionDelegateInterface : public KPSessionDelegate {
 public:
  using DidLoginBlock = std::function<void(const PassportPtr&)>;
  using FailedWithErrorBlock = std::function<void(const PassportPtr&, const platform::Error&)>;
  using SessionInvalidOrExpiredBlock = std::function<void(const PassportPtr&, const platform::Error&)>;
  using DidSendPhoneTicketBlock = std::function<void(const PassportPtr&)>;
  using WillShowWebViewBlock = std::function<void()>;

  KPSessionDelegateInterface(DidLoginBlock didLoginBlock, FailedWithErrorBlock failedWithErrorBlock,
                             SessionInvalidOrExpiredBlock sessionInvalidOrExpiredBlock,
                             DidSendPhoneTicketBlock didSendPhoneTicketBlock,
                             WillShowWebViewBlock willShowWebViewBlock);

  // The hooks refer to this object: it is neither copied nor moved.
  KPSessionDelegateInterface(const KPSessionDelegateInterface&) = delete;
  KPSessionDelegateInterface& operator=(const KPSessionDelegateInterface&) = delete;

  const DidLoginBlock& didLoginBlock() const { return didLoginBlock_; }
  const FailedWithErrorBlock& failedWithErrorBlock() const { return failedWithErrorBlock_; }
  const SessionInvalidOrExpiredBlock& sessionInvalidOrExpiredBlock() const { return sessionInvalidOrExpiredBlock_; }
  const DidSendPhoneTicketBlock& didSendPhoneTicketBlock() const { return didSendPhoneTicketBlock_; }
  const WillShowWebViewBlock& willShowWebViewBlock() const { return willShowWebViewBlock_; }

 private:
  const DidLoginBlock didLoginBlock_;
  const FailedWithErrorBlock failedWithErrorBlock_;
  const SessionInvalidOrExpiredBlock sessionInvalidOrExpiredBlock_;
  const DidSendPhoneTicketBlock didSendPhoneTicketBlock_;
  const WillShowWebViewBlock willShowWebViewBlock_;
};

}  // namespace lumora
