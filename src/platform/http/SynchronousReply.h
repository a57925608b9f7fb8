// Sending a request synchronously: the calling thread blocks until the whole
// reply is in or the transfer fails. A 4xx or 5xx status is no error: the
// response and its body come back for the caller to judge. The one exception
// is the platform's: a 401 carrying a WWW-Authenticate challenge fails with
// -1012 (a synchronous send has no way to answer the challenge); response and
// body are still filled in. A body longer than the request's
// maxResponseBytes fails with -1103, and every send ends by the request's
// deadline (-1001). Thread-safe; never call it on a thread that
// must stay responsive. The reply (response, body, error) is returned by
// value and owned by the caller. With SendControl the send can be cancelled
// from another thread (it ends within a few tens of milliseconds with -999)
// and reports its progress on the sending thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace platform::http {

struct SynchronousReply {
  // The final response, when one arrived.
  std::optional<Response> response;
  // Its body (empty when none arrived, or when it went to the request's
  // response sink).
  Bytes data;
  // A transport failure in the URL error domain; nullopt on success.
  std::optional<Error> error;

  bool ok() const { return !error.has_value(); }
};

struct SendControl {
  // Turned true (by any thread) to stop the send.
  const std::atomic<bool>* cancelled = nullptr;
  // Body bytes written now, so far, and the body's length.
  std::function<void(std::int64_t, std::int64_t, std::int64_t)> didSendBodyData;
  // Reply bytes read now, so far, and the announced length (-1: none).
  std::function<void(std::int64_t, std::int64_t, std::int64_t)> didReceiveData;
};

SynchronousReply sendSynchronousRequest(const Request& request, const SendControl& control = {});

// Connections stay open after a request (of this or of Connection) for the
// next one to the same scheme, host and port. This closes those now idle, so
// that a server about to stop need not wait for them to time out.
void closeIdleConnections();

}  // namespace platform::http
