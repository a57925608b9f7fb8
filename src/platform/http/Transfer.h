// The engine under the synchronous send and Connection: runs one request on
// the calling thread through libcurl, following redirects as the request
// asks, attaching and storing cookies, and enforcing the https rule, the
// idle timeout, the whole request's deadline and the bound of a reply kept
// in memory (or handing the body to the request's response sink).
// Connections are kept open between requests (HandlePool) and reused for
// the next request to the same origin. Internal to the HTTP client.
// Threading: blocks the calling thread, which also receives the sink's
// events. Failure: an Error in the URL error domain (-1009 whenever the
// phone has no network, see PhoneNetwork.h); a status code is no failure.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"
#include "platform/http/UrlProtocol.h"

namespace platform::http::detail {

// Receives the events of one transfer, on the thread that runs it: only
// the final response and its body (the body also when it goes to the
// request's response sink); a redirect that is followed is announced.
using TransferSink = UrlProtocolClient;

// Runs `request` to its end; success whatever the status code, else the
// error in the URL error domain. When `cancelled` turns true the transfer
// stops within a few tens of milliseconds with -999 and reports nothing
// further.
Status performTransfer(const Request& request, TransferSink& sink, const std::atomic<bool>* cancelled = nullptr);

}  // namespace platform::http::detail
