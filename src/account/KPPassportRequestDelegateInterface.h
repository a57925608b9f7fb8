// A request delegate made of callbacks: it answers every message of the
// request delegate protocol and passes each on to its callback when that is
// set (doing nothing otherwise). Callbacks are fixed at construction and run
// on the thread the message arrives on.
#pragma once

#include <functional>

#include "account/QBPassportRequestDelegate.h"

namespace lumora {

class KPPassportRequestDelegateInterface : public QBPassportRequestDelegate {
 public:
  using LoadingBlock = std::function<void(const RequestPtr&)>;
  using DidReceiveResponseBlock = std::function<void(const RequestPtr&, const platform::http::Response&)>;
  using DidFailWithErrorBlock = std::function<void(const RequestPtr&, const platform::Error&)>;
  using DidLoadBlock = std::function<void(const RequestPtr&, const platform::Json&)>;
  using DidLoadRawResponseBlock = std::function<void(const RequestPtr&, const platform::Bytes&)>;

  KPPassportRequestDelegateInterface(LoadingBlock loadingBlock, DidReceiveResponseBlock didReceiveResponseBlock,
                                     DidFailWithErrorBlock didFailWithErrorBlock, DidLoadBlock didLoadBlock,
                                     DidLoadRawResponseBlock didLoadRawResponseBlock);

  // The hooks refer to this object: it is neither copied nor moved.
  KPPassportRequestDelegateInterface(const KPPassportRequestDelegateInterface&) = delete;
  KPPassportRequestDelegateInterface& operator=(const KPPassportRequestDelegateInterface&) = delete;

  const LoadingBlock& loadingBlock() const { return loadingBlock_; }
  const DidReceiveResponseBlock& didReceiveResponseBlock() const { return didReceiveResponseBlock_; }
  const DidFailWithErrorBlock& didFailWithErrorBlock() const { return didFailWithErrorBlock_; }
  const DidLoadBlock& didLoadBlock() const { return didLoadBlock_; }
  const DidLoadRawResponseBlock& didLoadRawResponseBlock() const { return didLoadRawResponseBlock_; }

 private:
  const LoadingBlock loadingBlock_;
  const DidReceiveResponseBlock didReceiveResponseBlock_;
  const DidFailWithErrorBlock didFailWithErrorBlock_;
  const DidLoadBlock didLoadBlock_;
  const DidLoadRawResponseBlock didLoadRawResponseBlock_;
};

}  // namespace lumora
