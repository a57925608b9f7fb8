// What an account request tells the object it works for: the request
// delegate protocol. Every message is optional: a delegate provides one by
// assigning its hook (normally in its constructor, before any request uses
// it); an empty hook means "not answered" and is never called. The connection
// holder also asks whether the load and failure hooks are set before it
// parses a reply at all.
//
// Hooks run on the connection's own thread (never the main thread), one after
// the other for one exchange; they must not throw. Do not reassign a hook
// while a request uses the delegate. The connection holder keeps its delegate
// alive (strong reference) until the exchange ends.
//
// A reply object (requestDidLoad) is a platform::Json value: a non-empty
// JSON object for a parsed reply, a JSON string for a reply that is text but
// no such object, or a JSON binary value holding the body bytes when the
// body could not be read as text.
#pragma once

#include <functional>
#include <memory>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/http/Response.h"

namespace lumora {

class QBPassportRequest;

class QBPassportRequestDelegate {
 public:
  using RequestPtr = std::shared_ptr<QBPassportRequest>;

  virtual ~QBPassportRequestDelegate() = default;

  // The request is about to be sent.
  std::function<void(const RequestPtr& request)> requestLoading;
  // The head of the reply arrived.
  std::function<void(const RequestPtr& request, const platform::http::Response& response)>
      requestDidReceiveResponse;
  // The exchange failed (transport error, HTTP status of 400 or above, or a
  // reply with a non-zero "code"). The request may be null when a session
  // reports a failure that no request caused.
  std::function<void(const RequestPtr& request, const platform::Error& error)> requestDidFailWithError;
  // The reply, parsed (see above).
  std::function<void(const RequestPtr& request, const platform::Json& reply)> requestDidLoad;
  // The whole reply body as received, before any parsing.
  std::function<void(const RequestPtr& request, const platform::Bytes& data)> requestDidLoadRawResponse;

 protected:
  QBPassportRequestDelegate() = default;
  QBPassportRequestDelegate(const QBPassportRequestDelegate&) = default;
  QBPassportRequestDelegate& operator=(const QBPassportRequestDelegate&) = default;
};

}  // namespace lumora
