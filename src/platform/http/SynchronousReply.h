// Sending a request synchronously: the calling thread blocks until the whole
// reply is in or the transfer fails. A 4xx or 5xx status is no error: the
// response and its body come back for the caller to judge. The one exception
// is the platform's: a 401 carrying a WWW-Authenticate challenge fails with
// -1012 (a synchronous send has no way to answer the challenge); response and
// body are still filled in. Thread-safe; never call it on a thread that
// must stay responsive. The reply (response, body, error) is returned by
// value and owned by the caller.
#pragma once

#include <optional>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace platform::http {

struct SynchronousReply {
  // The final response, when one arrived.
  std::optional<Response> response;
  // Its body (empty when none arrived).
  Bytes data;
  // A transport failure in the URL error domain; nullopt on success.
  std::optional<Error> error;

  bool ok() const { return !error.has_value(); }
};

SynchronousReply sendSynchronousRequest(const Request& request);

}  // namespace platform::http
