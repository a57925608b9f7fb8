// One HTTP request as the URL loading system takes it. Plain value type: copy
// it freely, use a copy from one thread at a time; nothing here fails. A body
// too large for memory comes from a BodySource, read in pieces as it is sent;
// a reply too large for memory goes to a ResponseSink as it arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Result.h"
#include "platform/http/HeaderFields.h"
#include "platform/http/ServerTrust.h"

namespace platform::http {

class Response;

// One reading of a body, front to back. Used by one thread at a time.
class BodyStream {
 public:
  virtual ~BodyStream() = default;
  // Copies up to `size` bytes into `buffer`: the count (0 only at the end),
  // or the error that stops the send.
  virtual Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) = 0;
};

// A body of a known length, opened afresh for each send (a redirect that
// keeps the body reads it again). A stream that ends before `length`, or
// fails, fails the send; nothing past `length` is read.
struct BodySource {
  std::uint64_t length = 0;
  std::function<std::unique_ptr<BodyStream>()> open;
};

// Where the body of a reply goes instead of memory (a download to a file).
// Called on the sending thread, one call at a time; shared by the copies of
// the request that carries it, so send those one after the other. An error
// from any call fails the send with that error.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  // The final response has arrived and its body follows; called once per
  // send (again when the request is sent again, a retry or a redirect
  // within the cloud's protocol), so the sink starts over here.
  virtual Status begin(const Response& response) = 0;
  // The next piece of the body, in order.
  virtual Status write(const std::uint8_t* data, std::size_t size) = 0;
  // The whole body has arrived; not called when the send fails.
  virtual Status finish() { return Status::success(); }
};

// Default bound of a reply body kept in memory: 64 MiB.
inline constexpr std::uint64_t kDefaultMaxResponseBytes = 64ull << 20;

struct Request {
  // Absolute http or https URL. Plain http is refused unless the host is the
  // loopback interface (error -1022).
  std::string url;
  // "GET", "POST", "HEAD", "PUT", "DELETE", ... (empty: "GET"). A method
  // that is no HTTP token fails the request (-1).
  std::string method = "GET";
  // Sent as given, one line per name (repeated names joined with ", ", or
  // "; " for Cookie); a field whose name or value holds a line break or NUL
  // is left out. A body without "Content-Type" goes out as
  // "application/x-www-form-urlencoded", as the platform does.
  HeaderFields headers;
  // Sent for every method but GET and HEAD.
  Bytes body;
  // When set, the body is read from it instead (and `body` is ignored).
  std::optional<BodySource> bodySource;
  // Longest time without any progress (connecting, sending or receiving)
  // before the transfer fails with -1001.
  double timeoutSeconds = 60.0;
  // Longest time the whole request may take, redirects included, however
  // steadily data moves (steady time on the platform clock); past it the
  // transfer fails with -1001. Not finite or not positive: 300 s.
  double deadlineSeconds = 300.0;
  // Most bytes of reply body kept in memory. A longer body fails the send
  // with -1103 (as soon as its Content-Length announces it, else once that
  // many bytes have come). Does not apply to a body that goes to
  // `responseSink`.
  std::uint64_t maxResponseBytes = kDefaultMaxResponseBytes;
  // When set, the final response's body goes here as it arrives and the
  // reply's data stays empty.
  std::shared_ptr<ResponseSink> responseSink;
  // Attach the shared store's cookies for the URL and store the cookies that
  // responses set (only while the request is at its own URL's origin).
  bool shouldHandleCookies = true;
  // Follow 301/302/303/307/308 replies that carry a Location (at most 16
  // times, else -1007). Off: the redirect reply itself is the response. A
  // hop to another scheme, host or port carries no cookie, credential or
  // body of the request, and a redirect that would repeat the body there,
  // or go from https to http, is the response itself (RedirectRule).
  bool followRedirects = true;
  // The body is what the request is for (an upload whose success lets the
  // sender discard what it sent): a redirect that would go on without it
  // (a 303, or a 301/302 to a POST, which turn into a GET) is not followed,
  // and its reply is the response. 307 and 308 still are, within the origin.
  bool bodyMustArrive = false;
  // Put the server's certificate chain to this handler before trusting it
  // (https only). When it cancels, the request fails with -999.
  ServerTrustHandler serverTrustHandler;
};

}  // namespace platform::http
